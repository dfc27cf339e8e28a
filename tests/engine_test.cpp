// The group routine: the scalar reference against exact powers, every variant against the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/vpowmod.h"
#include "exact.h"

namespace {

struct group_case {
  uint64_t moduli[8];
  uint32_t known_zeros;
  uint64_t exponent, step, cells;
};

uint64_t lane_exponent(const group_case& c, int lane) { return c.exponent - (lane | 1) * c.step; }

// With the window on an exponent of exactly five bits, no squaring step runs.
bool squared(const group_case& c) { return c.moduli[0] < 0x10000 || c.exponent >= 32; }

using group_fn = void (*)(uint64_t*, uint64_t, const uint64_t*, uint32_t, uint64_t, uint64_t);

// The rows one group adds, in 16-byte aligned memory that starts off any 32-byte boundary,
// fenced on both sides against stray writes.
std::vector<uint64_t> cells_of(const tly_bbp_variant* variant, group_fn single, const group_case& c,
                               const std::vector<uint64_t>& start = {}) {
  std::vector<uint64_t> memory(8 * c.cells + 40, 0xF00F), moduli(c.moduli, c.moduli + 10);
  uint64_t* rows = memory.data() + 2;
  while (reinterpret_cast<uintptr_t>(rows) % 32 != 16) ++rows;
  std::copy(start.begin(), start.end(), rows);
  if (start.empty()) std::fill(rows, rows + 8 * c.cells, 0);
  uint64_t* m = moduli.data();
  while (reinterpret_cast<uintptr_t>(m) % 16) ++m;
  std::copy(c.moduli, c.moduli + 8, m);
  if (variant)
    variant->groups(rows, c.cells, m, c.known_zeros, c.exponent, c.step, 1);
  else
    single(rows, c.cells, m, c.known_zeros, c.exponent, c.step);
  EXPECT_EQ(rows[-1], 0xF00Fu);
  EXPECT_EQ(rows[8 * c.cells], 0xF00Fu);
  return std::vector<uint64_t>(rows, rows + 8 * c.cells);
}

std::vector<uint64_t> reference(const group_case& c) { return cells_of(nullptr, tly_bbp_vpowmod8_scalar, c); }

// Every lane holds x = 2^e (mod m), below 4m after a squaring step (else the unreduced 2^e),
// as digits short of x/m by less than two units, each digit below its bound.
testing::AssertionResult exact_lanes(const std::vector<uint64_t>& rows, const group_case& c) {
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = c.moduli[lane], e = lane_exponent(c, lane), residue = tly_bbp_exact_pow2_mod(e, m);
    const int64_t j = tly_bbp_exact_lane_multiple(rows.data() + lane, c.cells, m, residue);
    const bool fits = squared(c) ? j >= 0 && j < 4 : j >= 0 && residue + j * m == uint64_t{1} << e;
    bool small = rows[8 * (c.cells - 1) + lane] < (uint64_t{1} << (squared(c) ? 34 : 48));
    for (uint64_t r = 0; r + 1 < c.cells; ++r) small = small && rows[8 * r + lane] < uint64_t{1} << 33;
    if (!fits || !small)
      return testing::AssertionFailure() << "lane " << lane << ", m " << m << ", e " << e << ", E " << c.exponent
                                         << ", D " << c.step << ", cells " << c.cells << ": multiple " << j;
  }
  return testing::AssertionSuccess();
}

uint64_t below_bits(std::mt19937_64& rng, unsigned n) { return n == 0 ? 0 : rng() >> (64 - n); }

