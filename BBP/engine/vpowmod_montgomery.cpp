// The exact Montgomery arithmetic written lane by lane: the reference of the IFMA variant.
#include <bit>
#include <cmath>

#include "double_digits.h"
#include "madd52.h"
#include "montgomery.h"
#include "numeric.h"
#include "vpowmod.h"

namespace {

// x*y*2^-52 mod o, in (0, 2o) when x*y < o*2^52 (in (0, o] when y = 1).
uint64_t montgomery_product(uint64_t x, uint64_t y, uint64_t o, uint64_t o_inverse) {
  const uint64_t u = tly_bbp_madd52lo(0, tly_bbp_madd52lo(0, x, y), o_inverse);
  return tly_bbp_madd52hi(o, x, y) - tly_bbp_madd52hi(0, u, o);
}

uint64_t reduce_once(uint64_t x, uint64_t o) { return x >= o ? x - o : x; }

// 2^(52+w) mod o for w <= 31, exactly in double precision: every remainder is formed by one
// fused multiply-add whose exact value fits in a double, each quotient is within one of
// the true one.
uint64_t montgomery_power_of_two(uint32_t w, double o, double o_reciprocal) {
  const double a = std::fma(-std::nearbyint(0x1p52 * o_reciprocal), o, 0x1p52);  // in (-o, o)
  const double aw = std::ldexp(a, static_cast<int>(w));
  const double r = std::fma(-std::nearbyint(aw * o_reciprocal), o, aw);  // in (-o, o)
  return static_cast<uint64_t>(r < 0.0 ? r + o : r);
}

}  // namespace

void tly_bbp_vpowmod8_montgomery(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                                 uint64_t exponent, uint64_t step) {
  const uint32_t start = tly_bbp_montgomery_start_bit(exponent);  // known_zeros is a mere hint
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = moduli[lane];
    const uint64_t e = exponent - static_cast<uint64_t>(lane | 1) * step;
    const uint32_t s = static_cast<uint32_t>(std::countr_zero(m));
    const uint64_t o = m >> s;
    const uint64_t o_inverse = tly_bbp_odd_inverse(o);
    const double o_reciprocal = 1.0 / tly_bbp_dbl(o);
    const bool folded = o < tly_bbp_montgomery_folded_below;

    // 2^(e-s) mod o, its exponent's bits from the run's start bit on (the bits above it, at
    // most five, are the starting power); where e < s the term is 2^e/m, set apart below.
    const uint64_t e_odd = e >= s ? e - s : e;
    uint64_t bits = start < 64 ? e_odd << start : 0;
    uint64_t x = montgomery_power_of_two(static_cast<uint32_t>(e_odd >> (64 - start)), tly_bbp_dbl(o), o_reciprocal);
    for (uint32_t i = start; i < 64; ++i) {
      if (folded) {
        x = montgomery_product(x, x, o, o_inverse) << (bits >> 63);
      } else {
        x = reduce_once(x, o);
        x = montgomery_product(x, reduce_once(x << (bits >> 63), o), o, o_inverse);
      }
      bits <<= 1;
    }
    // Out of Montgomery form, in (0, o]: n <= m, the fraction's numerator over m.
    const uint64_t power = montgomery_product(reduce_once(x, o), 1, o, o_inverse);
    const uint64_t n = e < s ? uint64_t{1} << e : power << s;

    const double reciprocal = std::ldexp(o_reciprocal, -static_cast<int>(s)) * tly_bbp_digit_lowering;
    tly_bbp_double_digits(scratch + lane, cells, static_cast<double>(n), static_cast<double>(m), reciprocal);
  }
}
