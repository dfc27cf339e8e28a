// Digits of n/m in double precision, their value exactly floor(n/m) scaled (not each cell a floor digit), for the exact tiers below 2^52.
#pragma once
#include <cmath>
#include <cstdint>

namespace {

// The digit estimate r/m (r below m*2^33) uses the rounded 1/m lowered by 2^-40, so that it
// never exceeds the true quotient and falls short of it by less than 2^-6: its floor is the
// true one or one less, and the remainder stays below 2m.
constexpr double tly_bbp_digit_lowering = 1.0 - 0x1p-40;

// Adds the digits of n/m (0 <= n <= m < 2^52) to column[8*(cells-1)] (the first after the
// point) down to column[0]. With r = n*2^32, then the remainder times 2^32, each
// q = floor(r * reciprocal) is the floor of r/m or one less, and r - q*m, below 2m whichever,
// is exact in one fused multiply-add: the remainders are left uncorrected, their excess
// carried by the next digit (below 2^33), and only the last digit corrected, so the digits'
// value is the exact floor of n*2^(32 cells)/m. `reciprocal` is fl(1/m) lowered.
inline void tly_bbp_double_digits(uint64_t* column, uint64_t cells, double n, double m, double reciprocal) {
  double r = n * 0x1p32;
  for (uint64_t row = cells; --row > 0;) {
    const double q = std::floor(r * reciprocal);
    column[8 * row] += static_cast<uint64_t>(q);
    r = std::fma(-q, m * 0x1p32, r * 0x1p32);
  }
  const double q = std::floor(r * reciprocal);
  column[0] += static_cast<uint64_t>(q) + (std::fma(-q, m, r) >= m);
}

}  // namespace
