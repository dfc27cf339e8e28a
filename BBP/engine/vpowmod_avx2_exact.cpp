// The exact double-precision tier on AVX2 with FMA: one group of eight lanes per two 256-bit vectors, several groups in flight.
#include "avx2_ops.h"
#include "exact_wide.h"
#include "vpowmod.h"

void tly_bbp_vpowgroups_avx2_exact(uint64_t* scratch, uint64_t cells, const uint64_t* moduli,
                                  uint32_t /*known_zeros*/, uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_exact_wide_groups<avx2, 4>(scratch, cells, moduli, exponent, step, groups);
}
