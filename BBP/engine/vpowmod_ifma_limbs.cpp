// The group routine on AVX-512 IFMA for moduli beyond 52 bits: exact two-limb Montgomery powers, a vector per limb, several groups in flight.
#include <immintrin.h>

#include "double_digits.h"
#include "group_setup.h"
#include "limbs.h"
#include "vpowmod.h"

namespace {

using v8 = __m512i;

inline v8 set1(uint64_t a) { return _mm512_set1_epi64(static_cast<int64_t>(a)); }

// The two limbs of a group's powers, the constants of its odd parts and what its digits need.
struct group_limbs {
  v8 x0, x1, o0, o1, minus_inverse, bits;
  v8 m, o, s, e;
  bool in_vectors;  // set up and converted here, not lane by lane
};

// One square-and-double step of every lane, as the reference forms it; the products of the
// power alone are formed first, those of u as soon as u is known. With odd parts below 2^61
// (narrow) u*o1 is below 2^61 and one 64-bit product in the lower column: its bits from 52 up
// reach the next column with the carry, and the highest column stays empty.
template <bool narrow>
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
  if (narrow) {
    a1 = _mm512_add_epi64(_mm512_madd52hi_epu64(a1, u0, g.o0), _mm512_mullo_epi64(_mm512_and_si512(u0, mask), g.o1));
  } else {
    a1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(a1, u0, g.o0), u0, g.o1);
    a2 = _mm512_madd52hi_epu64(a2, u0, g.o1);
  }
  const v8 u1 = _mm512_madd52lo_epu64(n, a1, n);
  a2 = _mm512_add_epi64(a2, _mm512_srli_epi64(a1, 52));
  if (narrow) {
    a2 = _mm512_add_epi64(_mm512_madd52hi_epu64(a2, u1, g.o0), _mm512_mullo_epi64(_mm512_and_si512(u1, mask), g.o1));
    a2 = _mm512_mask_add_epi64(a2, doubled, a2, a2);
    g.x0 = a2;
    g.x1 = _mm512_srli_epi64(a2, 52);
    return;
  }
  a2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(a2, u1, g.o0), u1, g.o1);
  v8 a3 = _mm512_madd52hi_epu64(zero, u1, g.o1);
  a2 = _mm512_mask_add_epi64(a2, doubled, a2, a2);
  a3 = _mm512_mask_add_epi64(a3, doubled, a3, a3);
  // x0 keeps the bits above its limb: the multiply-adds read only the low 52.
  g.x0 = a2;
  g.x1 = _mm512_add_epi64(a3, _mm512_srli_epi64(a2, 52));
}

// Where the vector set-up and digits below are exact: odd parts from 2^16 (above the
// starting 2^(8+w)) and moduli below 2^63 (remainders below 2m fit in 64 bits).
constexpr uint64_t odd_parts_from = uint64_t{1} << 16, moduli_below = uint64_t{1} << 63;

// r*2^32 mod m for r < m < 2^63, and the quotient: q = floor(r*2^32 * (1/m lowered)) is the
// true one or one less, the wrap-around remainder then exact and below 2m; one correction.
inline v8 shift_word(v8& r, v8 m, __m512d reciprocal) {
  constexpr int floor = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
  v8 q = _mm512_cvttpd_epu64(_mm512_roundscale_pd(_mm512_mul_pd(_mm512_cvtepu64_pd(r), reciprocal), floor));
  r = _mm512_sub_epi64(_mm512_slli_epi64(r, 32), _mm512_mullo_epi64(q, m));
  const __mmask8 over = _mm512_cmpge_epu64_mask(r, m);
  r = _mm512_mask_sub_epi64(r, over, r, m);
  return _mm512_mask_sub_epi64(q, over, q, set1(~uint64_t{0}));
}

// 2^32/m lowered, from a double of m: see shift_word.
inline __m512d scaled_reciprocal(v8 m) {
  return _mm512_div_pd(_mm512_set1_pd(0x1p32 * tly_bbp_digit_lowering), _mm512_cvtepu64_pd(m));
}

