// The group routine on AVX-512 IFMA: exact Montgomery powers and digits, one group per vector, several in flight.
#include <immintrin.h>

#include "double_digits.h"
#include "group_setup.h"
#include "montgomery.h"
#include "vpowmod.h"

namespace {

using v8 = __m512i;
using d8 = __m512d;

inline v8 set1(uint64_t a) { return _mm512_set1_epi64(static_cast<int64_t>(a)); }

// x*y*2^-52 mod o, below 2o when x*y < o*2^52: four multiply-adds and a subtraction. With
// o^-1 - 1 as the factor, u = lo*o^-1 mod 2^52 accumulates onto lo itself (the multiply-adds
// read only the low 52 bits of their factors), which spares a register copy.
inline v8 montgomery_product(v8 x, v8 y, v8 o, v8 o_inverse_less_one) {
  const v8 zero = _mm512_setzero_si512();
  const v8 lo = _mm512_madd52lo_epu64(zero, x, y);
  const v8 u = _mm512_madd52lo_epu64(lo, lo, o_inverse_less_one);
  return _mm512_sub_epi64(_mm512_madd52hi_epu64(o, x, y), _mm512_madd52hi_epu64(zero, u, o));
}

// x - o where that does not wrap, else x.
inline v8 reduce_once(v8 x, v8 o) { return _mm512_min_epu64(x, _mm512_sub_epi64(x, o)); }

// Everything a run keeps per group between its stages.
struct group_lanes {
  v8 x;           // the power in Montgomery form, below 2o; then the numerator n < 2m
  v8 o;           // odd part of each modulus
  v8 o_inverse;   // o^-1 - 1 mod 2^64
  v8 bits;        // the lane's exponent bits from the loop's start on, step i's at bit 63 - i
  v8 m;           // the modulus
  d8 m_d;         // the same, in a double
  d8 m_scaled;    // m*2^32
  v8 s;           // its power of two (0 in a group of odd moduli)
  v8 exponent;    // the lane's own exponent
  d8 reciprocal;  // 1/m lowered: the digit estimate
  bool even;      // some modulus is even
};

// The per-lane constants of one group and its starting power 2^(52+w) mod o, w the lane's
// exponent bits above the loop's (see the scalar reference for the bounds of the two exact
// remainders). Lane exponents e come from `exponent` directly: the loop's bits are e << s_start.
inline void setup_group(group_lanes& g, const uint64_t* moduli, uint64_t exponent, v8 lane_steps, uint32_t s_start) {
  const v8 one = set1(1), two = set1(2);
  g.m = _mm512_loadu_si512(moduli);
  g.m_d = _mm512_cvtepu64_pd(g.m);
  g.m_scaled = _mm512_mul_pd(g.m_d, _mm512_set1_pd(0x1p32));
  g.even = _mm512_test_epi64_mask(g.m, one) != 0xFF;
  d8 scale = _mm512_set1_pd(1.0);
  g.o = g.m;
  g.s = _mm512_setzero_si512();
  if (g.even) {
    // The lowest set bit is an exact power of two in a double: its exponent is s.
    const v8 lowest = _mm512_and_si512(g.m, _mm512_sub_epi64(_mm512_setzero_si512(), g.m));
    const d8 s_d = _mm512_getexp_pd(_mm512_cvtepu64_pd(lowest));
    g.s = _mm512_cvttpd_epu64(s_d);
    g.o = _mm512_srlv_epi64(g.m, g.s);
    scale = _mm512_scalef_pd(scale, _mm512_sub_pd(_mm512_setzero_pd(), s_d));
  }
  v8 inverse = _mm512_xor_si512(_mm512_add_epi64(g.o, _mm512_add_epi64(g.o, g.o)), two);
  for (int i = 0; i < 4; ++i)
    inverse = _mm512_mullo_epi64(inverse, _mm512_sub_epi64(two, _mm512_mullo_epi64(g.o, inverse)));
  g.o_inverse = _mm512_sub_epi64(inverse, one);
  g.exponent = _mm512_sub_epi64(set1(exponent), lane_steps);
  // The power taken modulo o is 2^(e-s) (2^e where e < s: that lane's term is set apart).
  const v8 e =
      g.even ? _mm512_mask_sub_epi64(g.exponent, _mm512_cmpge_epu64_mask(g.exponent, g.s), g.exponent, g.s) : g.exponent;
  const __m128i start = _mm_cvtsi32_si128(static_cast<int>(s_start));
  g.bits = _mm512_sll_epi64(e, start);
  const v8 w = _mm512_srl_epi64(e, _mm_cvtsi32_si128(64 - static_cast<int>(s_start)));
  const d8 power = _mm512_castsi512_pd(_mm512_slli_epi64(_mm512_add_epi64(w, set1(1023)), 52));  // 2^w

  const d8 o = _mm512_cvtepu64_pd(g.o);
  const d8 o_reciprocal = _mm512_div_pd(_mm512_set1_pd(1.0), o);
  const d8 two52 = _mm512_set1_pd(0x1p52);
  constexpr int nearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
  const d8 a = _mm512_fnmadd_pd(_mm512_roundscale_pd(_mm512_mul_pd(two52, o_reciprocal), nearest), o, two52);
  const d8 aw = _mm512_mul_pd(a, power);
  d8 r = _mm512_fnmadd_pd(_mm512_roundscale_pd(_mm512_mul_pd(aw, o_reciprocal), nearest), o, aw);
  r = _mm512_mask_add_pd(r, _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_LT_OQ), r, o);
  g.x = _mm512_cvttpd_epu64(r);
  g.reciprocal = _mm512_mul_pd(_mm512_mul_pd(o_reciprocal, scale), _mm512_set1_pd(tly_bbp_digit_lowering));
}

