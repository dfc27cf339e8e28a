// The sizes a run of either formula works with, and the places each formula accepts.
#pragma once
#include <cstdint>

// The sizes a run works with, derived from its place and its number of digits.
struct tly_bbp_run_values {
  uint64_t words, position, block_hint;
};
tly_bbp_run_values tly_bbp_derive_run_values(uint64_t start, uint64_t digits);

// The places each formula accepts, [low, high]: 0 Plouffe, 1 Bellard. The console keeps the
// limits its prompts name; the command line reaches as far as the exact 64-bit arithmetic.
struct tly_bbp_place_limit {
  uint64_t low, high;
};
extern const tly_bbp_place_limit tly_bbp_place_limits[2];
extern const tly_bbp_place_limit tly_bbp_command_line_place_limits[2];
