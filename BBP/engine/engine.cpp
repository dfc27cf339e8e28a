// The table of vector variants and the choice of the one in use.
#include "engine.h"

#include <algorithm>
#include <cstring>

#include "exact_double.h"
#include "montgomery.h"
#include "numeric.h"

// The x86-64 table; every other processor has the portable one (variants_portable.cpp).
#if defined(__x86_64__)
namespace {

bool always() { return true; }

// The checks run in this baseline unit; the compiler's CPU check includes the operating
// system's support for the wider registers (XGETBV).
bool avx2_fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool avx512_dq() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

// The exponent masks are transposed with VBMI byte permutes and GFNI bit-matrix products.
bool avx512_ifma() {
  return avx512_dq() && __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("avx512vbmi") &&
         __builtin_cpu_supports("gfni");
}

void groups_sse41(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                  uint64_t exponent, uint64_t step, uint32_t groups) {
  for (uint32_t g = 0; g < groups; ++g)
    tly_bbp_vpowmod8_sse41(scratch, cells, moduli + 8 * g, known_zeros, exponent - 8 * g * step, step);
}

}  // namespace

const tly_bbp_variant tly_bbp_variants[] = {
    {"x64 SSE4.1", always, groups_sse41, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below, 0, tly_bbp_kind_choice},
    {"x64 AVX2", avx2_fma, tly_bbp_vpowgroups_avx2, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below, 1,
     tly_bbp_kind_choice},
    {"x64 AVX-512", avx512_dq, tly_bbp_vpowgroups_avx512, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below, 2,
     tly_bbp_kind_choice},
    {"x64 AVX2 exact", avx2_fma, tly_bbp_vpowgroups_avx2_exact, tly_bbp_vpowmod8_double, tly_bbp_double_moduli_below, 1,
     tly_bbp_kind_tier},
    {"x64 AVX-512 exact", avx512_dq, tly_bbp_vpowgroups_avx512_exact, tly_bbp_vpowmod8_double,
     tly_bbp_double_moduli_below, 2, tly_bbp_kind_tier},
    {"x64 AVX-512 IFMA", avx512_ifma, tly_bbp_vpowgroups_ifma, tly_bbp_vpowmod8_montgomery,
     tly_bbp_montgomery_moduli_below, 3, tly_bbp_kind_choice},
    {"x64 AVX-512 IFMA two limbs", avx512_ifma, tly_bbp_vpowgroups_ifma_limbs, tly_bbp_vpowmod8_limbs, 0, 3,
     tly_bbp_kind_every_modulus},
    {"x64 64-bit Montgomery", always, tly_bbp_vpowgroups_general, tly_bbp_vpowmod8_general, 0, 0,
     tly_bbp_kind_every_modulus},
};
const int tly_bbp_variant_count = sizeof(tly_bbp_variants) / sizeof(tly_bbp_variants[0]);

const char* const tly_bbp_isa_classes[] = {"sse4.1", "avx2", "avx512", "avx512ifma"};
bool (*const tly_bbp_isa_checks[])() = {always, avx2_fma, avx512_dq, avx512_ifma};
const int tly_bbp_isa_class_count = sizeof(tly_bbp_isa_classes) / sizeof(tly_bbp_isa_classes[0]);
#endif

namespace {

// The tiers of every modulus are slower than every variant of a bounded range within its range.
bool bounded(const tly_bbp_variant& variant) { return variant.kind != tly_bbp_kind_every_modulus; }

// The exact double tier only takes over where the estimates end: below 2^47 they are faster.
bool tier_only(const tly_bbp_variant& variant) { return variant.kind == tly_bbp_kind_tier; }

const tly_bbp_variant* fastest_usable(const tly_bbp_variant_policy& policy) {
  for (int i = tly_bbp_variant_count - 1; i > 0; --i)
    if (bounded(tly_bbp_variants[i]) && !tier_only(tly_bbp_variants[i]) &&
        tly_bbp_variant_usable(&tly_bbp_variants[i], policy))
      return &tly_bbp_variants[i];
  return &tly_bbp_variants[0];
}

}  // namespace

int tly_bbp_variant_isa(const tly_bbp_variant* variant) { return variant->isa; }

bool tly_bbp_variant_usable(const tly_bbp_variant* variant, const tly_bbp_variant_policy& policy) {
  return variant->supported() && (policy.isa < 0 || tly_bbp_variant_isa(variant) <= policy.isa);
}

bool tly_bbp_processor_has_isa(int isa) { return isa >= 0 && isa < tly_bbp_isa_class_count && tly_bbp_isa_checks[isa](); }

bool tly_bbp_limit_isa(tly_bbp_variant_policy* policy, int isa) {
  if (!tly_bbp_processor_has_isa(isa)) return false;
  *policy = {isa, -1};
  return true;
}

const tly_bbp_variant* tly_bbp_active_variant(const tly_bbp_variant_policy& policy) {
  if (policy.variant >= 0 && policy.variant < tly_bbp_variant_count) return &tly_bbp_variants[policy.variant];
  return fastest_usable(policy);
}

bool tly_bbp_use_variant(tly_bbp_variant_policy* policy, const char* name) {
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    if (std::strcmp(tly_bbp_variants[i].name, name) == 0 && tly_bbp_variant_usable(&tly_bbp_variants[i], *policy)) {
      policy->variant = i;
      return true;
    }
  }
  return false;
}

bool tly_bbp_variant_covers(const tly_bbp_variant* variant, uint64_t modulus) {
  return variant->moduli_below == 0 || modulus < variant->moduli_below;
}

const tly_bbp_variant* tly_bbp_variant_for(const tly_bbp_variant_policy& policy, uint64_t modulus) {
  const tly_bbp_variant* chosen = tly_bbp_active_variant(policy);
  if (tly_bbp_variant_covers(chosen, modulus)) return chosen;
  for (int i = tly_bbp_variant_count - 1; i >= 0; --i)
    if (bounded(tly_bbp_variants[i]) && tly_bbp_variant_covers(&tly_bbp_variants[i], modulus) &&
        tly_bbp_variant_usable(&tly_bbp_variants[i], policy))
      return &tly_bbp_variants[i];
  int every = 0;
  while (bounded(tly_bbp_variants[every]) || !tly_bbp_variant_usable(&tly_bbp_variants[every], policy)) ++every;
  return &tly_bbp_variants[every];
}

std::vector<uint64_t> tly_bbp_moduli_bounds(const tly_bbp_variant_policy& policy) {
  std::vector<uint64_t> bounds;
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (tly_bbp_variant_usable(&tly_bbp_variants[i], policy) && bounded(tly_bbp_variants[i]))
      bounds.push_back(tly_bbp_variants[i].moduli_below);
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  return bounds;
}

void tly_bbp_vpowmod8(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                      uint64_t exponent, uint64_t step, const tly_bbp_variant_policy* policy) {
  tly_bbp_active_variant(*policy)->groups(scratch, cells, moduli, known_zeros, exponent, step, 1);
}
