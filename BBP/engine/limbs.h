// The exact two-limb arithmetic for moduli beyond 52 bits: one lane's constants, start and digits (its reference and the IFMA variant).
//
// A modulus m = 2^s * o with o odd, below 2^64. Powers are kept in Montgomery form modulo o
// with R = 2^104, as two limbs of 52 bits, x = x0 + x1*2^52, so that the 52-bit multiply-adds
// form every partial product. One step squares x and reduces it by two rounds of one limb
// each: x*x + u*o with u = -x*x*o^-1 mod 2^104, divided by 2^104, which is below 2o while
// x < 4o (16o < 2^104); the doubling of a set exponent bit then keeps x below 4o, that is
// below 2^66, so x1 stays below 2^14 and x1*x1 has no high half. No step compares or
// corrects. The exponent is e - s, as in the other exact tiers; the digits are the exact
// floor digits of the 64-bit tier.
#pragma once
#include <bit>
#include <cstdint>

#include "general.h"
#include "montgomery.h"

namespace {

constexpr uint64_t tly_bbp_limb_mask = (uint64_t{1} << 52) - 1;

// A three-bit window: the starting power 2^(104+w) mod o is then one division of 2^(40+w) * 2^64,
// 2^(40+w) < 2^48 being below every odd part of 48 bits and more without a reduction.
inline uint32_t tly_bbp_limbs_start_bit(uint64_t exponent) {
  const uint32_t s = static_cast<uint32_t>(std::countl_zero(exponent));
  return s <= 60 ? s + 3 : s;
}

// One lane: its modulus, its Montgomery constants and its power.
struct tly_bbp_limbs_lane {
  uint64_t m, o;
  uint32_t s;              // m = 2^s * o
  uint64_t e;              // the lane's exponent
  uint64_t o0, o1;         // the limbs of o
  uint64_t minus_inverse;  // -o^-1 mod 2^52
  uint64_t bits;           // the exponent bits after the starting power, the next at bit 63
  uint64_t x0, x1;         // the power in Montgomery form, below 4o
};

inline void tly_bbp_limbs_setup(tly_bbp_limbs_lane& l, uint64_t m, uint64_t e, uint32_t start) {
  l.m = m;
  l.e = e;
  l.s = static_cast<uint32_t>(std::countr_zero(m));
  l.o = m >> l.s;
  l.o0 = l.o & tly_bbp_limb_mask;
  l.o1 = l.o >> 52;
  l.minus_inverse = (0 - tly_bbp_odd_inverse(l.o)) & tly_bbp_limb_mask;
  const uint64_t e_odd = e >= l.s ? e - l.s : e;
  l.bits = e_odd << start;
  const uint64_t power = uint64_t{1} << (40 + (e_odd >> (64 - start)));
  uint64_t x;
  tly_bbp_general_divide(power < l.o ? power : power % l.o, 0, l.o, x);
  l.x0 = x & tly_bbp_limb_mask;
  l.x1 = x >> 52;
}

// Out of Montgomery form, two rounds of one limb: (x + u*o) / 2^104 lies in [0, o], o only
// when x is a multiple of o (o = 1). Then the numerator of the lane's fraction over m, n < m:
// 2^(e-s) mod o times 2^s, or 2^e itself when e < s.
inline uint64_t tly_bbp_limbs_numerator(const tly_bbp_limbs_lane& l) {
  tly_bbp_u128 t = tly_bbp_u128{l.x1} << 52 | l.x0;
  for (int round = 0; round < 2; ++round)
    t = (t + tly_bbp_u128{(static_cast<uint64_t>(t) * l.minus_inverse) & tly_bbp_limb_mask} * l.o) >> 52;
  const uint64_t power = static_cast<uint64_t>(t) == l.o ? 0 : static_cast<uint64_t>(t);
  return l.e < l.s ? uint64_t{1} << l.e : power << l.s;
}

}  // namespace
