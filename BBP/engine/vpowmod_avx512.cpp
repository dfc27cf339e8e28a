// The group routine on AVX-512: one group of eight lanes per 512-bit vector, several groups in flight.
#include "avx512_ops.h"
#include "vpowmod.h"
#include "wide_groups.h"

void tly_bbp_vpowgroups_avx512(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                               uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_wide_groups<avx512, 8>(scratch, cells, moduli, known_zeros, exponent, step, groups);
}
