// The exact double-precision tier for several groups at once on wide vectors (arithmetic in exact_double.h).
//
// Include only from a translation unit built for the instruction set of `V`.
#pragma once
#include <cstdint>

#include "double_digits.h"
#include "exact_double.h"
#include "group_setup.h"
#include "montgomery.h"

namespace {

// One row of digits of every lane of G groups, as tly_bbp_double_digits forms them; the
// groups' digits, each below 2^33, are summed exactly in doubles and added once.
template <typename V, int G, bool last>
inline void tly_bbp_exact_wide_digits(uint64_t* row, typename V::d* r, const typename V::d* m,
                                      const typename V::d* reciprocal) {
  constexpr int per_group = 8 / V::lanes;
  const typename V::d scale = V::set1(0x1p32);
  for (int p = 0; p < per_group; ++p) {
    typename V::d digits = V::set1(0.0);
    for (int g = 0; g < G; ++g) {
      const int v = g * per_group + p;
      typename V::d q = V::floor(V::mul(r[v], reciprocal[v]));
      if (last)
        q = V::add_one_where_at_least(q, V::fnmadd(q, m[v], r[v]), m[v]);
      else
        r[v] = V::fnmadd(q, V::mul(m[v], scale), V::mul(r[v], scale));
      digits = V::add(digits, q);
    }
    V::add_to_cells(row + p * V::lanes, digits);
  }
}

// The integer nearest to v * inv (see tly_bbp_double_rounder).
template <typename V>
inline typename V::d tly_bbp_exact_wide_quotient(typename V::d v, typename V::d inv, typename V::d rounder) {
  return V::sub(V::fmadd(v, inv, rounder), rounder);
}

// The powers and digits of G groups whose loops start at bit `start`, the first group's
// exponent `exponent`.
template <typename V, int G>
void tly_bbp_exact_wide_run(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint32_t start,
                            uint64_t exponent, uint64_t step) {
  constexpr int per_group = 8 / V::lanes;
  constexpr int N = G * per_group;
  using d = typename V::d;
  d x[N], m[N], inv[N];
  typename V::i bits[N];
  const d one = V::set1(1.0), rounder = V::set1(tly_bbp_double_rounder);
  for (int g = 0; g < G; ++g) {
    for (int p = 0; p < per_group; ++p) {
      const int v = g * per_group + p;
      alignas(64) uint64_t lane_bits[V::lanes];
      alignas(64) double lane_power[V::lanes];
      for (int l = 0; l < V::lanes; ++l) {
        const uint64_t lane = static_cast<uint64_t>(p * V::lanes + l) | 1;
        const tly_bbp_double_start s = tly_bbp_double_lane_start(exponent - 8 * g * step - lane * step, start);
        lane_bits[l] = s.bits;
        lane_power[l] = s.power;
      }
      m[v] = V::moduli(moduli + 8 * g + p * V::lanes);
      inv[v] = V::div(one, m[v]);
      bits[v] = V::load_bits(lane_bits);
      const d power = V::load(lane_power);
      x[v] = V::fnmadd(tly_bbp_exact_wide_quotient<V>(power, inv[v], rounder), m[v], power);
    }
  }

  for (uint32_t s = start; s < 64; ++s) {
    for (int v = 0; v < N; ++v) {
      const d hi = V::mul(x[v], x[v]);
      const d q = tly_bbp_exact_wide_quotient<V>(hi, inv[v], rounder);
      const d r = V::double_if_top_bit(V::add(V::fnmadd(q, m[v], hi), V::fmsub(x[v], x[v], hi)), bits[v]);
      x[v] = V::fnmadd(tly_bbp_exact_wide_quotient<V>(r, inv[v], rounder), m[v], r);
      bits[v] = V::shift_bits(bits[v]);
    }
  }

  const d scale = V::set1(0x1p32), lowering = V::set1(tly_bbp_digit_lowering);
  for (int v = 0; v < N; ++v) {
    x[v] = V::mul(V::add_where_negative(x[v], m[v]), scale);
    inv[v] = V::mul(inv[v], lowering);
  }
  for (uint64_t row = cells; --row > 0;) tly_bbp_exact_wide_digits<V, G, false>(rows + 8 * row, x, m, inv);
  tly_bbp_exact_wide_digits<V, G, true>(rows, x, m, inv);
}

// Several groups in runs whose loops start at the same bit, each run at most `most` groups.
template <typename V, int most>
void tly_bbp_exact_wide_groups(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint64_t exponent,
                               uint64_t step, uint32_t groups) {
  tly_bbp_start_bit_runs<most>(groups, moduli, exponent, step, tly_bbp_montgomery_start_bit,
                               [&](auto n, const uint64_t* m, uint32_t start, uint64_t e) {
                                 tly_bbp_exact_wide_run<V, decltype(n)::value>(rows, cells, m, start, e, step);
                               });
}

}  // namespace
