// The engine's two number conversions and its leading-zero count, shared by its scalar paths.
#pragma once
#include <bit>
#include <cstdint>

// Kept static so that every translation unit, whatever its target flags, has its own copy.
namespace {

constexpr double tly_bbp_bias = 4503599627370496.0;  // 2^52
constexpr uint64_t tly_bbp_bias_bits = 0x4330000000000000ull;
constexpr uint64_t tly_bbp_mantissa_mask = 0xFFFFFFFFFFFFFull;
constexpr double tly_bbp_digit_scale = 4294967296.0;  // 2^32

// The quotient estimates keep their margin for moduli below 2^47.
constexpr uint64_t tly_bbp_estimate_moduli_below = uint64_t{1} << 47;

// Exact for u < 2^52.
inline double tly_bbp_dbl(uint64_t u) {
  return std::bit_cast<double>(tly_bbp_bias_bits | u) - tly_bbp_bias;
}

// The integer nearest to max(v, 0) for v below 2^52 - 1/2; a NaN gives 0.
inline uint64_t tly_bbp_near(double v) {
  double clamped = v > 0.0 ? v : 0.0;
  return std::bit_cast<uint64_t>(clamped + tly_bbp_bias) & tly_bbp_mantissa_mask;
}

// Leading zero bits of e as a 64-bit word; 0 when e, read as signed, is not positive.
inline uint32_t tly_bbp_leading_zeros(uint64_t e) {
  return static_cast<int64_t>(e) > 0 ? static_cast<uint32_t>(std::countl_zero(e)) : 0u;
}

}  // namespace
