// The run values of a place and a number of digits, and the formulas' place limits.
#include "run_values.h"

#include <algorithm>

#include "formulas.h"

tly_bbp_run_values tly_bbp_derive_run_values(uint64_t start, uint64_t digits) {
  tly_bbp_run_values v;
  v.words = (digits + 7) / 8 + tly_bbp_display_guard_words;
  v.position = 4 * start - 4;
  v.block_hint = start / 32;
  if (v.block_hint >= (uint64_t{1} << 30)) v.block_hint = uint64_t{1} << 30;
  return v;
}

tly_bbp_run_values tly_bbp_command_line_run_values(uint64_t place, uint64_t digits) {
  tly_bbp_run_values values = tly_bbp_derive_run_values(place, digits);
  // Term counts of one word more: the guard words may add it.
  const uint64_t plouffe = tly_bbp_Plouffe_term_count(values.position, values.words + 1);
  const uint64_t bellard = tly_bbp_Bellard_term_count(values.position, values.words + 1);
  values.words += std::max(tly_bbp_guard_words(plouffe, 4, 4), tly_bbp_guard_words(bellard, 10, 7)) - 3;
  return values;
}

void tly_bbp_hex_digits(const uint32_t* result, uint64_t digits, char* text) {
  const uint32_t* display = result + tly_bbp_display_guard_words;
  uint64_t h = 8 * ((digits + 7) / 8);
  for (uint64_t i = 0; i < digits; ++i) {
    --h;
    text[i] = "0123456789abcdef"[(display[h / 8] >> (4 * (h % 8))) & 0xF];
  }
}

const tly_bbp_place_limit tly_bbp_place_limits[2] = {{1, (uint64_t{1} << 44) - 1}, {8, (uint64_t{1} << 45) - 1}};
// Both keep every exponent and every modulus of a run below 2^63.
const tly_bbp_place_limit tly_bbp_command_line_place_limits[2] = {{1, (uint64_t{1} << 60) - 1},
                                                                  {8, (uint64_t{1} << 61) - 1}};