// Inputs within the routine's preconditions: moduli of 1 to 47 bits, the smallest in lane 0
// (now and then consecutive ones, or a lane 0 at the window threshold), E - 7D >= 1, E >= 16
// under the window, pairs much shorter than E, 2 to 131 cells, any valid known_zeros.
group_case random_case(std::mt19937_64& rng) {
  group_case c{};
  const unsigned shape = rng() % 8;
  if (shape == 0) {
    const uint64_t base = 1 + below_bits(rng, 1 + rng() % 46), multiplier = 1 + rng() % 16;
    for (int l = 0; l < 8; ++l) c.moduli[l] = base + l * multiplier;
  } else {
    for (uint64_t& m : c.moduli) {
      const unsigned bits = 1 + rng() % 47;
      m = below_bits(rng, bits) | uint64_t{1} << (bits - 1);
    }
    std::swap(c.moduli[0], *std::min_element(c.moduli, c.moduli + 8));
    if (shape == 1) {
      c.moduli[0] = 65530 + rng() % 12;
      for (uint64_t& m : c.moduli) m = std::max(m, c.moduli[0]);
    }
  }
  c.step = rng() % 4 == 0 ? 1 + below_bits(rng, 1 + rng() % 20) : 1 + rng() % 16;
  const uint64_t lowest = std::max<uint64_t>(7 * c.step + 1, c.moduli[0] >= 0x10000 ? 16 : 0);
  c.exponent = std::min(lowest + below_bits(rng, rng() % 48), (uint64_t{1} << 47) + lowest);
  if (rng() % 8 == 0 && c.exponent > 64) c.step = (c.exponent - 1 - below_bits(rng, 1 + rng() % 10) % (c.exponent / 2)) / 7;
  c.cells = 2 + rng() % 130;
  c.known_zeros = rng() % (std::countl_zero(c.exponent) + 1);
  return c;
}

TEST(VpowmodScalar, MatchesExactPowers) {
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 20000; ++i) {
    const group_case c = random_case(rng);
    ASSERT_TRUE(exact_lanes(reference(c), c)) << "case " << i;
  }
  // Every modulus 1 .. 64 in every lane, powers of two among them, short and long exponents.
  for (uint64_t first = 1; first <= 57; ++first)
    for (uint64_t exponent : {29ull, 64ull, 1000ull, 123456789ull, (1ull << 47) - 3}) {
      group_case c{{}, 0, exponent, 4, 3};
      for (int l = 0; l < 8; ++l) c.moduli[l] = first + l;
      ASSERT_TRUE(exact_lanes(reference(c), c)) << "moduli from " << first << ", E " << exponent;
    }
}

// Every lane's digits are exactly the floor digits of 2^e mod m over m, with an integer part of
// at most `most_whole`, each digit below `bound`.
testing::AssertionResult floor_digits(const std::vector<uint64_t>& rows, const group_case& c, int64_t most_whole,
                                      uint64_t bound) {
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = c.moduli[lane], e = lane_exponent(c, lane);
    uint64_t short_by = 1;
    const int64_t whole = tly_bbp_exact_lane_multiple(rows.data() + lane, c.cells, m, tly_bbp_exact_pow2_mod(e, m), &short_by);
    bool small = true;
    for (uint64_t r = 0; r < c.cells; ++r) small = small && rows[8 * r + lane] < bound;
    if (whole < 0 || whole > most_whole || short_by != 0 || !small)
      return testing::AssertionFailure() << "lane " << lane << ", m " << m << ", e " << e << ": whole " << whole;
  }
  return testing::AssertionSuccess();
}

// Kernel-shaped moduli (consecutive, growing by up to 16) below the tiers' and loops' limits, up to
// 2^64 - 1, or across them; now and then even, a power of two, or 1; exponents up to 2^62.
group_case far_case(std::mt19937_64& rng, int i) {
  const uint64_t limits[] = {uint64_t{1} << 16, uint64_t{1} << 47, uint64_t{1} << 48, uint64_t{1} << 50,
                             uint64_t{1} << 52, uint64_t{1} << 56, uint64_t{1} << 60, uint64_t{1} << 63, 0};
  const uint64_t limit = limits[i % 9], multiplier = 1 + rng() % 16;
  const uint64_t base = limit - (i % 4 == 1 && limit ? 4 * multiplier : 8 * 16 + rng() % 256);
  group_case c{{}, 0, 0, 1 + rng() % 12, 2 + rng() % 8};
  for (int l = 0; l < 8; ++l) c.moduli[l] = base + l * multiplier;
  if (i % 3 == 0) {
    uint64_t& m = c.moduli[rng() % 8];
    m = std::max<uint64_t>(m & ~uint64_t{0} << rng() % 20, 1);
  }
  if (i % 5 == 0) c.moduli[rng() % 8] = (limit ? limit : uint64_t{1} << 63) >> rng() % 3;
  if (i % 11 == 0) c.moduli[0] = 1;
  c.exponent = 7 * c.step + 1 + below_bits(rng, rng() % 63);
  return c;
}

