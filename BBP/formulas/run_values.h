// The sizes a run of either formula works with, and the places each formula accepts.
#pragma once
#include <cstdint>

// The sizes a run works with, derived from its place and its number of digits.
struct tly_bbp_run_values {
  uint64_t words, position, block_hint;
};
tly_bbp_run_values tly_bbp_derive_run_values(uint64_t start, uint64_t digits);

// The sizes of a run at any place (the command line's, the library's): the console's, with a
// fourth guard word where the far places' truncation errors would leave less than a clean word
// above them (the same words for both formulas, so that a checkpoint fits either).
tly_bbp_run_values tly_bbp_command_line_run_values(uint64_t place, uint64_t digits);

// The guard words below the shown digits that the Result words of every run begin with.
inline constexpr uint64_t tly_bbp_display_guard_words = 3;

// The first `digits` hexadecimal digits above the guard words of `result`, lowercase, into
// text[0 .. digits - 1] (no terminating zero).
void tly_bbp_hex_digits(const uint32_t* result, uint64_t digits, char* text);

// The places each formula accepts, [low, high]: 0 Plouffe, 1 Bellard. The console keeps the
// limits its prompts name; the command line reaches as far as the exact 64-bit arithmetic.
struct tly_bbp_place_limit {
  uint64_t low, high;
};
extern const tly_bbp_place_limit tly_bbp_place_limits[2];
extern const tly_bbp_place_limit tly_bbp_command_line_place_limits[2];
