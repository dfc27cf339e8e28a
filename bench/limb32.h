// The 32-bit-limb Montgomery prototype's entry points: `steps` square-and-double steps of limb32_lanes lanes.
#pragma once
#include <cstdint>

// Lanes in flight: eight vectors of AVX-512, sixteen of AVX2.
constexpr int limb32_lanes = 64;

void tly_bbp_limb32_powers_avx2(uint64_t* x, const uint64_t* o, const uint64_t* o_inverse, const uint64_t* bits,
                                int steps);
void tly_bbp_limb32_powers_avx512(uint64_t* x, const uint64_t* o, const uint64_t* o_inverse, const uint64_t* bits,
                                  int steps);
