// The double-precision vector operations of AVX-512 F/DQ, eight lanes per 512-bit vector, for the wide group routines.
//
// Include only from a translation unit built for that instruction set.
#pragma once
#include <immintrin.h>

#include <cstdint>

namespace {

struct avx512 {
  static constexpr int lanes = 8;
  using d = __m512d;
  using i = __m512i;
  static d set1(double a) { return _mm512_set1_pd(a); }
  static d load(const double* a) { return _mm512_load_pd(a); }
  static i load_bits(const uint64_t* a) { return _mm512_load_si512(a); }
  static d moduli(const uint64_t* m) { return _mm512_cvtepu64_pd(_mm512_loadu_si512(m)); }
  static d div(d a, d b) { return _mm512_div_pd(a, b); }
  static d mul(d a, d b) { return _mm512_mul_pd(a, b); }
  static d sub(d a, d b) { return _mm512_sub_pd(a, b); }
  static d add(d a, d b) { return _mm512_add_pd(a, b); }
  static d fmadd(d a, d b, d c) { return _mm512_fmadd_pd(a, b, c); }
  static d fmsub(d a, d b, d c) { return _mm512_fmsub_pd(a, b, c); }
  static d fnmadd(d a, d b, d c) { return _mm512_fnmadd_pd(a, b, c); }
  // Round to nearest, ties to even; nearest() first clamps a negative estimate (or a NaN) to +0.
  static d round(d v) { return _mm512_roundscale_pd(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
  static d nearest(d v) { return round(_mm512_max_pd(v, _mm512_setzero_pd())); }
  static d floor(d v) { return _mm512_roundscale_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
  static d add_where_negative(d x, d m) {
    return _mm512_mask_add_pd(x, _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_LT_OQ), x, m);
  }
  static d add_one_where_at_least(d q, d a, d b) {
    return _mm512_mask_add_pd(q, _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ), q, _mm512_set1_pd(1.0));
  }
  static d double_if_top_bit(d r, i bits) { return _mm512_mask_add_pd(r, _mm512_movepi64_mask(bits), r, r); }
  static i shift_bits(i bits) { return _mm512_add_epi64(bits, bits); }
  static void add_to_cells(uint64_t* cells, d digits) {
    __m512i* c = reinterpret_cast<__m512i*>(cells);
    _mm512_storeu_si512(c, _mm512_add_epi64(_mm512_loadu_si512(c), _mm512_cvtpd_epu64(digits)));
  }
};

}  // namespace
