// Test-only exact references in GMP and MPFR: powers, series sums, lane read-back, digits of pi.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// 2^e mod m with 128-bit products.
uint64_t tly_bbp_exact_pow2_mod(uint64_t e, uint64_t m);

// The fractional part of the sum over k in [first, last) of sign_k * 2^(shift - step*k) /
// (multiplier*k + offset) (sign_k = -1 when `alternating` and k - first is odd), floored to
// 32*cells bits within one unit: `cells` words, least significant first.
std::vector<uint32_t> tly_bbp_exact_series(uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first,
                                           uint64_t last, uint32_t step, uint32_t multiplier, uint32_t offset);

// (a - b) modulo 2^(32*cells), read as a signed number (saturating at +-2^62).
int64_t tly_bbp_exact_difference(const uint32_t* a, const uint32_t* b, uint64_t cells);

// A lane's digits digits[r * 8], r = 0 .. cells-1 (row r weighs 2^(32*(r - cells))), read as
// floor(x * 2^(32*cells) / m) - short_by for the x = residue + j*m that fits best: returns j,
// or -1 when no j in [0, 2^32) fits with short_by in {0, 1}.
int64_t tly_bbp_exact_lane_multiple(const uint64_t* digits, uint64_t cells, uint64_t m, uint64_t residue,
                                    uint64_t* short_by = nullptr);

// `count` lower-case hexadecimal digits of pi from hexadecimal place `start` (place 1 is the
// first digit after the point), from MPFR with 128 guard bits; pi is kept for later windows.
std::string tly_bbp_oracle_hex(uint64_t start, uint64_t count);
