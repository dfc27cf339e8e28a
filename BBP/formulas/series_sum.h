// Evaluates a formula's series in order and leaves their signed sum in the Result words.
#pragma once
#include <cstdint>

#include "formulas.h"

// Prints "Terms Needed = " and one term line per series; the first series must be positive.
void tly_bbp_Pi_series_sum(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                           const tly_bbp_series* series, int count, uint64_t term_count);
