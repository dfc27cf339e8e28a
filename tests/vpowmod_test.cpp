// Tests of the vector modular exponentiation: exact powers, every variant, passes, contraction.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/vpowmod.h"
#include "exact/engine_memory.h"
#include "exact/exact_powers.h"
#include "exact/exact_series.h"

namespace {

// The inputs of one group call.
struct group_case {
  uint64_t moduli[8];
  uint32_t known_zeros;
  uint64_t exponent;
  uint64_t step;
  uint64_t cells;
};

// One implementation of the group routine: the scalar reference, the dispatcher, or a variant.
struct routine {
  std::string name;
  bool supported;
  void (*single)(uint64_t*, uint64_t, const uint64_t*, uint32_t, uint64_t, uint64_t);
  tly_bbp_vpowgroups_fn groups;
};

// Only routines of the estimate arithmetic run here; the exact variant has its own tests.
std::vector<routine> all_routines() {
  const bool dispatch_estimates = tly_bbp_active_variant()->reference == tly_bbp_vpowmod8_scalar;
  std::vector<routine> list = {{"scalar", true, tly_bbp_vpowmod8_scalar, nullptr},
                               {"dispatch", dispatch_estimates, tly_bbp_vpowmod8, nullptr}};
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    list.push_back({v.name, v.supported() && v.reference == tly_bbp_vpowmod8_scalar, nullptr, v.groups});
  }
  return list;
}

// Adds one group into `rows` (cells rows of eight); the moduli are copied to 16-byte aligned memory.
void run_group(const routine& r, uint64_t* rows, const group_case& c) {
  tly_bbp_fenced_words moduli(8);
  std::copy(c.moduli, c.moduli + 8, moduli.data);
  if (r.single)
    r.single(rows, c.cells, moduli.data, c.known_zeros, c.exponent, c.step);
  else
    r.groups(rows, c.cells, moduli.data, c.known_zeros, c.exponent, c.step, 1);
}

std::vector<uint64_t> group_cells(const routine& r, const group_case& c) {
  tly_bbp_fenced_words rows(8 * c.cells);
  run_group(r, rows.data, c);
  EXPECT_TRUE(rows.fences_intact()) << r.name << " wrote outside its rows";
  return std::vector<uint64_t>(rows.data, rows.data + rows.size);
}

uint64_t lane_exponent(const group_case& c, int lane) { return c.exponent - (lane | 1) * c.step; }

bool window_used(const group_case& c) { return c.moduli[0] >= 0x10000; }

// With the window on an exponent of exactly five bits, no squaring step runs.
bool squared(const group_case& c) { return !(window_used(c) && c.exponent < 32); }

// Reads every lane of fresh rows back as the power it held, checking it against exact
// arithmetic: x = 2^e (mod m); below 4m after a squaring step, else the unreduced 2^e; the
// digits fall short of x/m by less than two units of the last digit; the digits' sizes.
::testing::AssertionResult exact_lanes(const uint64_t* rows, const group_case& c, uint64_t* powers = nullptr) {
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = c.moduli[lane];
    const uint64_t e = lane_exponent(c, lane);
    const tly_bbp_exact_lane got = tly_bbp_exact_lane_power(rows + lane, 8, c.cells, m, tly_bbp_exact_pow2_mod(e, m));
    auto fail = [&]() {
      return ::testing::AssertionFailure()
             << "lane " << lane << ", m " << m << ", e " << e << ", E " << c.exponent << ", D " << c.step << ", cells "
             << c.cells << ", known_zeros " << c.known_zeros << ": ";
    };
    if (!got.found || got.short_by > 1)
      return fail() << "digits are not those of 2^e mod m (short by " << got.short_by << ")";
    if (squared(c) && got.x >= 4 * m) return fail() << "power " << got.x << " not below 4m";
    if (!squared(c) && got.x != uint64_t{1} << e) return fail() << "power " << got.x << " is not the unreduced 2^e";
    const uint64_t top_limit = squared(c) ? uint64_t{1} << 34 : uint64_t{1} << 48;
    for (uint64_t r = 0; r < c.cells; ++r) {
      const uint64_t limit = r == c.cells - 1 ? top_limit : uint64_t{1} << 33;
      if (rows[8 * r + lane] >= limit) return fail() << "row " << r << " digit " << rows[8 * r + lane] << " too large";
    }
    if (powers) powers[lane] = got.x;
  }
  return ::testing::AssertionSuccess();
}

