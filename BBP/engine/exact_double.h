// The exact double-precision tier's bound and start: one lane's modulus m below 2^52, its power a signed residue.
//
// The power x is an integer with |x| <= m/2 (plus a few units), so x*x < 2^102 is split exactly
// into hi = fl(x*x) and lo = x*x - hi by a fused multiply-add. The quotient q = round(hi * fl(1/m))
// is within 0.88 of x*x/m, so r = (hi - q*m) + lo, both sums exact, lies in (-0.88m, 0.88m);
// doubled where the exponent bit is set it stays within 1.76m < 2^53, and a second quotient of it
// brings it back within m/2: a step never compares or corrects. At the end x < 0 takes m once,
// and the digits are the exact floor digits of (2^e mod m)/m, each below 2^33. Every quantity is
// an integer below 2^53 held exactly in a double (docs/arithmetic.md has the proof).
#pragma once
#include <cstdint>

namespace {

// Every modulus of a group is below this.
constexpr uint64_t tly_bbp_double_moduli_below = uint64_t{1} << 52;

// The first lane exponent bits and the five-bit window above them as the starting power: 2^w,
// w <= 31, which one quotient reduces within m/2 for every m.
struct tly_bbp_double_start {
  uint64_t bits;  // the bits after the window, the next at bit 63
  double power;   // 2^w
};

inline tly_bbp_double_start tly_bbp_double_lane_start(uint64_t e, uint32_t start) {
  // start > 64 - 5 only for exponents of fewer than five bits, whose window is empty.
  return {start < 64 ? e << start : 0, static_cast<double>(uint64_t{1} << (e >> (64 - start)))};
}

}  // namespace
