// Constants and loop start of the exact 52-bit Montgomery arithmetic (its reference and the IFMA variant), and the odd inverse the 64-bit one shares.
//
// A lane's modulus m = 2^s * o with o odd. Powers are kept in Montgomery form modulo o with
// R = 2^52: x*y*R^-1 is formed from the two 52-bit halves of x*y as (o + hi) - high(u*o),
// u = lo * o^-1 mod 2^52; the low halves of x*y and u*o cancel exactly, so no carry is
// needed, and the result stays below 2o while x*y < o*2^52. One product per exponent bit:
// x times x, doubled when the bit is set (times 2x, above 2^48). The exponent is e - s: the fraction
// (2^(e-s) mod o)/o equals that of 2^e over m (for e < s the term is 2^e/m itself). The value
// of the digits is the exact floor of n/m, n = 2^e mod m except for a power of two m <= 2^e,
// where the power out of Montgomery form is o = 1 itself and n = m: 1.0, equal modulo 1.
#pragma once
#include <bit>
#include <cstdint>

namespace {

// Odd parts below this double after the product with no reduction: the product is below
// 2o, doubled below 4o, and x < 4o gives x*x < 16o^2 < o*2^52 (doubling after the product
// spares the loop a register copy). At and above it the power and its double are reduced
// below o before the product of the two.
constexpr uint64_t tly_bbp_montgomery_folded_below = uint64_t{1} << 48;

// Every modulus is below 2^52: the multiply-adds take 52-bit factors.
constexpr uint64_t tly_bbp_montgomery_moduli_below = uint64_t{1} << 52;

// The bit at which a group's loop starts, for a leading exponent of at least 1: no estimate
// limits the starting power here, so the top five bits are a window whenever there are five.
inline uint32_t tly_bbp_montgomery_start_bit(uint64_t exponent) {
  const uint32_t s = static_cast<uint32_t>(std::countl_zero(exponent));
  return s <= 59 ? s + 5 : s;
}

// o^-1 mod 2^64 for odd o: five correct bits, doubled by each Newton step.
inline uint64_t tly_bbp_odd_inverse(uint64_t o) {
  uint64_t inverse = (3 * o) ^ 2;
  for (int i = 0; i < 4; ++i) inverse *= 2 - o * inverse;
  return inverse;
}

}  // namespace
