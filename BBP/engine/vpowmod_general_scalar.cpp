// The exact 64-bit arithmetic written lane by lane: the reference of the interleaved general tier.
#include "general.h"
#include "vpowmod.h"

void tly_bbp_vpowmod8_general(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                              uint64_t exponent, uint64_t step) {
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = moduli[lane];
    const uint64_t n = tly_bbp_general_pow2_mod(exponent - static_cast<uint64_t>(lane | 1) * step, m);
    tly_bbp_general_add_digits(scratch + lane, 8, cells, n, m);
  }
}
