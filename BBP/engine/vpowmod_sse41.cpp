// The group routine on two 64-bit lanes per 128-bit vector (SSE4.1): one vector per lane pair.
#include <smmintrin.h>

#include "group_setup.h"
#include "vpowmod.h"

namespace {

struct lane_pair {
  __m128i x;      // the partly reduced power of both lanes
  __m128i m;      // their moduli
  __m128d inv;    // their rounded reciprocals
  uint64_t bits;  // the pair's exponent, left-aligned and consumed from bit 63
};

inline __m128d to_double(__m128i u) {
  const __m128d bias = _mm_set1_pd(4503599627370496.0);
  return _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(u, _mm_castpd_si128(bias))), bias);
}

inline __m128i nearest(__m128d v) {
  const __m128d bias = _mm_set1_pd(4503599627370496.0);
  const __m128d rounded = _mm_add_pd(_mm_max_pd(v, _mm_setzero_pd()), bias);
  return _mm_and_si128(_mm_castpd_si128(rounded), _mm_set1_epi64x(0xFFFFFFFFFFFFF));
}

// a*a - q*m and (a << 32) - q*m need the low 64 bits of 64-bit products, which
// SSE4.1 lacks: they are formed lane by lane in the integer unit.
inline __m128i square_minus(__m128i x, __m128i q, __m128i m) {
  const uint64_t x0 = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
  const uint64_t x1 = static_cast<uint64_t>(_mm_extract_epi64(x, 1));
  const uint64_t q0 = static_cast<uint64_t>(_mm_cvtsi128_si64(q));
  const uint64_t q1 = static_cast<uint64_t>(_mm_extract_epi64(q, 1));
  const uint64_t m0 = static_cast<uint64_t>(_mm_cvtsi128_si64(m));
  const uint64_t m1 = static_cast<uint64_t>(_mm_extract_epi64(m, 1));
  return _mm_set_epi64x(static_cast<int64_t>(x1 * x1 - q1 * m1), static_cast<int64_t>(x0 * x0 - q0 * m0));
}

inline __m128i product(__m128i q, __m128i m) {
  const uint64_t q0 = static_cast<uint64_t>(_mm_cvtsi128_si64(q));
  const uint64_t q1 = static_cast<uint64_t>(_mm_extract_epi64(q, 1));
  const uint64_t m0 = static_cast<uint64_t>(_mm_cvtsi128_si64(m));
  const uint64_t m1 = static_cast<uint64_t>(_mm_extract_epi64(m, 1));
  return _mm_set_epi64x(static_cast<int64_t>(q1 * m1), static_cast<int64_t>(q0 * m0));
}

}  // namespace

void tly_bbp_vpowmod8_sse41(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                            uint64_t exponent, uint64_t step) {
  const tly_bbp_group_start g = tly_bbp_group_setup(moduli, known_zeros, exponent, step);
  lane_pair pair[4];
  const __m128d one = _mm_set1_pd(1.0);
  for (int j = 0; j < 4; ++j) {
    pair[j].m = _mm_load_si128(reinterpret_cast<const __m128i*>(moduli + 2 * j));
    pair[j].inv = _mm_div_pd(one, to_double(pair[j].m));
    pair[j].bits = g.pair_bits[j];
    pair[j].x = _mm_set1_epi64x(int64_t{1} << g.power[j]);
  }

  for (uint32_t s = g.s; s < 64; ++s) {
    for (lane_pair& p : pair) {
      const __m128d f = to_double(p.x);
      const __m128i q = nearest(_mm_sub_pd(_mm_mul_pd(_mm_mul_pd(f, f), p.inv), one));
      const __m128i r = square_minus(p.x, q, p.m);
      p.x = _mm_sll_epi64(r, _mm_cvtsi64_si128(static_cast<int64_t>(p.bits >> 63)));
      p.bits <<= 1;
    }
  }

  const __m128d scale = _mm_set1_pd(4294967296.0);
  for (uint64_t row = cells; row-- > 0;) {
    for (int j = 0; j < 4; ++j) {
      lane_pair& p = pair[j];
      const __m128i q = nearest(_mm_sub_pd(_mm_mul_pd(_mm_mul_pd(to_double(p.x), scale), p.inv), one));
      __m128i* cell = reinterpret_cast<__m128i*>(scratch + 8 * row + 2 * j);
      _mm_store_si128(cell, _mm_add_epi64(_mm_load_si128(cell), q));
      if (row > 0) p.x = _mm_sub_epi64(_mm_slli_epi64(p.x, 32), product(q, p.m));
    }
  }
}
