// How far the truncated terms of a formula reach up from the last cell, and the guard words that cover it.
#include <bit>

#include "formulas.h"

uint64_t tly_bbp_truncation_bits(uint64_t term_count, uint32_t step, int series_count) {
  // Per term under 2 units of the last cell, under 2^(step+1) in an even lane of a group (half
  // of the terms): on average under 2^step + 1; the dropped terms and the tail under 1 unit.
  using u128 = unsigned __int128;
  const u128 bound = u128(uint64_t(series_count)) * (u128(term_count) * ((uint64_t{1} << step) + 1) + 1);
  const uint64_t high = uint64_t(bound >> 64);
  return high ? 64 + uint64_t(std::bit_width(high)) : uint64_t(std::bit_width(uint64_t(bound)));
}

uint64_t tly_bbp_guard_words(uint64_t term_count, uint32_t step, int series_count) {
  // At least one whole word of clean guard bits above the error, as at every interactive place.
  const uint64_t words = (tly_bbp_truncation_bits(term_count, step, series_count) + 63) / 32;
  return words < 3 ? 3 : words;
}