// Out of Montgomery form and into the numerator n < 2m of the lane's fraction over m:
// 2^(e-s) mod o in (0, o] (the product with 1 has no high half: x*2^-52 = o - high(u*o))
// times 2^s, or 2^e itself when e < s.
template <bool folded>
inline void numerator(group_lanes& g) {
  const v8 x = folded ? g.x : reduce_once(g.x, g.o);
  const v8 u = _mm512_madd52lo_epu64(x, x, g.o_inverse);
  g.x = _mm512_sub_epi64(g.o, _mm512_madd52hi_epu64(_mm512_setzero_si512(), u, g.o));
  if (g.even)
    g.x = _mm512_mask_mov_epi64(_mm512_sllv_epi64(g.x, g.s), _mm512_cmplt_epu64_mask(g.exponent, g.s),
                                _mm512_sllv_epi64(set1(1), g.exponent));
}

// One row of digits of every lane of G groups, in double precision, as the scalar reference
// forms them: q = floor(r * (1/m lowered)), r the remainder times 2^32, then r*2^32 - q*m*2^32
// exactly in one fused multiply-add, left uncorrected except in the last row (see the
// reference). The groups' digits are summed exactly in doubles, in four chains.
template <int G, bool last>
inline void digit_row(uint64_t* row, d8* r, const group_lanes* g) {
  constexpr int floor = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
  constexpr int chains = G < 4 ? G : 4;
  const d8 scale = _mm512_set1_pd(0x1p32);
  d8 sum[chains];
  for (int k = 0; k < G; ++k) {
    d8 q = _mm512_roundscale_pd(_mm512_mul_pd(r[k], g[k].reciprocal), floor);
    if (last) {
      const __mmask8 over = _mm512_cmp_pd_mask(_mm512_fnmadd_pd(q, g[k].m_d, r[k]), g[k].m_d, _CMP_GE_OQ);
      q = _mm512_mask_add_pd(q, over, q, _mm512_set1_pd(1.0));
    } else {
      r[k] = _mm512_fnmadd_pd(q, g[k].m_scaled, _mm512_mul_pd(r[k], scale));
    }
    sum[k % chains] = k < chains ? q : _mm512_add_pd(sum[k % chains], q);
  }
  for (int c = 1; c < chains; ++c) sum[0] = _mm512_add_pd(sum[0], sum[c]);
  _mm512_storeu_si512(row, _mm512_add_epi64(_mm512_loadu_si512(row), _mm512_cvtpd_epu64(sum[0])));
}

