// The exact double-precision tier on AVX-512 F/DQ: one group of eight lanes per 512-bit vector, several groups in flight.
#include "avx512_ops.h"
#include "exact_wide.h"
#include "vpowmod.h"

void tly_bbp_vpowgroups_avx512_exact(uint64_t* scratch, uint64_t cells, const uint64_t* moduli,
                                  uint32_t /*known_zeros*/, uint64_t exponent, uint64_t step, uint32_t groups) {
  tly_bbp_exact_wide_groups<avx512, 8>(scratch, cells, moduli, exponent, step, groups);
}