// A random number below 2^n, n <= 64.
uint64_t below_bits(std::mt19937_64& rng, unsigned n) { return n == 0 ? 0 : rng() >> (64 - n); }

// Random inputs within the routine's preconditions: moduli of 1 to 47 bits with the smallest
// in lane 0 (now and then consecutive ones as the kernel makes them, or a lane 0 at the window
// threshold), exponents up to 2^47 with E - 7D >= 1 and E >= 16 under the window, pairs whose
// exponents are much shorter than E, 2 to 131 cells, any valid known_zeros.
group_case random_case(std::mt19937_64& rng) {
  group_case c{};
  const unsigned shape = rng() % 8;
  if (shape == 0) {
    const uint64_t base = 1 + below_bits(rng, 1 + rng() % 46);
    const uint64_t multiplier = 1 + rng() % 16;
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
  uint64_t lowest = 7 * c.step + 1;
  if (c.moduli[0] >= 0x10000) lowest = std::max<uint64_t>(lowest, 16);
  c.exponent = std::min(lowest + below_bits(rng, rng() % 48), (uint64_t{1} << 47) + lowest);
  if (rng() % 8 == 0 && c.exponent > 64) {
    // The last pairs' exponents a few bits long under a long E.
    const uint64_t last_pair = 1 + below_bits(rng, 1 + rng() % 10) % (c.exponent / 2);
    c.step = (c.exponent - last_pair) / 7;
  }
  c.cells = 2 + rng() % 130;
  c.known_zeros = rng() % (std::countl_zero(c.exponent) + 1);
  return c;
}

group_case worked_example() { return {{1, 9, 17, 25, 33, 41, 49, 57}, 0, 29, 4, 4}; }

// The scalar reference is the yardstick of every other routine: it is checked against
// exact arithmetic on its own.
TEST(VpowmodScalar, RandomCasesMatchExactPowers) {
  const routine scalar = all_routines()[0];
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 20000; ++i) {
    const group_case c = random_case(rng);
    const std::vector<uint64_t> rows = group_cells(scalar, c);
    ASSERT_TRUE(exact_lanes(rows.data(), c)) << "case " << i;
  }
}

TEST(VpowmodScalar, SmallModuliMatchExactPowers) {
  // Every modulus 1 .. 64 in every lane (powers of two among them: x stays a multiple of m),
  // for short and long exponents.
  const routine scalar = all_routines()[0];
  for (uint64_t first = 1; first <= 57; ++first) {
    for (uint64_t exponent : {29ull, 64ull, 1000ull, 123456789ull, (1ull << 47) - 3}) {
      group_case c{{}, 0, exponent, 4, 3};
      for (int l = 0; l < 8; ++l) c.moduli[l] = first + l;
      const std::vector<uint64_t> rows = group_cells(scalar, c);
      ASSERT_TRUE(exact_lanes(rows.data(), c));
    }
  }
}

class VpowmodRoutine : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    r_ = all_routines()[GetParam()];
    if (!r_.supported) GTEST_SKIP() << r_.name << " is not supported by this processor or not of this arithmetic";
  }
  routine r_;
};