// The exponent bits of all steps as masks, one byte of eight lanes per step: the bytes of
// the lanes' bits gathered so that one bit-matrix transpose per qword yields eight steps.
inline void step_masks(uint8_t* masks, v8 bits) {
  alignas(64) uint8_t index[64];
  for (int q = 0; q < 8; ++q)
    for (int l = 0; l < 8; ++l) index[8 * q + 7 - l] = static_cast<uint8_t>(8 * l + 7 - q);
  const v8 gathered = _mm512_permutexvar_epi8(_mm512_load_si512(index), bits);
  _mm512_store_si512(masks, _mm512_gf2p8affine_epi64_epi8(set1(0x0102040810204080), gathered, 0));
}

template <int G, bool folded>
void finish(uint64_t* rows, uint64_t cells, group_lanes* g, uint32_t s_start) {
  alignas(64) uint8_t masks[G][64];
  v8 x[G];
  for (int k = 0; k < G; ++k) {
    step_masks(masks[k], g[k].bits);
    x[k] = g[k].x;
  }
  for (uint32_t i = 0; i < 64 - s_start; ++i) {
    for (int k = 0; k < G; ++k) {
      const __mmask8 doubling = _load_mask8(&masks[k][i]);
      if (folded) {
        x[k] = montgomery_product(x[k], x[k], g[k].o, g[k].o_inverse);
        x[k] = _mm512_mask_add_epi64(x[k], doubling, x[k], x[k]);
      } else {
        x[k] = reduce_once(x[k], g[k].o);
        const v8 y = reduce_once(_mm512_mask_add_epi64(x[k], doubling, x[k], x[k]), g[k].o);
        x[k] = montgomery_product(x[k], y, g[k].o, g[k].o_inverse);
      }
    }
  }
  d8 r[G];
  for (int k = 0; k < G; ++k) {
    g[k].x = x[k];
    numerator<folded>(g[k]);
    r[k] = _mm512_mul_pd(_mm512_cvtepu64_pd(g[k].x), _mm512_set1_pd(0x1p32));
  }
  for (uint64_t row = cells; --row > 0;) digit_row<G, false>(rows + 8 * row, r, g);
  digit_row<G, true>(rows, r, g);
}

template <int G>
void run(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint32_t s_start, uint64_t exponent, uint64_t step) {
  group_lanes g[G];
  const v8 lane_steps = _mm512_mullo_epi64(set1(step), _mm512_set_epi64(7, 7, 5, 5, 3, 3, 1, 1));
  v8 largest = _mm512_setzero_si512();
  for (int k = 0; k < G; ++k) {
    setup_group(g[k], moduli + 8 * k, exponent - 8 * k * step, lane_steps, s_start);
    largest = _mm512_max_epu64(largest, g[k].o);
  }
  if (_mm512_cmpge_epu64_mask(largest, set1(tly_bbp_montgomery_folded_below)) == 0)
    finish<G, true>(rows, cells, g, s_start);
  else
    finish<G, false>(rows, cells, g, s_start);
}

}  // namespace

void tly_bbp_vpowgroups_ifma(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                             uint64_t exponent, uint64_t step, uint32_t groups) {
  // known_zeros is a mere hint: the lanes' bits are formed in vectors.
  const auto each_run = [&](auto n, const uint64_t* m, uint32_t start, uint64_t e) {
    run<decltype(n)::value>(scratch, cells, m, start, e, step);
  };
  // With few digits, runs of eight groups are measurably faster than runs of sixteen (whose
  // loop spills its powers and constants out of the 32 registers); with many, sixteen win
  // by halving the passes over the rows.
  if (cells <= 32)
    tly_bbp_start_bit_runs<8>(groups, moduli, exponent, step, tly_bbp_montgomery_start_bit, each_run);
  else
    tly_bbp_start_bit_runs<16>(groups, moduli, exponent, step, tly_bbp_montgomery_start_bit, each_run);
}
