// The console front end: dialogue, run values and digit display.
#pragma once
#include <cstdint>
#include <cstdio>
#include <istream>

// The sizes a run works with, derived from the answers.
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

// Banner, menu and the three prompts, reading from `in` and writing to `out`.
// False when the input ended before all three answers were accepted.
bool tly_bbp_dialogue(std::istream& in, FILE* out, int32_t* formula, uint64_t* start, uint64_t* digits);

// The binary and the hexadecimal block of the Result words on standard output.
void tly_bbp_print_digits(const uint32_t* result, uint64_t digits, uint64_t position);

// The whole console run on this process: dialogue, computation, display, pause. Returns the
// exit code: 0 after a run, 1 when the input ended before all answers were given.
int tly_bbp_console_run();