std::string routine_name(const ::testing::TestParamInfo<int>& info) {
  std::string name = all_routines()[info.param].name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(All, VpowmodRoutine, ::testing::Range(0, 2 + tly_bbp_variant_count), routine_name);

TEST_P(VpowmodRoutine, WorkedExample) {
  const group_case c = worked_example();
  const std::vector<uint64_t> rows = group_cells(r_, c);
  // Lane 0 (modulus 1) adds 2 less one unit; lane 1 adds 20/9 truncated, digits unnormalised.
  EXPECT_EQ(rows[8 * 3 + 0], 0x1FFFFFFFFull);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(rows[8 * r + 0], 0xFFFFFFFFull) << "row " << r;
  EXPECT_EQ(rows[8 * 3 + 1], 0x238E38E38ull);
  EXPECT_EQ(rows[8 * 2 + 1], 0xE38E38E3ull);
  EXPECT_EQ(rows[8 * 1 + 1], 0x8E38E38Dull);
  EXPECT_EQ(rows[8 * 0 + 1], 0x138E38E38ull);
  uint64_t powers[8];
  ASSERT_TRUE(exact_lanes(rows.data(), c, powers));
  const uint64_t expected[8] = {2, 20, 36, 72, 50, 102, 2, 2};
  for (int l = 0; l < 8; ++l) EXPECT_EQ(powers[l], expected[l]) << "lane " << l;
}

TEST_P(VpowmodRoutine, WindowDecidedByLaneZeroAtThreshold) {
  // Exponent 29, step 4: with the window every pair's exponent fits in it, so every lane
  // keeps the unreduced 2^e; one below the threshold in lane 0, every lane squares and
  // reduces, even those whose moduli are above it.
  group_case below{{65535, 65544, 65552, 65560, 65568, 65576, 65584, 65592}, 0, 29, 4, 4};
  group_case at = below;
  at.moduli[0] = 65536;
  uint64_t x_below[8], x_at[8];
  const std::vector<uint64_t> rows_below = group_cells(r_, below);
  const std::vector<uint64_t> rows_at = group_cells(r_, at);
  ASSERT_TRUE(exact_lanes(rows_below.data(), below, x_below));
  ASSERT_TRUE(exact_lanes(rows_at.data(), at, x_at));
  for (int l = 0; l < 8; ++l) {
    EXPECT_EQ(x_at[l], uint64_t{1} << lane_exponent(at, l)) << "lane " << l;
    EXPECT_LT(x_below[l], 4 * below.moduli[l]) << "lane " << l;
  }
  EXPECT_NE(x_below[1], x_at[1]);
  // Lane 0: 2^25 / 2^16 = 2^9 less one unit of the last digit; the first digit takes 2^41 - 1.
  EXPECT_EQ(rows_at[8 * 3 + 0], 0x1FFFFFFFFFFull);
}

TEST_P(VpowmodRoutine, KnownZerosDoNotChangeTheCells) {
  const group_case cases[] = {
      worked_example(),
      {{65536, 70001, 80001, 90001, 100001, 110001, 120001, 130001}, 0, 29, 4, 5},
      {{1000003, 1000011, 1000019, 1000027, 1000035, 1000043, 1000051, 1000059}, 0, (1ull << 46) + 12345, 10, 7},
      // The last pair's exponent is 5 under an E of 40 bits.
      {{(1ull << 46) + 1, (1ull << 46) + 5, (1ull << 46) + 9, (1ull << 46) + 13, (1ull << 46) + 17, (1ull << 46) + 21,
        (1ull << 46) + 25, (1ull << 46) + 29},
       0,
       7 * ((1ull << 37) + 3) + 5,
       (1ull << 37) + 3,
       4},
  };
  for (const group_case& base : cases) {
    const std::vector<uint64_t> reference = group_cells(r_, base);
    ASSERT_TRUE(exact_lanes(reference.data(), base));
    for (uint32_t z = 1; z <= static_cast<uint32_t>(std::countl_zero(base.exponent)); ++z) {
      group_case c = base;
      c.known_zeros = z;
      ASSERT_EQ(group_cells(r_, c), reference) << "E " << c.exponent << ", known_zeros " << z;
    }
  }
}

TEST_P(VpowmodRoutine, RandomCasesMatchScalarReference) {
  const routine scalar = all_routines()[0];
  std::mt19937_64 rng(777);
  for (int i = 0; i < 20000; ++i) {
    const group_case c = random_case(rng);
    ASSERT_EQ(group_cells(r_, c), group_cells(scalar, c))
        << "case " << i << ": m0 " << c.moduli[0] << ", E " << c.exponent << ", D " << c.step << ", cells " << c.cells
        << ", known_zeros " << c.known_zeros;
  }
}

TEST_P(VpowmodRoutine, AddsToWhatTheRowsHold) {
  std::mt19937_64 rng(31);
  for (int i = 0; i < 200; ++i) {
    const group_case c = random_case(rng);
    tly_bbp_fenced_words rows(8 * c.cells);
    for (size_t j = 0; j < rows.size; ++j) rows.data[j] = rng() >> 20;
    const std::vector<uint64_t> before(rows.data, rows.data + rows.size);
    run_group(r_, rows.data, c);
    const std::vector<uint64_t> fresh = group_cells(r_, c);
    for (size_t j = 0; j < rows.size; ++j) ASSERT_EQ(rows.data[j], before[j] + fresh[j]) << "cell " << j;
  }
}

// --- Several groups in one pass ---------------------------------------------------------

class VpowmodGroups : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    v_ = &tly_bbp_variants[GetParam()];
    if (!v_->supported()) GTEST_SKIP() << v_->name << " is not supported by this processor";
  }
  const tly_bbp_variant* v_ = nullptr;
};

