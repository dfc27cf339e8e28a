// The group routine written lane by lane for clarity: the reference for every vector variant.
#include "numeric.h"
#include "vpowmod.h"

void tly_bbp_vpowmod8_scalar(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step) {
  // Align every pair's exponent on the leading one of the group's exponent.
  uint64_t t = exponent << (known_zeros & 63);
  uint32_t s = known_zeros;
  while (static_cast<int64_t>(t) > 0) {
    t += t;
    ++s;
  }
  const uint64_t d = step << (s & 63);
  uint64_t pair_bits[4];
  pair_bits[0] = t - d;
  for (int j = 1; j < 4; ++j) pair_bits[j] = pair_bits[j - 1] - 2 * d;

  // The first-window decision is lane 0's alone, so it is taken once for the group.
  const bool window = moduli[0] >= 0x10000;
  const uint32_t s_start = window ? s + 5 : s;

  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = moduli[lane];
    const double inv = 1.0 / tly_bbp_dbl(m);
    uint64_t bits = pair_bits[lane / 2];
    uint64_t x = 1;
    if (window) {
      x = uint64_t{1} << (bits >> 59);
      bits <<= 5;
    }
    for (uint32_t i = s_start; i < 64; ++i) {
      const double f = tly_bbp_dbl(x);
      const uint64_t q = tly_bbp_near((f * f) * inv - 1.0);
      const uint64_t r = x * x - q * m;
      x = r << (bits >> 63);
      bits <<= 1;
    }
    for (uint64_t row = cells; row-- > 0;) {
      const uint64_t q = tly_bbp_near((tly_bbp_dbl(x) * tly_bbp_digit_scale) * inv - 1.0);
      scratch[8 * row + lane] += q;
      if (row > 0) x = (x << 32) - q * m;
    }
  }
}
