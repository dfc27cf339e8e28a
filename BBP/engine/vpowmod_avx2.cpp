// The group routine on AVX2 with FMA: one group of eight lanes per two 256-bit vectors.
#include "avx2_ops.h"
#include "vpowmod.h"
#include "wide_groups.h"

void tly_bbp_vpowgroups_avx2(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_wide_groups<avx2, 4>(scratch, cells, moduli, known_zeros, exponent, step, groups);
}