std::string variant_name(const ::testing::TestParamInfo<int>& info) {
  return routine_name(::testing::TestParamInfo<int>(info.param + 2, info.index));
}

INSTANTIATE_TEST_SUITE_P(All, VpowmodGroups, ::testing::Range(0, tly_bbp_variant_count), variant_name);

// Eight groups of kernel-shaped moduli: multiplier * (k + lane) + offset for k = first + 8g.
struct pass_case {
  uint64_t first;
  uint32_t multiplier, offset;
  uint64_t exponent, step, cells;
};

void check_pass(const tly_bbp_variant& v, const pass_case& p, uint32_t known_zeros, std::mt19937_64& rng) {
  tly_bbp_fenced_words moduli(64);
  for (uint64_t i = 0; i < 64; ++i) moduli.data[i] = uint64_t{p.multiplier} * (p.first + i) + p.offset;
  for (uint32_t groups = 1; groups <= 8; ++groups) {
    tly_bbp_fenced_words rows(8 * p.cells), expected(8 * p.cells);
    for (size_t j = 0; j < rows.size; ++j) rows.data[j] = expected.data[j] = rng() >> 24;
    v.groups(rows.data, p.cells, moduli.data, known_zeros, p.exponent, p.step, groups);
    for (uint32_t g = 0; g < groups; ++g)
      v.reference(expected.data, p.cells, moduli.data + 8 * g, known_zeros, p.exponent - 8 * g * p.step, p.step);
    ASSERT_TRUE(rows.fences_intact());
    for (size_t j = 0; j < rows.size; ++j)
      ASSERT_EQ(rows.data[j], expected.data[j]) << groups << " groups, first " << p.first << ", E " << p.exponent
                                                << ", known_zeros " << known_zeros << ", cell " << j;
  }
}

