// The exact 64-bit arithmetic for every modulus: one lane's power of two and its floor digits.
//
// A modulus m = 2^s * o with o odd, from 1 to 2^64 - 1. Powers are kept in Montgomery form
// modulo o with R = 2^64: x*y*R^-1 = high(x*y) - high(u*o), u = low(x*y) * o^-1 mod 2^64; the
// low halves of x*y and u*o are equal, so no carry crosses between them, and the difference
// lies in (-o, o) while x*y < o*2^64: adding o when it is negative keeps every power fully
// reduced below o, whatever the size of o. The exponent is e - s, as the fraction of 2^e over
// m is that of 2^(e-s) over o (for e < s the term is 2^e/m itself).
#pragma once
#include <bit>
#include <cstdint>

#include "montgomery.h"

namespace {

using tly_bbp_u128 = unsigned __int128;

// Odd parts below this double into the product without a reduction: x < o and 2x < 2o give
// x*2x < o*2^64. From 2^63 on the doubled factor is first reduced below o.
constexpr uint64_t tly_bbp_general_folded_below = uint64_t{1} << 63;

// (high*2^64 + low) / d and its remainder, for high < d: one hardware division, whose quotient
// then fits in 64 bits (a division of 128-bit integers would call the library's general routine).
inline uint64_t tly_bbp_general_divide(uint64_t high, uint64_t low, uint64_t d, uint64_t& remainder) {
#if defined(__x86_64__)
  uint64_t quotient;
  asm("divq %[d]" : "=a"(quotient), "=d"(remainder) : "a"(low), "d"(high), [d] "r"(d));
  return quotient;
#else
  // Elsewhere no instruction divides 128 bits by 64: the library routine runs, a few times
  // per lane and group, never in the loop.
  const uint64_t quotient = static_cast<uint64_t>((tly_bbp_u128{high} << 64 | low) / d);
  remainder = low - quotient * d;
  return quotient;
#endif
}

// One lane: its modulus, its Montgomery constants and its power.
struct tly_bbp_general_lane {
  uint64_t m, o, o_inverse;
  uint32_t s;         // m = 2^s * o
  uint64_t e;         // the lane's exponent
  uint64_t bits;      // the exponent bits after the starting power, the next at bit 63
  uint64_t x;         // the power in Montgomery form below o, then the numerator below m
};

// x*y*2^-64 mod o in [0, o), for x*y < o*2^64.
inline uint64_t tly_bbp_general_product(uint64_t x, uint64_t y, uint64_t o, uint64_t o_inverse) {
  const tly_bbp_u128 t = tly_bbp_u128{x} * y;
  const uint64_t u = static_cast<uint64_t>(t) * o_inverse;
  const uint64_t high = static_cast<uint64_t>(t >> 64);
  const uint64_t subtrahend = static_cast<uint64_t>((tly_bbp_u128{u} * o) >> 64);
  return high - subtrahend + (high < subtrahend ? o : 0);
}

// One square-and-double step: x*x, or x*2x when `bit` is 1, in Montgomery form.
template <bool folded>
inline uint64_t tly_bbp_general_step(uint64_t x, uint64_t bit, uint64_t o, uint64_t o_inverse) {
  if (folded) return tly_bbp_general_product(x, x << bit, o, o_inverse);
  const uint64_t doubled = x >= o - x ? x - (o - x) : x + x;
  return tly_bbp_general_product(x, bit ? doubled : x, o, o_inverse);
}

// The lane's constants and its starting power: 2^w in Montgomery form, 2^(64+w) mod o, w the
// exponent's bits above `start` (at most five: see tly_bbp_montgomery_start_bit).
inline void tly_bbp_general_setup(tly_bbp_general_lane& l, uint64_t m, uint64_t e, uint32_t start) {
  l.m = m;
  l.e = e;
  l.s = static_cast<uint32_t>(std::countr_zero(m));
  l.o = m >> l.s;
  l.o_inverse = tly_bbp_odd_inverse(l.o);
  const uint64_t e_odd = e >= l.s ? e - l.s : e;
  l.bits = start < 64 ? e_odd << start : 0;
  const uint64_t power = uint64_t{1} << (e_odd >> (64 - start));
  const uint64_t high = power < l.o ? power : power % l.o;
  tly_bbp_general_divide(high, 0, l.o, l.x);
}

// Out of Montgomery form (x*2^-64 mod o: below o, 0 only for 0) and into the numerator n < m
// of the lane's fraction n/m.
inline void tly_bbp_general_numerator(tly_bbp_general_lane& l) {
  const uint64_t high = static_cast<uint64_t>((tly_bbp_u128{l.x * l.o_inverse} * l.o) >> 64);
  const uint64_t power = high ? l.o - high : 0;
  l.x = l.e < l.s ? uint64_t{1} << l.e : power << l.s;
}

// A modulus shifted up to its top bit, d = m << shift, and its reciprocal v = floor((2^128 - 1)/d)
// - 2^64: a division by d then takes two multiplications and two corrections (Moller and
// Granlund, "Improved division by invariant integers").
struct tly_bbp_general_divisor {
  uint64_t d, v;
  uint32_t shift;
};

inline tly_bbp_general_divisor tly_bbp_general_divisor_of(uint64_t m) {
  tly_bbp_general_divisor divisor;
  divisor.shift = static_cast<uint32_t>(std::countl_zero(m));
  divisor.d = m << divisor.shift;
  uint64_t remainder;
  divisor.v = tly_bbp_general_divide(~divisor.d, ~uint64_t{0}, divisor.d, remainder);  // 2^128 - 1 - 2^64*d
  return divisor;
}

// The next two base-2^32 digits of r/m as one word, floor(r*2^64/m), for r < d shifted like d
// (r*2^shift, which keeps the quotient); r becomes the remainder, shifted alike.
inline uint64_t tly_bbp_general_two_digits(uint64_t& r, const tly_bbp_general_divisor& divisor) {
  // The estimate v*r + (r + 1)*2^64: its low word is that of v*r.
  const tly_bbp_u128 product = tly_bbp_u128{divisor.v} * r;
  const uint64_t low = static_cast<uint64_t>(product);
  uint64_t q = static_cast<uint64_t>(product >> 64) + r + 1;
  uint64_t rest = 0 - q * divisor.d;
  // Both corrections by masks: the first is taken about half the time, past any prediction.
  const uint64_t under = 0 - static_cast<uint64_t>(rest > low);
  q += under;
  rest += divisor.d & under;
  const uint64_t over = rest >= divisor.d;
  q += over;
  r = rest - (divisor.d & (0 - over));
  return q;
}

// Adds the `count` floor digits of n/m (n < m) to cells[(count-1)*stride] down to cells[0].
inline void tly_bbp_general_add_digits(uint64_t* cells, uint64_t stride, uint64_t count, uint64_t n, uint64_t m) {
  const tly_bbp_general_divisor divisor = tly_bbp_general_divisor_of(m);
  uint64_t r = n << divisor.shift;
  for (uint64_t i = count; i > 0; i -= i > 1 ? 2 : 1) {
    const uint64_t two = tly_bbp_general_two_digits(r, divisor);
    cells[(i - 1) * stride] += two >> 32;
    if (i > 1) cells[(i - 2) * stride] += two & 0xFFFFFFFF;
  }
}

// The same for the eight lanes of a group, n[j]/m[j] into column j of `cells` rows of eight:
// two digits per division, the lanes' divisions side by side; an odd last row takes the upper
// digit of a last division.
inline void tly_bbp_general_add_group_digits(uint64_t* rows, uint64_t cells, const uint64_t* n, const uint64_t* m) {
  tly_bbp_general_divisor divisors[8];
  uint64_t r[8];
  for (int j = 0; j < 8; ++j) {
    divisors[j] = tly_bbp_general_divisor_of(m[j]);
    r[j] = n[j] << divisors[j].shift;
  }
  uint64_t i = cells;
  for (; i > 1; i -= 2) {
    for (int j = 0; j < 8; ++j) {
      const uint64_t two = tly_bbp_general_two_digits(r[j], divisors[j]);
      rows[8 * (i - 1) + j] += two >> 32;
      rows[8 * (i - 2) + j] += two & 0xFFFFFFFF;
    }
  }
  if (i == 1)
    for (int j = 0; j < 8; ++j) rows[j] += tly_bbp_general_two_digits(r[j], divisors[j]) >> 32;
}

// 2^e mod m for e >= 1, exactly.
inline uint64_t tly_bbp_general_pow2_mod(uint64_t e, uint64_t m) {
  tly_bbp_general_lane l;
  const uint32_t start = tly_bbp_montgomery_start_bit(e);
  tly_bbp_general_setup(l, m, e, start);
  for (uint32_t i = start; i < 64; ++i, l.bits <<= 1)
    l.x = l.o < tly_bbp_general_folded_below ? tly_bbp_general_step<true>(l.x, l.bits >> 63, l.o, l.o_inverse)
                                             : tly_bbp_general_step<false>(l.x, l.bits >> 63, l.o, l.o_inverse);
  tly_bbp_general_numerator(l);
  return l.x;
}

}  // namespace
