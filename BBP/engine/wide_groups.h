// The group routine for several groups at once, wholly in double precision on wide vectors.
//
// Every value the integer routine forms is an integer below 2^52, so it is exact in a
// double. The lazy remainder x*x - q*m is formed exactly with fused multiply-adds: hi = x*x
// rounded, lo = x*x - hi (exact), then (hi - q*m) + lo, where hi - q*m is fused and exact
// because the true value fits in 53 bits. The estimate itself is never fused: it keeps the
// integer routine's three roundings, so every lane leaves the same cells.
//
// Include only from a translation unit built for the instruction set of `V`.
#pragma once
#include <cstdint>

#include "group_setup.h"

namespace {

// One digit of every lane of G groups: x <- x*2^32 - q*m, the digits q added to one row.
template <typename V, int G, bool clamp>
inline void tly_bbp_wide_digits(uint64_t* row, typename V::d* x, const typename V::d* m, const typename V::d* inv) {
  constexpr int per_group = 8 / V::lanes;
  const typename V::d scale = V::set1(4294967296.0);
  const typename V::d one = V::set1(1.0);
  for (int p = 0; p < per_group; ++p) {
    typename V::d digits = V::set1(0.0);
    for (int g = 0; g < G; ++g) {
      const int v = g * per_group + p;
      const typename V::d y = V::mul(x[v], scale);
      const typename V::d estimate = V::sub(V::mul(y, inv[v]), one);
      const typename V::d q = clamp ? V::nearest(estimate) : V::round(estimate);
      x[v] = V::fnmadd(q, m[v], y);
      digits = V::add(digits, q);
    }
    V::add_to_cells(row + p * V::lanes, digits);
  }
}

// The loop and the digits of G groups whose loops start at the same bit. V: the vector
// operations of one instruction set (lanes doubles per vector).
template <typename V, int G>
void tly_bbp_wide_run(uint64_t* rows, uint64_t cells, const uint64_t* moduli, const tly_bbp_group_start* start) {
  constexpr int per_group = 8 / V::lanes;
  constexpr int N = G * per_group;
  typename V::d x[N], m[N], inv[N];
  typename V::i bits[N];
  const typename V::d one = V::set1(1.0);
  for (int g = 0; g < G; ++g) {
    for (int p = 0; p < per_group; ++p) {
      const int v = g * per_group + p;
      alignas(64) uint64_t lane_bits[V::lanes];
      alignas(64) double lane_x[V::lanes];
      for (int l = 0; l < V::lanes; ++l) {
        const int pair = (p * V::lanes + l) / 2;
        lane_bits[l] = start[g].pair_bits[pair];
        lane_x[l] = static_cast<double>(uint64_t{1} << start[g].power[pair]);
      }
      m[v] = V::moduli(moduli + 8 * g + p * V::lanes);
      inv[v] = V::div(one, m[v]);
      bits[v] = V::load_bits(lane_bits);
      x[v] = V::load(lane_x);
    }
  }

  for (uint32_t s = start[0].s; s < 64; ++s) {
    for (int v = 0; v < N; ++v) {
      const typename V::d hi = V::mul(x[v], x[v]);
      const typename V::d q = V::nearest(V::sub(V::mul(hi, inv[v]), one));
      const typename V::d r = V::add(V::fnmadd(q, m[v], hi), V::fmsub(x[v], x[v], hi));
      x[v] = V::double_if_top_bit(r, bits[v]);
      bits[v] = V::shift_bits(bits[v]);
    }
  }

  // The digits of all groups land in the same lane cells: exact integer sums, added once.
  // Only the first digit's estimate can be negative: x is at least 1, so from the second
  // digit on x*2^32/m is at least 2^17 (m < 2^47) or the remainder is at least about m/2,
  // and the clamp at zero can be left out without changing a digit.
  tly_bbp_wide_digits<V, G, true>(rows + 8 * (cells - 1), x, m, inv);
  for (uint64_t row = cells - 1; row-- > 0;) tly_bbp_wide_digits<V, G, false>(rows + 8 * row, x, m, inv);
}

// Several groups in runs whose loops start at the same bit, each run at most `most` groups.
template <typename V, int most>
void tly_bbp_wide_groups(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                         uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_group_runs<most>(
      groups,
      [&](uint32_t k) { return tly_bbp_group_setup(moduli + 8 * k, known_zeros, exponent - 8 * k * step, step); },
      [&](auto n, uint32_t first, const tly_bbp_group_start* start) {
        tly_bbp_wide_run<V, decltype(n)::value>(rows, cells, moduli + 8 * first, start);
      });
}

}  // namespace
