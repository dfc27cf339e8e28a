// The 32-bit-limb Montgomery prototype on AVX-512 F/DQ: eight lanes per vector.
#include <immintrin.h>

#include "limb32_step.h"
#include "limb32.h"

namespace {

struct avx512 {
  using i = __m512i;
  static i mul32(i a, i b) { return _mm512_mul_epu32(a, b); }
  static i srli32(i a) { return _mm512_srli_epi64(a, 32); }
  static i slli32(i a) { return _mm512_slli_epi64(a, 32); }
  static i low32(i a) { return _mm512_and_si512(a, _mm512_set1_epi64(0xFFFFFFFF)); }
  static i add(i a, i b) { return _mm512_add_epi64(a, b); }
  static i sub(i a, i b) { return _mm512_sub_epi64(a, b); }
  static i mullo(i a, i b) { return _mm512_mullo_epi64(a, b); }
  static i add_where_less(i t, i a, i b, i o) { return _mm512_mask_add_epi64(t, _mm512_cmplt_epu64_mask(a, b), t, o); }
  static i add_where(i t, i a, i mask) { return _mm512_mask_add_epi64(t, _mm512_movepi64_mask(mask), t, a); }
  static i sub_where_at_least(i t, i o) { return _mm512_min_epu64(t, _mm512_sub_epi64(t, o)); }
};

}  // namespace

void tly_bbp_limb32_powers_avx512(uint64_t* x, const uint64_t* o, const uint64_t* o_inverse, const uint64_t* bits,
                                  int steps) {
  constexpr int N = limb32_lanes / 8;
  __m512i v[N], m[N], mh[N], inv[N], b[N];
  for (int k = 0; k < N; ++k) {
    v[k] = _mm512_loadu_si512(x + 8 * k);
    m[k] = _mm512_loadu_si512(o + 8 * k);
    mh[k] = _mm512_srli_epi64(m[k], 32);
    inv[k] = _mm512_loadu_si512(o_inverse + 8 * k);
    b[k] = _mm512_loadu_si512(bits + 8 * k);
  }
  for (int s = 0; s < steps; ++s)
    for (int k = 0; k < N; ++k) {
      v[k] = limb32_step<avx512>(v[k], m[k], mh[k], inv[k], b[k]);
      b[k] = _mm512_add_epi64(b[k], b[k]);
    }
  for (int k = 0; k < N; ++k) _mm512_storeu_si512(x + 8 * k, v[k]);
}
