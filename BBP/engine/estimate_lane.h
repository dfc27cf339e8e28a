// One lane of the estimates' arithmetic: a square-and-double step and one digit.
#pragma once
#include <cstdint>

#include "numeric.h"

namespace {

// x*x - q*m, doubled when `bit` is 1: q is the nearest integer to ((f*f)*inv) - 1 with its three
// roundings in this order, so the wrapped difference is the true, partly reduced remainder.
inline uint64_t tly_bbp_estimate_square(uint64_t x, uint64_t m, double inv, uint64_t bit) {
  const double f = tly_bbp_dbl(x);
  const uint64_t q = tly_bbp_near((f * f) * inv - 1.0);
  return (x * x - q * m) << bit;
}

// The next base-2^32 digit of x/m, estimated as above from x*2^32 (exact).
inline uint64_t tly_bbp_estimate_digit(uint64_t x, double inv) {
  return tly_bbp_near((tly_bbp_dbl(x) * tly_bbp_digit_scale) * inv - 1.0);
}

}  // namespace
