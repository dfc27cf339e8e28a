// The group routine written lane by lane for clarity: the reference for every vector variant.
#include "estimate_lane.h"
#include "group_setup.h"
#include "vpowmod.h"

void tly_bbp_vpowmod8_scalar(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step) {
  const tly_bbp_group_start g = tly_bbp_group_setup(moduli, known_zeros, exponent, step);
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = moduli[lane];
    const double inv = 1.0 / tly_bbp_dbl(m);
    uint64_t bits = g.pair_bits[lane / 2];
    uint64_t x = uint64_t{1} << g.power[lane / 2];
    for (uint32_t i = g.s; i < 64; ++i) {
      x = tly_bbp_estimate_square(x, m, inv, bits >> 63);
      bits <<= 1;
    }
    for (uint64_t row = cells; row-- > 0;) {
      const uint64_t q = tly_bbp_estimate_digit(x, inv);
      scratch[8 * row + lane] += q;
      if (row > 0) x = (x << 32) - q * m;
    }
  }
}
