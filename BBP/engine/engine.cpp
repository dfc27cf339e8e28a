// The table of vector variants and the choice of the one in use.
#include "engine.h"

#include <atomic>
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
    {"x64 SSE4.1", always, groups_sse41, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below},
    {"x64 AVX2", avx2_fma, tly_bbp_vpowgroups_avx2, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below},
    {"x64 AVX-512", avx512_dq, tly_bbp_vpowgroups_avx512, tly_bbp_vpowmod8_scalar, tly_bbp_estimate_moduli_below},
    {"x64 AVX2 exact", avx2_fma, tly_bbp_vpowgroups_avx2_exact, tly_bbp_vpowmod8_double, tly_bbp_double_moduli_below},
    {"x64 AVX-512 exact", avx512_dq, tly_bbp_vpowgroups_avx512_exact, tly_bbp_vpowmod8_double,
     tly_bbp_double_moduli_below},
    {"x64 AVX-512 IFMA", avx512_ifma, tly_bbp_vpowgroups_ifma, tly_bbp_vpowmod8_montgomery,
     tly_bbp_montgomery_moduli_below},
    {"x64 AVX-512 IFMA two limbs", avx512_ifma, tly_bbp_vpowgroups_ifma_limbs, tly_bbp_vpowmod8_limbs, 0},
    {"x64 64-bit Montgomery", always, tly_bbp_vpowgroups_general, tly_bbp_vpowmod8_general, 0},
};
const int tly_bbp_variant_count = sizeof(tly_bbp_variants) / sizeof(tly_bbp_variants[0]);

const char* const tly_bbp_isa_classes[] = {"sse4.1", "avx2", "avx512", "avx512ifma"};
bool (*const tly_bbp_isa_checks[])() = {always, avx2_fma, avx512_dq, avx512_ifma};
const int tly_bbp_isa_class_count = sizeof(tly_bbp_isa_classes) / sizeof(tly_bbp_isa_classes[0]);
#endif

namespace {

// The tiers of every modulus are slower than every variant of a bounded range within its range.
bool bounded(const tly_bbp_variant& variant) { return variant.moduli_below != 0; }

// The exact double tier only takes over where the estimates end: below 2^47 they are faster.
bool tier_only(const tly_bbp_variant& variant) { return variant.reference == tly_bbp_vpowmod8_double; }

// The most a choice may use (--isa; -1: every class), and the variant forced (-1: none); set
// before the computation starts.
std::atomic<int> isa_limit{-1}, forced{-1};

const tly_bbp_variant* fastest_usable() {
  for (int i = tly_bbp_variant_count - 1; i > 0; --i)
    if (bounded(tly_bbp_variants[i]) && !tier_only(tly_bbp_variants[i]) && tly_bbp_variant_usable(&tly_bbp_variants[i]))
      return &tly_bbp_variants[i];
  return &tly_bbp_variants[0];
}

// Chosen on first use, so that it is valid in other units' static initialisers too; worker
// threads may be the first to ask.
std::atomic<const tly_bbp_variant*> active{nullptr};

}  // namespace

int tly_bbp_variant_isa(const tly_bbp_variant* variant) {
  for (int c = tly_bbp_isa_class_count - 1; c > 0; --c)
    if (variant->supported == tly_bbp_isa_checks[c]) return c;
  return 0;
}

bool tly_bbp_variant_usable(const tly_bbp_variant* variant) {
  const int limit = isa_limit.load(std::memory_order_relaxed);
  return variant->supported() && (limit < 0 || tly_bbp_variant_isa(variant) <= limit);
}

bool tly_bbp_processor_has_isa(int isa) { return isa >= 0 && isa < tly_bbp_isa_class_count && tly_bbp_isa_checks[isa](); }

bool tly_bbp_limit_isa(int isa) {
  if (!tly_bbp_processor_has_isa(isa)) return false;
  isa_limit.store(isa, std::memory_order_relaxed);
  forced.store(-1, std::memory_order_relaxed);
  active.store(fastest_usable(), std::memory_order_release);
  return true;
}

tly_bbp_choice tly_bbp_user_choice() {
  return {isa_limit.load(std::memory_order_relaxed), forced.load(std::memory_order_relaxed)};
}

const tly_bbp_variant* tly_bbp_active_variant() {
  const tly_bbp_variant* chosen = active.load(std::memory_order_acquire);
  if (chosen) return chosen;
  chosen = fastest_usable();
  active.store(chosen, std::memory_order_release);
  return chosen;
}

bool tly_bbp_use_variant(const char* name) {
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    if (std::strcmp(tly_bbp_variants[i].name, name) == 0 && tly_bbp_variant_usable(&tly_bbp_variants[i])) {
      active.store(&tly_bbp_variants[i], std::memory_order_release);
      forced.store(i, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

bool tly_bbp_variant_covers(const tly_bbp_variant* variant, uint64_t modulus) {
  return variant->moduli_below == 0 || modulus < variant->moduli_below;
}

const tly_bbp_variant* tly_bbp_variant_for(uint64_t modulus) {
  const tly_bbp_variant* chosen = tly_bbp_active_variant();
  if (tly_bbp_variant_covers(chosen, modulus)) return chosen;
  for (int i = tly_bbp_variant_count - 1; i >= 0; --i)
    if (bounded(tly_bbp_variants[i]) && tly_bbp_variant_covers(&tly_bbp_variants[i], modulus) &&
        tly_bbp_variant_usable(&tly_bbp_variants[i]))
      return &tly_bbp_variants[i];
  int every = 0;
  while (bounded(tly_bbp_variants[every]) || !tly_bbp_variant_usable(&tly_bbp_variants[every])) ++every;
  return &tly_bbp_variants[every];
}

void tly_bbp_vpowmod8(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                      uint64_t exponent, uint64_t step) {
  tly_bbp_active_variant()->groups(scratch, cells, moduli, known_zeros, exponent, step, 1);
}
