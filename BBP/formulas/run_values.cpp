// The run values of a place and a number of digits, and the formulas' place limits.
#include "run_values.h"

tly_bbp_run_values tly_bbp_derive_run_values(uint64_t start, uint64_t digits) {
  tly_bbp_run_values v;
  v.words = (digits + 7) / 8 + 3;
  v.position = 4 * start - 4;
  v.block_hint = start / 32;
  if (v.block_hint >= (uint64_t{1} << 30)) v.block_hint = uint64_t{1} << 30;
  return v;
}

const tly_bbp_place_limit tly_bbp_place_limits[2] = {{1, (uint64_t{1} << 44) - 1}, {8, (uint64_t{1} << 45) - 1}};
// Both keep every exponent and every modulus of a run below 2^63.
const tly_bbp_place_limit tly_bbp_command_line_place_limits[2] = {{1, (uint64_t{1} << 60) - 1},
                                                                  {8, (uint64_t{1} << 61) - 1}};
