// The 32-bit-limb Montgomery prototype on AVX2: four lanes per vector.
#include <immintrin.h>

#include "limb32_step.h"
#include "limb32.h"

namespace {

struct avx2 {
  using i = __m256i;
  static i mul32(i a, i b) { return _mm256_mul_epu32(a, b); }
  static i srli32(i a) { return _mm256_srli_epi64(a, 32); }
  static i slli32(i a) { return _mm256_slli_epi64(a, 32); }
  static i low32(i a) { return _mm256_and_si256(a, _mm256_set1_epi64x(0xFFFFFFFF)); }
  static i add(i a, i b) { return _mm256_add_epi64(a, b); }
  static i sub(i a, i b) { return _mm256_sub_epi64(a, b); }
  // No 64-bit low product on AVX2: three 32x32 products.
  static i mullo(i a, i b) {
    const i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), b), _mm256_mul_epu32(a, _mm256_srli_epi64(b, 32)));
    return _mm256_add_epi64(_mm256_mul_epu32(a, b), _mm256_slli_epi64(cross, 32));
  }
  // Signed compares: every value is below 2^63.
  static i add_where_less(i t, i a, i b, i o) { return _mm256_add_epi64(t, _mm256_and_si256(_mm256_cmpgt_epi64(b, a), o)); }
  static i add_where(i t, i a, i mask) {
    return _mm256_add_epi64(t, _mm256_and_si256(_mm256_cmpgt_epi64(_mm256_setzero_si256(), mask), a));
  }
  static i sub_where_at_least(i t, i o) {
    return _mm256_sub_epi64(t, _mm256_andnot_si256(_mm256_cmpgt_epi64(o, t), o));
  }
};

}  // namespace

void tly_bbp_limb32_powers_avx2(uint64_t* x, const uint64_t* o, const uint64_t* o_inverse, const uint64_t* bits,
                                int steps) {
  constexpr int N = limb32_lanes / 4;
  __m256i v[N], m[N], mh[N], inv[N], b[N];
  for (int k = 0; k < N; ++k) {
    v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 4 * k));
    m[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + 4 * k));
    mh[k] = _mm256_srli_epi64(m[k], 32);
    inv[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o_inverse + 4 * k));
    b[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bits + 4 * k));
  }
  for (int s = 0; s < steps; ++s)
    for (int k = 0; k < N; ++k) {
      v[k] = limb32_step<avx2>(v[k], m[k], mh[k], inv[k], b[k]);
      b[k] = _mm256_add_epi64(b[k], b[k]);
    }
  for (int k = 0; k < N; ++k) _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 4 * k), v[k]);
}