// The references of the exact arithmetics below 2^52 (Montgomery, double precision) on moduli
// up to 2^52, odd, even (times up to 2^12) and powers of two, with exponents up to 2^62, and on
// both sides of 2^47, 2^48, 2^50 and 2^52: exactly the floor digits of 2^e mod m modulo 1
// (the Montgomery one adds 1.0 for a power of two m <= 2^e), each below 2^33.
TEST(ExactReferencesBelow2To52, ExactPowersAndFloorDigits) {
  for (const auto& [reference, most_whole] : {std::pair<group_fn, int>{tly_bbp_vpowmod8_montgomery, 1}, {tly_bbp_vpowmod8_double, 0}}) {
    std::mt19937_64 rng(20261206);
    for (int i = 0; i < 20000; ++i) {
      group_case c = random_case(rng);
      for (uint64_t& m : c.moduli) {
        const unsigned bits = 1 + rng() % 52;
        m = below_bits(rng, bits) | uint64_t{1} << (bits - 1);
        m = rng() % 3 ? m | 1 : std::max<uint64_t>(m >> 12, 1) << rng() % 13;
      }
      c.exponent = 7 * c.step + 1 + below_bits(rng, rng() % 63);
      c.known_zeros = rng() % (std::countl_zero(c.exponent) + 1);
      ASSERT_TRUE(floor_digits(cells_of(nullptr, reference, c), c, most_whole, uint64_t{1} << 33)) << "case " << i;
    }
    for (int i = 0; i < 6000; ++i) {
      const group_case c = far_case(rng, i);
      if (*std::max_element(c.moduli, c.moduli + 8) >= uint64_t{1} << 52) continue;
      ASSERT_TRUE(floor_digits(cells_of(nullptr, reference, c), c, most_whole, uint64_t{1} << 33)) << "far " << i;
    }
  }
}

// The references of the tiers of every modulus (64-bit, two limbs): exactly the floor digits of
// (2^e mod m)/m, each below 2^32, for moduli on both sides of the other tiers' limits, against
// plain 128-bit powers.
TEST(GeneralReference, FloorDigitsAtEveryLimit) {
  for (group_fn every_modulus : {tly_bbp_vpowmod8_general, tly_bbp_vpowmod8_limbs}) {
    std::mt19937_64 rng(264);
    for (int i = 0; i < 6000; ++i) {
      const group_case c = far_case(rng, i);
      ASSERT_TRUE(floor_digits(cells_of(nullptr, every_modulus, c), c, 0, uint64_t{1} << 32)) << "case " << i;
    }
  }
}

// The instruction-set classes and their tiers are x86-64's.
#if defined(__x86_64__)
const tly_bbp_variant* named(const char* name) {
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (std::string(tly_bbp_variants[i].name) == name) return &tly_bbp_variants[i];
  return nullptr;
}

// The tiers each pass falls to: the variant in use while it reaches, then the fastest usable
// one that does; under each instruction-set class the processor has, what such a processor runs.
TEST(VariantFor, TheLargestModulusDecidesWithinTheClass) {
  const tly_bbp_variant* general = named("x64 64-bit Montgomery");
  tly_bbp_variant_policy p = tly_bbp_engine_choice;
  const struct {
    const char* isa;
    const char *near, *above_47, *above_52;
  } classes[] = {{"sse4.1", "x64 SSE4.1", "x64 64-bit Montgomery", "x64 64-bit Montgomery"},
                 {"avx2", "x64 AVX2", "x64 AVX2 exact", "x64 64-bit Montgomery"},
                 {"avx512", "x64 AVX-512", "x64 AVX-512 exact", "x64 64-bit Montgomery"},
                 {"avx512ifma", "x64 AVX-512 IFMA", "x64 AVX-512 IFMA", "x64 AVX-512 IFMA two limbs"}};
  int highest = 0;
  for (int c = 0; c < tly_bbp_isa_class_count; ++c) {
    ASSERT_STREQ(tly_bbp_isa_classes[c], classes[c].isa);
    if (!tly_bbp_limit_isa(&p, c)) continue;
    highest = c;
    EXPECT_STREQ(tly_bbp_active_variant(p)->name, classes[c].near);
    EXPECT_EQ(tly_bbp_variant_for(p, (uint64_t{1} << 47) - 1), tly_bbp_active_variant(p));
    EXPECT_STREQ(tly_bbp_variant_for(p, uint64_t{1} << 47)->name, classes[c].above_47);
    EXPECT_STREQ(tly_bbp_variant_for(p, (uint64_t{1} << 52) - 1)->name, classes[c].above_47);
    EXPECT_STREQ(tly_bbp_variant_for(p, uint64_t{1} << 52)->name, classes[c].above_52);
    EXPECT_STREQ(tly_bbp_variant_for(p, ~uint64_t{0})->name, classes[c].above_52);
    for (int i = 0; i < tly_bbp_variant_count; ++i)
      EXPECT_EQ(tly_bbp_variant_usable(&tly_bbp_variants[i], p),
                tly_bbp_variants[i].supported() && tly_bbp_variant_isa(&tly_bbp_variants[i]) <= c);
    // A variant of a higher class cannot be forced under the limit.
    if (c < 3) {
      EXPECT_FALSE(tly_bbp_use_variant(&p, classes[3].near));
    }
    ASSERT_TRUE(tly_bbp_use_variant(&p, general->name));
    EXPECT_EQ(tly_bbp_variant_for(p, 1), general);
  }
  EXPECT_TRUE(tly_bbp_limit_isa(&p, highest));
  EXPECT_FALSE(tly_bbp_limit_isa(&p, tly_bbp_isa_class_count));
  // Each policy is a value of its own: the engine's own choice is untouched by all of this.
  EXPECT_STREQ(tly_bbp_active_variant(tly_bbp_engine_choice)->name, tly_bbp_active_variant(p)->name);
}
#endif

