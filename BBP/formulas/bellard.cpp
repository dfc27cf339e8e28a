// The Bellard formula: pi = 2^-6 sum (-1)^k 2^-10k (-2^5/(4k+1) - 1/(4k+3) + 2^8/(10k+1)
//   - 2^6/(10k+3) - 2^2/(10k+5) - 2^2/(10k+7) + 1/(10k+9)), the positive series first.
#include "formulas.h"
#include "series_sum.h"

const tly_bbp_series tly_bbp_Bellard_series[7] = {
    {2, 0, 1, 10, 10, 1},   // +2^8 / (10k+1)
    {-6, 0, 1, 10, 10, 9},  // +1 / (10k+9)
    {0, 1, 1, 10, 10, 3},   // -2^6 / (10k+3)
    {-1, 1, 1, 10, 4, 1},   // -2^5 / (4k+1)
    {-4, 1, 1, 10, 10, 5},  // -2^2 / (10k+5)
    {-4, 1, 1, 10, 10, 7},  // -2^2 / (10k+7)
    {-6, 1, 1, 10, 4, 3},   // -1 / (4k+3)
};

uint64_t tly_bbp_Bellard_term_count(uint64_t position, uint64_t words) {
  return (32 * words + position - 6) / 10 + 16;
}

int32_t tly_bbp_Pi_Bellard(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                          const tly_bbp_engine_run& run) {
  return tly_bbp_Pi_series_sum(result, position, words, block_hint, tly_bbp_Bellard_series, 7,
                        tly_bbp_Bellard_term_count(position, words), run);
}
