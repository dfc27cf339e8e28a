// One block of terms of one series, summed modulo 1 into normalised 32-bit digits.
#pragma once
#include <cstdint>

#include "engine.h"

// False, with the block result undefined, when a lane check failed (see tly_bbp_check_lanes).
// The policy picks the variant of every pass of groups.
bool tly_bbp_kernel(int64_t* block_result, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first,
                    uint64_t last, uint32_t step, uint32_t multiplier, uint32_t offset, void* scratch,
                    const tly_bbp_variant_policy& policy);

// The lane check and carry pass: false ("Error in computation. Expected < 2^56.") when any of
// the `cells` rows of eight lane cells has reached 2^56, else each lane normalised.
bool tly_bbp_check_lanes(uint64_t* rows, uint64_t cells);
