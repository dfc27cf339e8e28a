// Evaluates a formula's series in order and leaves their signed sum in the Result words.
#pragma once
#include <cstdint>

#include "formulas.h"

// Prints "Terms Needed = " and one term line per series, unless tly_bbp_series_hook is set;
// the first series must be positive.
void tly_bbp_Pi_series_sum(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                           const tly_bbp_series* series, int count, uint64_t term_count);

// When set, called before each series (index from 0) instead of printing the console's
// "Terms Needed = " and term lines: a front end without the console reports in its own way.
extern void (*tly_bbp_series_hook)(int index, int count, uint64_t term_count);
