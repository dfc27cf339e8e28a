// The group routine on ARM64 Advanced SIMD (NEON): two lanes of doubles per 128-bit vector,
// fused multiply-adds forming the remainders exactly as on AVX2.
#include <arm_neon.h>

#include "vpowmod.h"
#include "wide_groups.h"

namespace {

struct neon {
  static constexpr int lanes = 2;
  using d = float64x2_t;
  using i = uint64x2_t;
  static d set1(double a) { return vdupq_n_f64(a); }
  static d load(const double* a) { return vld1q_f64(a); }
  static i load_bits(const uint64_t* a) { return vld1q_u64(a); }
  // Moduli are below 2^52: the conversion is exact.
  static d moduli(const uint64_t* m) { return vcvtq_f64_u64(vld1q_u64(m)); }
  static d div(d a, d b) { return vdivq_f64(a, b); }
  static d mul(d a, d b) { return vmulq_f64(a, b); }
  static d sub(d a, d b) { return vsubq_f64(a, b); }
  static d add(d a, d b) { return vaddq_f64(a, b); }
  // a*b - c with one rounding: NEON's fused forms add to or subtract from the accumulator, and
  // the negation of c is exact.
  static d fmsub(d a, d b, d c) { return vfmaq_f64(vnegq_f64(c), a, b); }
  static d fnmadd(d a, d b, d c) { return vfmsq_f64(c, a, b); }
  static d round(d v) { return vrndnq_f64(v); }
  // FMAXNM, not FMAX: a NaN gives 0 as the scalar clamp does (the estimates never make one).
  static d nearest(d v) { return round(vmaxnmq_f64(v, vdupq_n_f64(0.0))); }
  // The exponent bit being consumed is each lane's sign bit.
  static d double_if_top_bit(d r, i bits) {
    return vbslq_f64(vcltzq_s64(vreinterpretq_s64_u64(bits)), vaddq_f64(r, r), r);
  }
  static i shift_bits(i bits) { return vaddq_u64(bits, bits); }
  // The digits are added as the other variants add them, through the 2^52 bias.
  static void add_to_cells(uint64_t* cells, d digits) {
    const uint64x2_t digit_bits = vandq_u64(vreinterpretq_u64_f64(vaddq_f64(digits, vdupq_n_f64(4503599627370496.0))),
                                            vdupq_n_u64(0xFFFFFFFFFFFFF));
    vst1q_u64(cells, vaddq_u64(vld1q_u64(cells), digit_bits));
  }
};

}  // namespace

// Two groups per run: eight vectors in flight cover the step's chain of about 23 cycles of
// latency on current cores, and a third group would spill most of the moduli and reciprocals.
void tly_bbp_vpowgroups_neon(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_wide_groups<neon, 2>(scratch, cells, moduli, known_zeros, exponent, step, groups);
}
