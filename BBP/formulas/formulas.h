// The two formulas for pi: each leaves frac(2^position * pi) in the Result words.
#pragma once
#include <cstdint>

struct tly_bbp_engine_run;

// Each returns a tly_bbp_status; the run says how (threads, variant, claims, reports, cancel).
int32_t tly_bbp_Pi_Plouffe(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                           const tly_bbp_engine_run& run);
int32_t tly_bbp_Pi_Bellard(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                           const tly_bbp_engine_run& run);

// Terms evaluated for every series of a run.
uint64_t tly_bbp_Plouffe_term_count(uint64_t position, uint64_t words);
uint64_t tly_bbp_Bellard_term_count(uint64_t position, uint64_t words);

// The bits of the last cells that the truncation of every term can disturb, for `series_count`
// series of `term_count` terms: the summed error stays below 2^bits units of the last cell.
uint64_t tly_bbp_truncation_bits(uint64_t term_count, uint32_t step, int series_count);
// Guard words below the display that leave a whole clean word above that error: 3 at every
// place the console accepts, 4 from about place 2^52.5 (Bellard) or 2^57.9 (Plouffe) on.
uint64_t tly_bbp_guard_words(uint64_t term_count, uint32_t step, int series_count);

// One series of a formula: coefficient +-2^power, term k = sign * 2^(position + power - step*k) / (multiplier*k + offset).
struct tly_bbp_series {
  int32_t power;        // exponent of the coefficient, the formula's common factor included
  int32_t negative;     // subtracted from the running sum
  int32_t alternating;  // term k carries (-1)^k
  uint32_t step, multiplier, offset;
};
// The exponent of a series' term 0 at `position`.
uint64_t tly_bbp_series_shift(const tly_bbp_series& series, uint64_t position);

extern const tly_bbp_series tly_bbp_Plouffe_series[4];
extern const tly_bbp_series tly_bbp_Bellard_series[7];
