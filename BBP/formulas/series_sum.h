// Evaluates a formula's series in order and leaves their signed sum in the Result words.
#pragma once
#include <cstdint>

#include "../engine/pblock.h"
#include "formulas.h"

// Reports each series' start and end to the run's callbacks; the first series must be
// positive. Returns a tly_bbp_status: the Result words are only meaningful when it is done.
int32_t tly_bbp_Pi_series_sum(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                              const tly_bbp_series* series, int count, uint64_t term_count,
                              const tly_bbp_engine_run& run);
