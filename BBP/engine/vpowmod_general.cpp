// The exact 64-bit arithmetic for every modulus, the eight lanes of a group interleaved so
// that their multiplications overlap.
#include "general.h"
#include "vpowmod.h"

namespace {

template <bool folded>
void powers(tly_bbp_general_lane* lanes, uint32_t start) {
  for (uint32_t i = start; i < 64; ++i) {
    for (int j = 0; j < 8; ++j) {
      tly_bbp_general_lane& l = lanes[j];
      l.x = tly_bbp_general_step<folded>(l.x, l.bits >> 63, l.o, l.o_inverse);
      l.bits <<= 1;
    }
  }
}

void group(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint64_t exponent, uint64_t step) {
  // All lanes start at the group's leading exponent bit: a shorter exponent starts with zero
  // bits, which square the Montgomery one to itself.
  const uint32_t start = tly_bbp_montgomery_start_bit(exponent);
  tly_bbp_general_lane lanes[8];
  uint64_t largest = 0;
  for (int j = 0; j < 8; ++j) {
    tly_bbp_general_setup(lanes[j], moduli[j], exponent - static_cast<uint64_t>(j | 1) * step, start);
    largest = lanes[j].o > largest ? lanes[j].o : largest;
  }
  if (largest < tly_bbp_general_folded_below)
    powers<true>(lanes, start);
  else
    powers<false>(lanes, start);
  uint64_t n[8];
  for (int j = 0; j < 8; ++j) {
    tly_bbp_general_numerator(lanes[j]);
    n[j] = lanes[j].x;
  }
  tly_bbp_general_add_group_digits(rows, cells, n, moduli);
}

}  // namespace

void tly_bbp_vpowgroups_general(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                                uint64_t exponent, uint64_t step, uint32_t groups) {
  for (uint32_t g = 0; g < groups; ++g) group(scratch, cells, moduli + 8 * g, exponent - 8 * g * step, step);
}
