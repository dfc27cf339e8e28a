// The Plouffe formula: pi = sum 16^-k (4/(8k+1) - 2/(8k+4) - 1/(8k+5) - 1/(8k+6)).
#include "formulas.h"
#include "series_sum.h"

const tly_bbp_series tly_bbp_Plouffe_series[4] = {
    {2, 0, 0, 4, 8, 1},
    {1, 1, 0, 4, 8, 4},
    {0, 1, 0, 4, 8, 5},
    {0, 1, 0, 4, 8, 6},
};

uint64_t tly_bbp_Plouffe_term_count(uint64_t position, uint64_t words) {
  return ((32 * words + position) >> 2) + 16;
}

int32_t tly_bbp_Pi_Plouffe(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                          const tly_bbp_engine_run& run) {
  return tly_bbp_Pi_series_sum(result, position, words, block_hint, tly_bbp_Plouffe_series, 4,
                        tly_bbp_Plouffe_term_count(position, words), run);
}
