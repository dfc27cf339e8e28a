// The exact double-precision arithmetic written lane by lane: the reference of the AVX2 and AVX-512 exact variants.
#include <cmath>

#include "double_digits.h"
#include "exact_double.h"
#include "montgomery.h"
#include "numeric.h"
#include "vpowmod.h"

namespace {

// The integer nearest to v * inv, from the exact product.
double quotient(double v, double inv) { return std::fma(v, inv, tly_bbp_double_rounder) - tly_bbp_double_rounder; }

// v less that multiple of m: exact, as the difference is an integer below 2^53.
double reduce(double v, double m, double inv) { return std::fma(-quotient(v, inv), m, v); }

}  // namespace

void tly_bbp_vpowmod8_double(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                             uint64_t exponent, uint64_t step) {
  const uint32_t start = tly_bbp_montgomery_start_bit(exponent);
  for (int lane = 0; lane < 8; ++lane) {
    const double m = tly_bbp_dbl(moduli[lane]);
    const double inv = 1.0 / m;
    const tly_bbp_double_start s =
        tly_bbp_double_lane_start(exponent - static_cast<uint64_t>(lane | 1) * step, start);
    uint64_t bits = s.bits;
    double x = reduce(s.power, m, inv);
    for (uint32_t i = start; i < 64; ++i) {
      const double hi = x * x;
      const double q = quotient(hi, inv);
      const double r = std::fma(-q, m, hi) + std::fma(x, x, -hi);
      x = reduce(bits >> 63 ? r + r : r, m, inv);
      bits <<= 1;
    }
    tly_bbp_double_digits(scratch + lane, cells, x < 0.0 ? x + m : x, m, inv * tly_bbp_digit_lowering);
  }
}
