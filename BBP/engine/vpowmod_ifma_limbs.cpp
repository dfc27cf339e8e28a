// The group routine on AVX-512 IFMA for moduli beyond 52 bits: exact two-limb Montgomery powers, one group per vector pair, several in flight.
#include <immintrin.h>

#include "group_setup.h"
#include "limbs.h"
#include "vpowmod.h"

namespace {

using v8 = __m512i;

inline v8 set1(uint64_t a) { return _mm512_set1_epi64(static_cast<int64_t>(a)); }

// The two limbs of a group's powers and the constants of its odd parts.
struct group_limbs {
  v8 x0, x1, o0, o1, minus_inverse, bits;
};

// One square-and-double step of every lane, as the reference forms it; the products of the
// power alone are formed first, those of u as soon as u is known.
inline void square_step(group_limbs& g) {
  const v8 zero = _mm512_setzero_si512(), mask = set1(tly_bbp_limb_mask);
  const __mmask8 doubled = _mm512_movepi64_mask(g.bits);
  g.bits = _mm512_add_epi64(g.bits, g.bits);
  const v8 x0 = g.x0, x1 = g.x1, x1_doubled = _mm512_add_epi64(x1, x1), n = g.minus_inverse;
  const v8 a0 = _mm512_madd52lo_epu64(mask, x0, x0);
  v8 a1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(mask, x0, x0), x0, x1_doubled);
  v8 a2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, x0, x1_doubled), x1, x1);
  const v8 u0 = _mm512_madd52lo_epu64(n, a0, n);
  a1 = _mm512_add_epi64(a1, _mm512_srli_epi64(a0, 52));
  a1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(a1, u0, g.o0), u0, g.o1);
  a2 = _mm512_madd52hi_epu64(a2, u0, g.o1);
  const v8 u1 = _mm512_madd52lo_epu64(n, a1, n);
  a2 = _mm512_add_epi64(a2, _mm512_srli_epi64(a1, 52));
  a2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(a2, u1, g.o0), u1, g.o1);
  v8 a3 = _mm512_madd52hi_epu64(zero, u1, g.o1);
  a2 = _mm512_mask_add_epi64(a2, doubled, a2, a2);
  a3 = _mm512_mask_add_epi64(a3, doubled, a3, a3);
  g.x0 = _mm512_and_si512(a2, mask);
  g.x1 = _mm512_add_epi64(a3, _mm512_srli_epi64(a2, 52));
}

template <int G>
void run(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint32_t start, uint64_t exponent, uint64_t step) {
  tly_bbp_limbs_lane lanes[G][8];
  group_limbs g[G];
  for (int k = 0; k < G; ++k) {
    alignas(64) uint64_t x0[8], x1[8], o0[8], o1[8], minus_inverse[8], bits[8];
    for (int j = 0; j < 8; ++j) {
      tly_bbp_limbs_lane& l = lanes[k][j];
      tly_bbp_limbs_setup(l, moduli[8 * k + j], exponent - (8 * k + (j | 1)) * step, start);
      x0[j] = l.x0, x1[j] = l.x1, o0[j] = l.o0, o1[j] = l.o1, minus_inverse[j] = l.minus_inverse, bits[j] = l.bits;
    }
    g[k] = {_mm512_load_si512(x0), _mm512_load_si512(x1), _mm512_load_si512(o0),
            _mm512_load_si512(o1), _mm512_load_si512(minus_inverse), _mm512_load_si512(bits)};
  }
  for (uint32_t i = start; i < 64; ++i)
    for (int k = 0; k < G; ++k) square_step(g[k]);
  for (int k = 0; k < G; ++k) {
    alignas(64) uint64_t x0[8], x1[8];
    _mm512_store_si512(x0, g[k].x0);
    _mm512_store_si512(x1, g[k].x1);
    for (int j = 0; j < 8; ++j) {
      lanes[k][j].x0 = x0[j];
      lanes[k][j].x1 = x1[j];
      tly_bbp_limbs_add_digits(lanes[k][j], rows + j, 8, cells);
    }
  }
}

}  // namespace

void tly_bbp_vpowgroups_ifma_limbs(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                                   uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_group_runs<8>(
      groups,
      [&](uint32_t k) {
        tly_bbp_group_start g;
        g.s = tly_bbp_limbs_start_bit(exponent - 8 * k * step);
        return g;
      },
      [&](auto n, uint32_t first, const tly_bbp_group_start* start) {
        run<decltype(n)::value>(scratch, cells, moduli + 8 * first, start[0].s, exponent - 8 * first * step, step);
      });
}
