// The double-precision vector operations of AVX2 with FMA, four lanes per 256-bit vector, for the wide group routines.
//
// Include only from a translation unit built for that instruction set.
#pragma once
#include <immintrin.h>

#include <cstdint>

namespace {

struct avx2 {
  static constexpr int lanes = 4;
  using d = __m256d;
  using i = __m256i;
  static d set1(double a) { return _mm256_set1_pd(a); }
  static d load(const double* a) { return _mm256_load_pd(a); }
  static i load_bits(const uint64_t* a) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(a)); }
  // Moduli are below 2^52: the bias conversion is exact.
  static d moduli(const uint64_t* m) {
    const __m256d bias = _mm256_set1_pd(4503599627370496.0);
    const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m));
    return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(u, _mm256_castpd_si256(bias))), bias);
  }
  static d div(d a, d b) { return _mm256_div_pd(a, b); }
  static d mul(d a, d b) { return _mm256_mul_pd(a, b); }
  static d sub(d a, d b) { return _mm256_sub_pd(a, b); }
  static d add(d a, d b) { return _mm256_add_pd(a, b); }
  static d fmadd(d a, d b, d c) { return _mm256_fmadd_pd(a, b, c); }
  static d fmsub(d a, d b, d c) { return _mm256_fmsub_pd(a, b, c); }
  static d fnmadd(d a, d b, d c) { return _mm256_fnmadd_pd(a, b, c); }
  static d round(d v) { return _mm256_round_pd(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
  static d nearest(d v) { return round(_mm256_max_pd(v, _mm256_setzero_pd())); }
  static d floor(d v) { return _mm256_round_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
  // A compare, not the sign bit: -0.0 stays as it is.
  static d add_where_negative(d x, d m) {
    return _mm256_add_pd(x, _mm256_and_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ), m));
  }
  static d add_one_where_at_least(d q, d a, d b) {
    return _mm256_add_pd(q, _mm256_and_pd(_mm256_cmp_pd(a, b, _CMP_GE_OQ), _mm256_set1_pd(1.0)));
  }
  // blendv picks by each lane's sign bit, which is the exponent bit being consumed.
  static d double_if_top_bit(d r, i bits) { return _mm256_blendv_pd(r, _mm256_add_pd(r, r), _mm256_castsi256_pd(bits)); }
  static i shift_bits(i bits) { return _mm256_add_epi64(bits, bits); }
  static void add_to_cells(uint64_t* cells, d digits) {
    const __m256d bias = _mm256_set1_pd(4503599627370496.0);
    const __m256i digit_bits = _mm256_and_si256(_mm256_castpd_si256(_mm256_add_pd(digits, bias)),
                                                _mm256_set1_epi64x(0xFFFFFFFFFFFFF));
    __m256i* c = reinterpret_cast<__m256i*>(cells);
    _mm256_storeu_si256(c, _mm256_add_epi64(_mm256_loadu_si256(c), digit_bits));
  }
};

}  // namespace
