// The exact Montgomery arithmetic: its scalar reference against 128-bit arithmetic, the IFMA
// variant against the reference cell for cell, and the digits of pi with every variant.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Main/console.h"
#include "engine/engine.h"
#include "engine/vpowmod.h"
#include "formulas/formulas.h"
#include "pi_oracle.h"

namespace {

using u128 = unsigned __int128;

const tly_bbp_variant* ifma() {
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (tly_bbp_variants[i].reference == tly_bbp_vpowmod8_montgomery) return &tly_bbp_variants[i];
  return nullptr;
}

uint64_t pow2_mod(uint64_t e, uint64_t m) {
  u128 r = 1 % m, b = 2 % m;
  for (; e; e >>= 1, b = b * b % m)
    if (e & 1) r = r * b % m;
  return static_cast<uint64_t>(r);
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
      uint64_t r = pow2_mod(e, m);
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

// The hexadecimal digits of a whole formula run in this process with the named variant.
std::string formula_digits(const char* variant, int formula, uint64_t start, uint64_t digits) {
  const std::string previous = tly_bbp_active_variant()->name;
  EXPECT_TRUE(tly_bbp_use_variant(variant));
  const tly_bbp_run_values run = tly_bbp_derive_run_values(start, digits);
  std::vector<uint32_t> result(run.words);
  // The formulas report their progress on standard output, which is set aside meanwhile.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO), null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  (formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(result.data(), run.position, run.words, run.block_hint);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(null_fd);
  tly_bbp_use_variant(previous.c_str());
  std::string hex;
  char word[9];
  for (uint64_t i = 0; i < (digits + 7) / 8; ++i) {
    std::snprintf(word, sizeof word, "%08x", result[run.words - 1 - i]);
    hex += word;
  }
  return hex.substr(0, digits);
}

TEST(MontgomeryIfma, BothFormulasPrintKnownDigits) {
  const tly_bbp_variant* v = ifma();
  if (!v->supported()) GTEST_SKIP() << v->name << " is not supported by this processor";
  for (int formula : {0, 1}) {
    EXPECT_EQ(formula_digits(v->name, formula, 100000001, 32), "cb840e21926ec5ae0d2f3405104593cb") << formula;
    EXPECT_EQ(formula_digits(v->name, formula, 10000000, 14), "17af5863efed8d") << formula;
  }
}

// Different arithmetics leave different cells, but every variant prints the digits of pi.
TEST(EveryVariant, PrintsTheDigitsOfPi) {
  const std::string pi = tly_bbp_oracle_hex(1000001, 40);
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    if (!v.supported()) continue;
    for (int formula : {0, 1}) EXPECT_EQ(formula_digits(v.name, formula, 1000001, 40), pi) << v.name << ", " << formula;
  }
}

}  // namespace
