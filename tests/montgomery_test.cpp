// The exact Montgomery arithmetic: its scalar reference against 128-bit arithmetic, and the
// IFMA variant against the reference cell for cell, on moduli up to 2^52, odd and even.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "engine/vpowmod.h"
#include "exact.h"

namespace {

using u128 = unsigned __int128;

const tly_bbp_variant* ifma() {
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (tly_bbp_variants[i].reference == tly_bbp_vpowmod8_montgomery) return &tly_bbp_variants[i];
  return nullptr;
}

// A modulus below 2^bits: odd, even (times 2^1 .. 2^12), or a power of two.
uint64_t random_modulus(std::mt19937_64& rng, unsigned bits) {
  const unsigned b = 1 + rng() % bits;
  uint64_t m = (rng() >> (64 - b)) | uint64_t{1} << (b - 1);
  switch (rng() % 6) {
    case 0: m = std::max<uint64_t>(m >> (rng() % 13), 1) << (rng() % 13); break;
    case 1: m = uint64_t{1} << (b - 1); break;
    default: m |= 1;
  }
  return std::min(m, (uint64_t{1} << bits) - 1);
}

struct group_case {
  std::vector<uint64_t> moduli;  // 8 per group
  uint32_t known_zeros;
  uint64_t exponent, step, cells;
};

// Moduli up to 2^47 or up to 2^52, exponents up to 2^62 or so short that some lanes have
// e < s, 1 to 16 groups (kernel-shaped moduli now and then).
group_case random_case(std::mt19937_64& rng, uint32_t groups) {
  group_case c;
  const unsigned bits = rng() % 2 ? 47 : 52;
  c.step = 1 + rng() % 12;
  const uint64_t lowest = 8 * groups * c.step;
  c.exponent = lowest + (rng() % 4 ? rng() >> (2 + rng() % 62) : rng() % 4);
  c.cells = 2 + rng() % 7;
  c.known_zeros = static_cast<uint32_t>(rng() % (std::countl_zero(c.exponent) + 1));
  const uint64_t first = random_modulus(rng, bits - 1), multiplier = 1 + rng() % 10;
  const bool kernel_shaped = rng() % 3 == 0;
  for (uint32_t i = 0; i < 8 * groups; ++i) c.moduli.push_back(kernel_shaped ? first + multiplier * i : random_modulus(rng, bits));
  return c;
}

std::vector<uint64_t> reference_cells(const group_case& c, uint32_t groups) {
  std::vector<uint64_t> rows(8 * c.cells);
  for (uint32_t g = 0; g < groups; ++g)
    tly_bbp_vpowmod8_montgomery(rows.data(), c.cells, c.moduli.data() + 8 * g, c.known_zeros,
                                c.exponent - 8 * g * c.step, c.step);
  return rows;
}

TEST(MontgomeryReference, ExactPowersAndFloorDigits) {
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 20000; ++i) {
    const group_case c = random_case(rng, 1);
    const std::vector<uint64_t> rows = reference_cells(c, 1);
    for (int lane = 0; lane < 8; ++lane) {
      const uint64_t m = c.moduli[lane], e = c.exponent - (lane | 1) * c.step;
      // The lane's value modulo 1, normalised, against the exact floor of (2^e mod m)/m.
      u128 carry = 0;
      uint64_t r = tly_bbp_exact_pow2_mod(e, m);
      std::vector<uint64_t> got(c.cells);
      for (uint64_t row = 0; row < c.cells; ++row, carry >>= 32) got[row] = static_cast<uint32_t>(carry += rows[8 * row + lane]);
      for (uint64_t row = c.cells; row-- > 0;) {
        const u128 scaled = u128{r} << 32;
        ASSERT_EQ(got[row], static_cast<uint64_t>(scaled / m))
            << "case " << i << ", lane " << lane << ", m " << m << ", e " << e << ", row " << row;
        r = static_cast<uint64_t>(scaled % m);
      }
      // Digits stay below 2^33, far within the kernel's 2^34 per group.
      for (uint64_t row = 0; row < c.cells; ++row) ASSERT_LT(rows[8 * row + lane], uint64_t{1} << 33);
    }
  }
}

TEST(MontgomeryIfma, MatchesItsReferenceCellForCell) {
  const tly_bbp_variant* v = ifma();
  ASSERT_NE(v, nullptr);
  if (!v->supported()) GTEST_SKIP() << v->name << " is not supported by this processor";
  EXPECT_EQ(v->moduli_below, uint64_t{1} << 52);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 6000; ++i) {
    const uint32_t groups = 1 + rng() % 16;
    const group_case c = random_case(rng, groups);
    std::vector<uint64_t> rows(8 * c.cells);
    v->groups(rows.data(), c.cells, c.moduli.data(), c.known_zeros, c.exponent, c.step, groups);
    ASSERT_EQ(rows, reference_cells(c, groups))
        << "case " << i << ": " << groups << " groups, m0 " << c.moduli[0] << ", E " << c.exponent << ", D " << c.step;
  }
}

}  // namespace