// The table's explicit fields agree with what they stand for: the kind with the range and the
// arithmetic, the class with the processor check.
TEST(VariantTable, KindAndClassAgreeWithRangeAndCheck) {
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    EXPECT_EQ(v.kind == tly_bbp_kind_every_modulus, v.moduli_below == 0) << v.name;
    EXPECT_EQ(v.kind == tly_bbp_kind_tier, v.reference == tly_bbp_vpowmod8_double) << v.name;
    ASSERT_TRUE(v.isa >= 0 && v.isa < tly_bbp_isa_class_count) << v.name;
    // A processor that runs the variant has its class. On x86-64 the class's check is the
    // variant's own; ARM64's one class holds NEON, which keeps a check of its own.
    EXPECT_TRUE(!v.supported() || tly_bbp_isa_checks[v.isa]()) << v.name;
#if defined(__x86_64__)
    EXPECT_EQ(v.supported, tly_bbp_isa_checks[v.isa]) << v.name;
#endif
  }
}

// --- Every variant, and the dispatcher, against the reference --------------------------------

// Each variant (and the dispatcher, -1) against the scalar routine of its own arithmetic.
class Variant : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    variant_ = GetParam() < 0 ? tly_bbp_active_variant(tly_bbp_engine_choice) : &tly_bbp_variants[GetParam()];
    if (!variant_->supported()) GTEST_SKIP() << "not on this processor";
  }
  std::vector<uint64_t> cells(const group_case& c, const std::vector<uint64_t>& start = {}) {
    const group_fn dispatch = [](uint64_t* scratch, uint64_t n, const uint64_t* moduli, uint32_t zeros, uint64_t e,
                                 uint64_t step) { tly_bbp_vpowmod8(scratch, n, moduli, zeros, e, step, &tly_bbp_engine_choice); };
    return GetParam() < 0 ? cells_of(nullptr, dispatch, c, start) : cells_of(variant_, nullptr, c, start);
  }
  bool estimates() const { return variant_->reference == tly_bbp_vpowmod8_scalar; }
  const tly_bbp_variant* variant_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(All, Variant, testing::Range(-1, tly_bbp_variant_count),
                         [](const testing::TestParamInfo<int>& info) {
                           std::string name = info.param < 0 ? "dispatch" : tly_bbp_variants[info.param].name;
                           std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                           return name;
                         });

