// The estimates' arithmetic in plain C++ for any processor, the eight lanes of a group
// interleaved so that their multiplications and roundings overlap.
#include "estimate_lane.h"
#include "group_setup.h"
#include "vpowmod.h"

namespace {

void group(uint64_t* rows, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros, uint64_t exponent,
           uint64_t step) {
  const tly_bbp_group_start g = tly_bbp_group_setup(moduli, known_zeros, exponent, step);
  uint64_t x[8], m[8], bits[4];
  double inv[8];
  for (int lane = 0; lane < 8; ++lane) {
    m[lane] = moduli[lane];
    inv[lane] = 1.0 / tly_bbp_dbl(m[lane]);
    x[lane] = uint64_t{1} << g.power[lane / 2];
  }
  for (int j = 0; j < 4; ++j) bits[j] = g.pair_bits[j];
  for (uint32_t i = g.s; i < 64; ++i) {
    for (int lane = 0; lane < 8; ++lane) x[lane] = tly_bbp_estimate_square(x[lane], m[lane], inv[lane], bits[lane / 2] >> 63);
    for (uint64_t& b : bits) b <<= 1;
  }
  for (uint64_t row = cells; row-- > 0;) {
    for (int lane = 0; lane < 8; ++lane) {
      const uint64_t q = tly_bbp_estimate_digit(x[lane], inv[lane]);
      rows[8 * row + lane] += q;
      if (row > 0) x[lane] = (x[lane] << 32) - q * m[lane];
    }
  }
}

}  // namespace

void tly_bbp_vpowgroups_portable(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                 uint64_t exponent, uint64_t step, uint32_t groups) {
  for (uint32_t g = 0; g < groups; ++g)
    group(scratch, cells, moduli + 8 * g, known_zeros, exponent - 8 * g * step, step);
}