// The lanes' constants and starting powers 2^(104+w) mod o, as the reference's lane set-up
// forms them; lane by lane where the moduli leave the vectors' range.
inline void setup_group(group_limbs& g, tly_bbp_limbs_lane* lanes, const uint64_t* moduli, uint64_t exponent,
                        uint64_t step, uint32_t start) {
  const v8 one = set1(1), two = set1(2), mask = set1(tly_bbp_limb_mask);
  g.m = _mm512_loadu_si512(moduli);
  // The lowest set bit converts exactly to a double, whose exponent field is then s + 1023.
  const v8 lowest = _mm512_and_si512(g.m, _mm512_sub_epi64(_mm512_setzero_si512(), g.m));
  g.s = _mm512_sub_epi64(_mm512_srli_epi64(_mm512_castpd_si512(_mm512_cvtepu64_pd(lowest)), 52), set1(1023));
  g.o = _mm512_srlv_epi64(g.m, g.s);
  g.in_vectors = _mm512_cmplt_epu64_mask(g.o, set1(odd_parts_from)) == 0 &&
                 _mm512_cmpge_epu64_mask(g.m, set1(moduli_below)) == 0;
  if (!g.in_vectors) {
    alignas(64) uint64_t x0[8], x1[8], o0[8], o1[8], minus_inverse[8], bits[8];
    for (int j = 0; j < 8; ++j) {
      tly_bbp_limbs_lane& l = lanes[j];
      tly_bbp_limbs_setup(l, moduli[j], exponent - (j | 1) * step, start);
      x0[j] = l.x0, x1[j] = l.x1, o0[j] = l.o0, o1[j] = l.o1, minus_inverse[j] = l.minus_inverse, bits[j] = l.bits;
    }
    g.x0 = _mm512_load_si512(x0), g.x1 = _mm512_load_si512(x1), g.o0 = _mm512_load_si512(o0);
    g.o1 = _mm512_load_si512(o1), g.minus_inverse = _mm512_load_si512(minus_inverse), g.bits = _mm512_load_si512(bits);
    return;
  }
  g.o0 = _mm512_and_si512(g.o, mask);
  g.o1 = _mm512_srli_epi64(g.o, 52);
  v8 inverse = _mm512_xor_si512(_mm512_mullo_epi64(g.o, set1(3)), two);
  for (int i = 0; i < 4; ++i)
    inverse = _mm512_mullo_epi64(inverse, _mm512_sub_epi64(two, _mm512_mullo_epi64(g.o, inverse)));
  g.minus_inverse = _mm512_and_si512(_mm512_sub_epi64(_mm512_setzero_si512(), inverse), mask);
  g.e = _mm512_sub_epi64(set1(exponent), _mm512_mullo_epi64(set1(step), _mm512_set_epi64(7, 7, 5, 5, 3, 3, 1, 1)));
  const v8 e_odd = _mm512_mask_sub_epi64(g.e, _mm512_cmpge_epu64_mask(g.e, g.s), g.e, g.s);
  g.bits = _mm512_sll_epi64(e_odd, _mm_cvtsi32_si128(static_cast<int>(start)));
  const v8 w = _mm512_srl_epi64(e_odd, _mm_cvtsi32_si128(64 - static_cast<int>(start)));
  v8 x = _mm512_sllv_epi64(one, _mm512_add_epi64(w, set1(8)));
  const __m512d reciprocal = scaled_reciprocal(g.o);
  for (int i = 0; i < 3; ++i) shift_word(x, g.o, reciprocal);
  g.x0 = _mm512_and_si512(x, mask);
  g.x1 = _mm512_srli_epi64(x, 52);
}

