// Test-only exact values for the series engine, in GMP integers: no floating point anywhere.
#pragma once
#include <cstdint>
#include <vector>

// The fractional part of the sum over k in [first, last) of sign_k * 2^(shift - step*k) /
// (multiplier*k + offset), sign_k = -1 when `alternating` is non-zero and k - first is odd,
// else +1, truncated to 32*cells bits: `cells` words, least significant first, so that word
// cells-1 holds the first 32 bits after the point.
std::vector<uint32_t> tly_bbp_exact_series(uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first,
                                           uint64_t last, uint32_t step, uint32_t multiplier, uint32_t offset);

// (a - b) modulo 2^(32*cells), read as a signed number; saturates at +-2^62.
int64_t tly_bbp_exact_difference(const uint32_t* a, const uint32_t* b, uint64_t cells);

// One lane of the vector routine read back. `digits[r * stride]` (r = 0 .. cells-1) is what
// the lane added to row r, weighing 2^(32*(r - cells)); the rows read as one number N may
// carry an integer part. Finds x = residue + j*m (j >= 0) with N = floor(x * 2^(32*cells) / m)
// - short_by, 0 <= short_by: the power the lane held and how far its digits fall short.
struct tly_bbp_exact_lane {
  bool found;         // some j in [0, 2^32) fits
  uint64_t x;         // residue + j*m
  uint64_t short_by;  // in units of the last digit; UINT64_MAX when 2^64 or more
};
tly_bbp_exact_lane tly_bbp_exact_lane_power(const uint64_t* digits, uint64_t stride, uint64_t cells, uint64_t m,
                                            uint64_t residue);
