// The exact 64-bit arithmetic written lane by lane: the reference of the interleaved general tier.
#include "general.h"
#include "vpowmod.h"

void tly_bbp_vpowmod8_general(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                              uint64_t exponent, uint64_t step) {
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = moduli[lane];
    uint64_t r = tly_bbp_general_pow2_mod(exponent - static_cast<uint64_t>(lane | 1) * step, m);
    const double reciprocal = tly_bbp_general_reciprocal(m);
    for (uint64_t row = cells; row-- > 0;) scratch[8 * row + lane] += tly_bbp_general_digit(r, m, reciprocal);
  }
}