TEST_P(VpowmodGroups, PassesEqualSingleGroupsOfTheReference) {
  std::mt19937_64 rng(5);
  const pass_case cases[] = {
      // Lane-0 moduli 65281 .. 65793: the window switches on from the fifth group.
      {8160, 8, 1, 5000, 4, 6},
      // Exponents fall through 2^20 and 2^12 within the pass: leading-zero counts change.
      {1000, 8, 5, (1ull << 20) + 100, 4, 4},
      {1000, 4, 3, (1ull << 12) + 300, 10, 5},
      // Exponents from 2^47 down, moduli near 2^47 (the largest the program uses).
      {(1ull << 44) - 64, 8, 1, (1ull << 47) - 40, 4, 3},
      {(1ull << 47) / 10 - 70, 10, 9, (1ull << 47) - 5, 10, 131},
      // Small moduli without the window; the last pair's exponent down to 1 in the last group.
      {0, 8, 1, 8 * 7 * 4 + 7 * 4 + 1, 4, 2},
  };
  for (const pass_case& p : cases) {
    check_pass(*v_, p, 0, rng);
    check_pass(*v_, p, static_cast<uint32_t>(std::countl_zero(p.exponent)), rng);
  }
  for (int i = 0; i < 300; ++i) {
    pass_case p;
    p.multiplier = 1 + rng() % 16;
    p.offset = 1 + rng() % 16;
    p.first = below_bits(rng, rng() % 43);
    p.step = 1 + rng() % 12;
    // The eighth group keeps E >= 16 when a later group switches the window on.
    p.exponent = 64 * p.step + 16 + below_bits(rng, rng() % 47);
    p.cells = 2 + rng() % 20;
    check_pass(*v_, p, rng() % (std::countl_zero(p.exponent) + 1), rng);
  }
}

// --- Contraction guard ------------------------------------------------------------------
//
// The quotient estimates (f*f)*inv - 1.0 and (f*2^32)*inv - 1.0 must be computed with two
// roundings. A build that contracts them into fused multiply-adds (a -mfma target without
// -ffp-contract=off, or an FMA intrinsic) gives other cells for rare inputs. The model below
// is the lane arithmetic with either form; this file is itself built with -ffp-contract=off,
// and std::fma states the fused form explicitly.

double bias_double(uint64_t u) { return std::bit_cast<double>(0x4330000000000000ull | u) - 4503599627370496.0; }

uint64_t nearest(double v) {
  const double clamped = v > 0.0 ? v : 0.0;
  return std::bit_cast<uint64_t>(clamped + 4503599627370496.0) & 0xFFFFFFFFFFFFFull;
}

uint64_t square_quotient(uint64_t x, double inv, bool fused) {
  const double f = bias_double(x);
  const double square = f * f;
  if (fused) return nearest(std::fma(square, inv, -1.0));
  const double product = square * inv;
  return nearest(product - 1.0);
}

uint64_t digit_quotient(uint64_t x, double inv, bool fused) {
  const double scaled = bias_double(x) * 4294967296.0;
  if (fused) return nearest(std::fma(scaled, inv, -1.0));
  const double product = scaled * inv;
  return nearest(product - 1.0);
}

std::vector<uint64_t> model_cells(const group_case& c, bool fused_square, bool fused_digit) {
  std::vector<uint64_t> rows(8 * c.cells, 0);
  uint64_t top = c.exponent << c.known_zeros;
  uint32_t s = c.known_zeros;
  for (; static_cast<int64_t>(top) > 0; top += top) ++s;
  const bool window = window_used(c);
  for (int lane = 0; lane < 8; ++lane) {
    const uint64_t m = c.moduli[lane];
    const double inv = 1.0 / bias_double(m);
    uint64_t bits = lane_exponent(c, lane) << s;
    uint64_t x = 1;
    uint32_t left = 64 - s;
    if (window) {
      x = uint64_t{1} << (bits >> 59);
      bits <<= 5;
      left -= 5;
    }
    for (; left > 0; --left, bits <<= 1) {
      const uint64_t r = x * x - square_quotient(x, inv, fused_square) * m;
      x = r << (bits >> 63);
    }
    for (uint64_t row = c.cells; row-- > 0;) {
      const uint64_t q = digit_quotient(x, inv, fused_digit);
      rows[8 * row + lane] += q;
      x = (x << 32) - q * m;
    }
  }
  return rows;
}