// Out of Montgomery form as the reference does, two rounds of one limb, and into the
// numerator of the lane's fraction over m.
inline v8 numerator(const group_limbs& g) {
  const v8 zero = _mm512_setzero_si512(), mask = set1(tly_bbp_limb_mask), n = g.minus_inverse;
  const v8 a0 = _mm512_add_epi64(_mm512_and_si512(g.x0, mask), mask);
  const v8 u0 = _mm512_madd52lo_epu64(n, a0, n);
  v8 a1 = _mm512_add_epi64(_mm512_add_epi64(g.x1, mask), _mm512_srli_epi64(a0, 52));
  a1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(a1, u0, g.o0), u0, g.o1);
  const v8 u1 = _mm512_madd52lo_epu64(n, a1, n);
  v8 a2 = _mm512_add_epi64(_mm512_madd52hi_epu64(zero, u0, g.o1), _mm512_srli_epi64(a1, 52));
  a2 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(a2, u1, g.o0), u1, g.o1);
  v8 power = _mm512_add_epi64(a2, _mm512_slli_epi64(_mm512_madd52hi_epu64(zero, u1, g.o1), 52));
  power = _mm512_mask_mov_epi64(power, _mm512_cmpeq_epu64_mask(power, g.o), zero);
  return _mm512_mask_mov_epi64(_mm512_sllv_epi64(power, g.s), _mm512_cmplt_epu64_mask(g.e, g.s),
                               _mm512_sllv_epi64(set1(1), g.e));
}

template <int G>
void run(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint32_t start, uint64_t exponent, uint64_t step) {
  tly_bbp_limbs_lane lanes[G][8];
  group_limbs g[G];
  for (int k = 0; k < G; ++k) setup_group(g[k], lanes[k], moduli + 8 * k, exponent - 8 * k * step, step, start);
  v8 largest = _mm512_setzero_si512();
  for (int k = 0; k < G; ++k) largest = _mm512_max_epu64(largest, g[k].o1);
  if (_mm512_cmpge_epu64_mask(largest, set1(uint64_t{1} << 9)) == 0) {
    for (uint32_t i = start; i < 64; ++i)
      for (int k = 0; k < G; ++k) square_step<true>(g[k]);
  } else {
    for (uint32_t i = start; i < 64; ++i)
      for (int k = 0; k < G; ++k) square_step<false>(g[k]);
  }
  // The floor digits, those of all groups row by row (their sums stay below 2^35); a group
  // set up lane by lane adds its own and takes the fraction 0/1 here.
  v8 r[G], m[G];
  __m512d reciprocal[G];
  for (int k = 0; k < G; ++k) {
    if (g[k].in_vectors) {
      r[k] = numerator(g[k]);
      m[k] = g[k].m;
    } else {
      alignas(64) uint64_t x0[8], x1[8], n[8];
      _mm512_store_si512(x0, g[k].x0);
      _mm512_store_si512(x1, g[k].x1);
      for (int j = 0; j < 8; ++j) {
        lanes[k][j].x0 = x0[j] & tly_bbp_limb_mask;
        lanes[k][j].x1 = x1[j];
        n[j] = tly_bbp_limbs_numerator(lanes[k][j]);
      }
      tly_bbp_general_add_group_digits(rows, cells, n, moduli + 8 * k);
      r[k] = _mm512_setzero_si512();
      m[k] = set1(1);
    }
    reciprocal[k] = scaled_reciprocal(m[k]);
  }
  for (uint64_t row = cells; row-- > 0;) {
    v8 sum = _mm512_loadu_si512(rows + 8 * row);
    for (int k = 0; k < G; ++k) sum = _mm512_add_epi64(sum, shift_word(r[k], m[k], reciprocal[k]));
    _mm512_storeu_si512(rows + 8 * row, sum);
  }
}

}  // namespace

void tly_bbp_vpowgroups_ifma_limbs(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                                   uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_start_bit_runs<8>(groups, moduli, exponent, step, tly_bbp_limbs_start_bit,
                            [&](auto n, const uint64_t* m, uint32_t start, uint64_t e) {
                              run<decltype(n)::value>(scratch, cells, m, start, e, step);
                            });
}
