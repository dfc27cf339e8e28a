// The exact double-precision tier's bound and start: one lane's modulus m below 2^52, its power a signed residue.
//
// The power x is an integer with |x| <= m/2 (plus a few units), so x*x < 2^102 is split exactly
// into hi = fl(x*x) and lo = x*x - hi by a fused multiply-add. The quotient q, hi * fl(1/m)
// rounded once to the nearest integer, is within 3/4 of x*x/m, so r = (hi - q*m) + lo, both sums
// exact, lies within 3m/4; doubled where the exponent bit is set it stays within 3m/2 < 2^53, and
// a second quotient of it brings it back within m/2: a step never compares or corrects. At the end x < 0 takes m once.
// A lane's cells, read as one number, are exactly floor((2^e mod m) * 2^(32 cells) / m); single
// cells are not the floor digits one by one (each may reach 2^33), only their value is exact.
// Every quantity is an integer below 2^53 held exactly in a double (docs/arithmetic.md has the proof).
#pragma once
#include <cstdint>

namespace {

// fl(a*b + 1.5*2^52) - 1.5*2^52 is a*b rounded to the nearest integer, ties to even, for
// |a*b| < 2^51: the sum lies in [2^52, 2^53), whose spacing is 1. Cheaper than a rounding
// instruction on most processors, and one rounding of the exact product instead of two.
constexpr double tly_bbp_double_rounder = 0x1.8p52;

// Every modulus of a group is below this.
constexpr uint64_t tly_bbp_double_moduli_below = uint64_t{1} << 52;

// The first lane exponent bits and the five-bit window above them as the starting power: 2^w,
// w <= 31, which one quotient reduces within m/2 for every m.
struct tly_bbp_double_start {
  uint64_t bits;  // the bits after the window, the next at bit 63
  double power;   // 2^w
};

inline tly_bbp_double_start tly_bbp_double_lane_start(uint64_t e, uint32_t start) {
  // start is 64 where the window takes the whole exponent; for exponents of fewer than five
  // bits it is their leading zero count, and the window, e >> (64 - start), is empty.
  return {start < 64 ? e << start : 0, static_cast<double>(uint64_t{1} << (e >> (64 - start)))};
}

}  // namespace