// The worked example, exactly; at the window threshold (exponent 29, step 4) every pair's
// exponent fits in the window and every lane keeps the unreduced 2^e, while one below it every
// lane squares though most moduli are above it; known zeros change nothing.
TEST_P(Variant, WorkedExampleWindowAndKnownZeros) {
  if (!estimates()) GTEST_SKIP() << "these cells are the estimate arithmetic's";
  const group_case worked{{1, 9, 17, 25, 33, 41, 49, 57}, 0, 29, 4, 4};
  const std::vector<uint64_t> rows = cells(worked);
  const uint64_t lanes_0_and_1[4][2] = {
      {0xFFFFFFFF, 0x138E38E38}, {0xFFFFFFFF, 0x8E38E38D}, {0xFFFFFFFF, 0xE38E38E3}, {0x1FFFFFFFF, 0x238E38E38}};
  for (int r = 0; r < 4; ++r) EXPECT_TRUE(rows[8 * r] == lanes_0_and_1[r][0] && rows[8 * r + 1] == lanes_0_and_1[r][1]);
  EXPECT_TRUE(exact_lanes(rows, worked));
  group_case below{{65535, 65544, 65552, 65560, 65568, 65576, 65584, 65592}, 0, 29, 4, 4}, at = below;
  at.moduli[0] = 65536;
  EXPECT_TRUE(exact_lanes(cells(below), below));
  EXPECT_TRUE(exact_lanes(cells(at), at));
  EXPECT_EQ(cells(at)[8 * 3], 0x1FFFFFFFFFFull);  // 2^25 / 2^16 less one unit
  EXPECT_NE(cells(below)[8 * 3 + 1], cells(at)[8 * 3 + 1]);
  for (group_case c : {at, group_case{{1000003, 1000011, 1000019, 1000027, 1000035, 1000043, 1000051, 1000059}, 0,
                                      (1ull << 46) + 12345, 10, 7}}) {
    const std::vector<uint64_t> expected = cells(c);
    for (c.known_zeros = 1; c.known_zeros <= uint32_t(std::countl_zero(c.exponent)); ++c.known_zeros)
      ASSERT_EQ(cells(c), expected) << "known_zeros " << c.known_zeros;
  }
}

TEST_P(Variant, RandomGroupsAddTheReferenceCells) {
  std::mt19937_64 rng(777);
  for (int i = 0; i < 20000; ++i) {
    const group_case c = random_case(rng);
    std::vector<uint64_t> start(8 * c.cells), expected = cells_of(nullptr, variant_->reference, c);
    if (i % 10 == 0)
      for (size_t j = 0; j < start.size(); ++j) expected[j] += start[j] = rng() >> 20;
    ASSERT_EQ(cells(c, start), expected) << "case " << i << ", m0 " << c.moduli[0] << ", E " << c.exponent;
  }
}

// Groups at the far moduli that the variant reaches.
TEST_P(Variant, FarGroupsAddTheReferenceCells) {
  if (GetParam() < 0 || estimates()) GTEST_SKIP() << "the estimates end below 2^47";
  std::mt19937_64 rng(60);
  for (int i = 0; i < 6000; ++i) {
    const group_case c = far_case(rng, i);
    if (!tly_bbp_variant_covers(variant_, *std::max_element(c.moduli, c.moduli + 8))) continue;
    ASSERT_EQ(cells(c), cells_of(nullptr, variant_->reference, c)) << "case " << i << ", m0 " << c.moduli[0];
  }
}

// Passes of one to sixteen groups of kernel-shaped moduli leave what single groups of the
// reference leave, while the leading-zero count and the window change within a pass.
TEST_P(Variant, PassesOfSeveralGroups) {
  if (GetParam() < 0) GTEST_SKIP() << "the dispatcher takes one group";
  std::mt19937_64 rng(5);
  for (int i = 0; i < 400; ++i) {
    // Moduli up to the variant's limit: 2^47 for the estimates, 2^52 and 2^64 for the exact ones.
    const unsigned first_bits = variant_->moduli_below ? std::bit_width(variant_->moduli_below) - 5 : 59;
    const uint64_t first = i == 0 ? 8160 : below_bits(rng, rng() % first_bits), step = 1 + rng() % 12, cells = 2 + rng() % 20;
    const uint64_t multiplier = i == 0 ? 8 : 1 + rng() % 16, offset = i == 0 ? 1 : 1 + rng() % 16;
    const uint64_t exponent = 128 * step + 16 + below_bits(rng, i % 2 ? 12 + rng() % 10 : rng() % (first_bits + 4));
    alignas(64) uint64_t moduli[128];
    for (uint64_t j = 0; j < 128; ++j) moduli[j] = multiplier * (first + j) + offset;
    const uint32_t zeros = rng() % (std::countl_zero(exponent) + 1);
    for (uint32_t groups = 1; groups <= 16; groups += 1 + groups / 8) {
      std::vector<uint64_t> rows(8 * cells, 1), expected = rows;
      variant_->groups(rows.data(), cells, moduli, zeros, exponent, step, groups);
      for (uint32_t g = 0; g < groups; ++g)
        variant_->reference(expected.data(), cells, moduli + 8 * g, zeros, exponent - 8 * g * step, step);
      ASSERT_EQ(rows, expected) << groups << " groups from " << first << ", E " << exponent;
    }
  }
}

}  // namespace