// A group of eight equal moduli m whose lanes 0 and 1 hold the lazy power x either before
// their last squaring step (`before_last_square`) or at the end: the exponent comes from the
// base-2 logarithm of x modulo the prime m, with the last bit that leaves x doubled when it
// lies above 1.5m.
bool group_holding(uint64_t x, uint64_t m, bool before_last_square, group_case* c) {
  const uint64_t doubled = x >= m + m / 2;
  if (doubled && (x & 1)) return false;
  uint64_t e, order;
  if (!tly_bbp_exact_log2_mod(x % m, m, &e, &order)) return false;
  e += order;  // at least one reduction before x
  if ((e & 1) != doubled) e += order;
  if ((e & 1) != doubled) return false;
  const uint64_t lane = before_last_square ? 2 * e : e;
  *c = group_case{{m, m, m, m, m, m, m, m}, 0, lane + 4, 4, 4};
  return true;
}

// Deterministic search, from the top of the moduli range down, for a group whose cells differ
// when the chosen estimate is fused. Either estimate can only differ where its product sits
// just under 2^k + 1/2 (k = 45 .. 50 for squares, 31 .. 33 for digits): for each modulus the
// one candidate x per k is tried, and then only prime moduli, where logarithms can be taken.
group_case find_contraction_case(bool square) {
  for (uint64_t m = (uint64_t{1} << 47) - 1; m > uint64_t{1} << 46; m -= 2) {
    const double inv = 1.0 / bias_double(m);
    for (int k = square ? 45 : 31; k <= (square ? 50 : 33); ++k) {
      const double power = std::ldexp(1.0, k) + 0.5;
      const double target = square ? std::sqrt(bias_double(m) * power) : std::ldexp(power, -32) * bias_double(m);
      for (uint64_t x = static_cast<uint64_t>(target) - 1; x <= static_cast<uint64_t>(target) + 1; ++x) {
        if (x < m / 2 || x >= 3 * m) continue;
        const bool differs = square ? square_quotient(x, inv, false) != square_quotient(x, inv, true)
                                    : digit_quotient(x, inv, false) != digit_quotient(x, inv, true);
        group_case c;
        if (!differs || !tly_bbp_exact_is_prime(m) || !group_holding(x, m, square, &c)) continue;
        if (model_cells(c, square, !square) != model_cells(c, false, false)) return c;
      }
    }
  }
  ADD_FAILURE() << "no input found";
  return worked_example();
}

const group_case& square_contraction_case() {
  static const group_case c = find_contraction_case(true);
  return c;
}

const group_case& digit_contraction_case() {
  static const group_case c = find_contraction_case(false);
  return c;
}

TEST(VpowmodContraction, ModelAgreesWithExactPowers) {
  // The model's unfused cells are exact results, and the cases found lie within the routine's range.
  for (const group_case* c : {&square_contraction_case(), &digit_contraction_case()}) {
    EXPECT_LT(c->moduli[0], uint64_t{1} << 47);
    const std::vector<uint64_t> rows = model_cells(*c, false, false);
    EXPECT_TRUE(exact_lanes(rows.data(), *c));
  }
  std::mt19937_64 rng(99);
  for (int i = 0; i < 300; ++i) {
    const group_case c = random_case(rng);
    ASSERT_EQ(model_cells(c, false, false), group_cells(all_routines()[0], c));
  }
}

TEST_P(VpowmodRoutine, QuotientEstimatesAreNotContracted) {
  const group_case& square = square_contraction_case();
  const std::vector<uint64_t> square_cells = group_cells(r_, square);
  EXPECT_EQ(square_cells, model_cells(square, false, false)) << "m " << square.moduli[0] << ", E " << square.exponent;
  EXPECT_NE(square_cells, model_cells(square, true, false));
  const group_case& digit = digit_contraction_case();
  const std::vector<uint64_t> digit_cells = group_cells(r_, digit);
  EXPECT_EQ(digit_cells, model_cells(digit, false, false)) << "m " << digit.moduli[0] << ", E " << digit.exponent;
  EXPECT_NE(digit_cells, model_cells(digit, false, true));
}

}  // namespace
