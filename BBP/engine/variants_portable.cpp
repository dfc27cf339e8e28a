// The variant table on every processor but x86-64: the portable arithmetics, and NEON on ARM64.
#include "engine.h"
#include "numeric.h"

#if defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace {

bool always() { return true; }

}  // namespace

#if defined(__aarch64__)
namespace {

// Every ARM64 Linux system has Advanced SIMD, but the kernel's word costs nothing and keeps a
// core without it from faulting on the first instruction.
bool neon() { return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0; }

}  // namespace

const tly_bbp_variant tly_bbp_variants[] = {
    {"arm64 scalar", always, tly_bbp_vpowgroups_portable, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below, 0,
     tly_bbp_kind_choice},
    {"arm64 NEON", neon, tly_bbp_vpowgroups_neon, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below, 0,
     tly_bbp_kind_choice},
    {"arm64 64-bit Montgomery", always, tly_bbp_vpowgroups_general, tly_bbp_vpowmod8_general, 0, 0,
     tly_bbp_kind_every_modulus},
};
#else
const tly_bbp_variant tly_bbp_variants[] = {
    {"portable scalar", always, tly_bbp_vpowgroups_portable, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below, 0,
     tly_bbp_kind_choice},
    {"portable 64-bit Montgomery", always, tly_bbp_vpowgroups_general, tly_bbp_vpowmod8_general, 0, 0,
     tly_bbp_kind_every_modulus},
};
#endif
const int tly_bbp_variant_count = sizeof(tly_bbp_variants) / sizeof(tly_bbp_variants[0]);

// One class: every variant here runs on every processor of the architecture.
#if defined(__aarch64__)
const char* const tly_bbp_isa_classes[] = {"arm64"};
#else
const char* const tly_bbp_isa_classes[] = {"portable"};
#endif
bool (*const tly_bbp_isa_checks[])() = {always};
const int tly_bbp_isa_class_count = 1;
