// The exact two-limb arithmetic written lane by lane: the reference of the two-limb IFMA variant.
#include "limbs.h"
#include "madd52.h"
#include "vpowmod.h"

namespace {

// One square-and-double step, multiply-add for multiply-add as the vector routine forms it.
// Each column sum starts from 2^52 - 1: its bits from 52 up are then the carry that the
// next column takes when u's product has cleared its low 52 bits, and its low bits are one
// less than the column's, which -o^-1 added once more makes up for in u.
void square_step(tly_bbp_limbs_lane& l, uint64_t bit) {
  const uint64_t x0 = l.x0, x1 = l.x1, x1_doubled = x1 + x1, n = l.minus_inverse;
  const uint64_t a0 = tly_bbp_madd52lo(tly_bbp_limb_mask, x0, x0);
  const uint64_t u0 = tly_bbp_madd52lo(n, a0, n);
  uint64_t a1 = tly_bbp_madd52lo(tly_bbp_madd52hi(tly_bbp_limb_mask, x0, x0), x0, x1_doubled) + (a0 >> 52);
  a1 = tly_bbp_madd52lo(tly_bbp_madd52hi(a1, u0, l.o0), u0, l.o1);
  const uint64_t u1 = tly_bbp_madd52lo(n, a1, n);
  uint64_t a2 = tly_bbp_madd52hi(tly_bbp_madd52lo(tly_bbp_madd52hi(0, x0, x1_doubled), x1, x1), u0, l.o1) + (a1 >> 52);
  a2 = tly_bbp_madd52lo(tly_bbp_madd52hi(a2, u1, l.o0), u1, l.o1);
  const uint64_t a3 = tly_bbp_madd52hi(0, u1, l.o1) << bit;
  a2 <<= bit;
  l.x0 = a2 & tly_bbp_limb_mask;
  l.x1 = a3 + (a2 >> 52);
}

}  // namespace

void tly_bbp_vpowmod8_limbs(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t /*known_zeros*/,
                            uint64_t exponent, uint64_t step) {
  const uint32_t start = tly_bbp_limbs_start_bit(exponent);
  for (int lane = 0; lane < 8; ++lane) {
    tly_bbp_limbs_lane l;
    tly_bbp_limbs_setup(l, moduli[lane], exponent - static_cast<uint64_t>(lane | 1) * step, start);
    for (uint32_t i = start; i < 64; ++i, l.bits <<= 1) square_step(l, l.bits >> 63);
    tly_bbp_general_add_digits(scratch + lane, 8, cells, tly_bbp_limbs_numerator(l), l.m);
  }
}
