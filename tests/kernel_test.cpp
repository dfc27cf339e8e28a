// Tests of the block kernel against exact sums, with each vector variant in use.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "exact/engine_memory.h"
#include "exact/exact_series.h"
#include "formulas/formulas.h"

namespace {

struct block {
  uint64_t cells;
  int32_t alternating;
  uint64_t shift, first, last;
  uint32_t step, multiplier, offset;
};

auto key(const block& b) {
  return std::make_tuple(b.cells, b.alternating != 0, b.shift, b.first, b.last, b.step, b.multiplier, b.offset);
}

// A block of one of the formulas' series, at a given shift.
block series_block(const tly_bbp_series& s, uint64_t cells, uint64_t shift, uint64_t first, uint64_t last) {
  return {cells, s.alternating, shift, first, last, s.step, s.multiplier, s.offset};
}

// Exact values are cached: every variant is checked against the same ones.
const std::vector<uint32_t>& exact(const block& b) {
  static std::map<decltype(key(b)), std::vector<uint32_t>> cache;
  auto [entry, fresh] = cache.try_emplace(key(b));
  if (fresh)
    entry->second =
        tly_bbp_exact_series(b.cells, b.alternating, b.shift, b.first, b.last, b.step, b.multiplier, b.offset);
  return entry->second;
}

// Runs the kernel with `fill` in every cell of its block result and scratch beforehand;
// checks that it stays inside both and leaves digits below 2^32.
std::vector<uint32_t> run_kernel(const block& b, uint64_t fill) {
  tly_bbp_fenced_words result(b.cells, fill), scratch(8 * b.cells, fill);
  tly_bbp_kernel(reinterpret_cast<int64_t*>(result.data), b.cells, b.alternating, b.shift, b.first, b.last, b.step,
                 b.multiplier, b.offset, scratch.data);
  EXPECT_TRUE(result.fences_intact()) << "wrote outside its block result";
  EXPECT_TRUE(scratch.fences_intact()) << "wrote outside cells * 64 bytes of scratch";
  std::vector<uint32_t> words(b.cells);
  for (uint64_t i = 0; i < b.cells; ++i) {
    EXPECT_LT(result.data[i], uint64_t{1} << 32) << "cell " << i;
    words[i] = static_cast<uint32_t>(result.data[i]);
  }
  return words;
}

// How far the result may fall below (added terms) or above (subtracted terms) the exact
// truncated fraction, in units of cell 0: less than 2 per term, 2^(step+1) for a term that
// was an even lane of a group of eight.
void allowance(const block& b, int64_t* below, int64_t* above) {
  uint64_t grouped_end = b.first;
  while (grouped_end + 7 < b.last && uint64_t{b.step} * (grouped_end + 7) < b.shift) grouped_end += 8;
  *below = *above = 0;
  for (uint64_t k = b.first; k < b.last; ++k) {
    const bool even_lane = k < grouped_end && (k - b.first) % 2 == 0;
    const int64_t a = even_lane ? int64_t{2} << b.step : 2;
    if (b.alternating && (k - b.first) % 2) {
      *above += a;
    } else {
      *below += a;
    }
  }
}

::testing::AssertionResult describe(::testing::AssertionResult r, const block& b) {
  return r << " (cells " << b.cells << ", alternating " << b.alternating << ", shift " << b.shift << ", [" << b.first
           << ", " << b.last << "), step " << b.step << ", multiplier " << b.multiplier << ", offset " << b.offset
           << ")";
}

// The kernel's result equals the exact truncated fraction within the allowance, whatever
// its arrays held before.
::testing::AssertionResult matches_exact(const block& b) {
  const std::vector<uint32_t> got = run_kernel(b, 0);
  if (run_kernel(b, 0xDEADBEEFCAFEF00Dull) != got || run_kernel(b, ~uint64_t{0}) != got)
    return describe(::testing::AssertionFailure() << "result depends on what block_result and scratch held", b);
  int64_t below, above;
  allowance(b, &below, &above);
  const int64_t diff = tly_bbp_exact_difference(got.data(), exact(b).data(), b.cells);
  if (diff < -below || diff > above)
    return describe(::testing::AssertionFailure()
                        << "result - exact = " << diff << " units, allowed [" << -below << ", " << above << "]",
                    b);
  return ::testing::AssertionSuccess();
}

class Kernel : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    previous_ = tly_bbp_active_variant()->name;
    const char* name = tly_bbp_variants[GetParam()].name;
    if (!tly_bbp_use_variant(name)) GTEST_SKIP() << name << " is not supported by this processor";
  }
  void TearDown() override { tly_bbp_use_variant(previous_.c_str()); }
  std::string previous_;
};

std::string variant_name(const ::testing::TestParamInfo<int>& info) {
  std::string name = tly_bbp_variants[info.param].name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Variants, Kernel, ::testing::Range(0, tly_bbp_variant_count), variant_name);

const tly_bbp_series& plouffe = tly_bbp_Plouffe_series[0];  // 4 / (8k+1), step 4
const tly_bbp_series& bellard = tly_bbp_Bellard_series[0];  // (-1)^k 2^8 / (10k+1), step 10

TEST_P(Kernel, WorkedExample) {
  const block b{4, 0, 2, 0, 48, 4, 8, 1};
  const std::vector<uint32_t> got = run_kernel(b, 0x0123456789ABCDEFull);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(got[i], exact(b)[i]) << "word " << i;
  EXPECT_TRUE(matches_exact(b));
}

TEST_P(Kernel, PositiveExponentsWithEveryTailLength) {
  // Groups of eight and then 0 .. 7 terms one at a time, for every series of both formulas.
  for (int tail = 0; tail < 8; ++tail) {
    for (const tly_bbp_series& s : tly_bbp_Plouffe_series)
      EXPECT_TRUE(matches_exact(series_block(s, 5, 900, 16, 16 + 8 * 25 + tail)));
    for (const tly_bbp_series& s : tly_bbp_Bellard_series)
      EXPECT_TRUE(matches_exact(series_block(s, 5, 2300, 16, 16 + 8 * 25 + tail)));
  }
}

TEST_P(Kernel, BlocksCrossingExponentZero) {
  // Groups, then single positive terms, the term of exponent 0, and terms down to and past
  // 32 * cells bits below the point.
  for (const tly_bbp_series& s : tly_bbp_Plouffe_series) EXPECT_TRUE(matches_exact(series_block(s, 6, 500, 100, 300)));
  for (const tly_bbp_series& s : tly_bbp_Bellard_series) EXPECT_TRUE(matches_exact(series_block(s, 6, 500, 20, 90)));
  // The eighth term of the first group would have exponent 0: no group runs at all.
  EXPECT_TRUE(matches_exact(series_block(plouffe, 4, 44, 4, 40)));
  EXPECT_TRUE(matches_exact(series_block(bellard, 4, 110, 4, 40)));
}

TEST_P(Kernel, BlocksEntirelyBelowThePoint) {
  EXPECT_TRUE(matches_exact(series_block(plouffe, 8, 100, 40, 120)));
  EXPECT_TRUE(matches_exact(series_block(bellard, 8, 100, 11, 50)));
}

TEST_P(Kernel, ShortAndSingleTermBlocks) {
  for (const tly_bbp_series* s : {&plouffe, &bellard}) {
    EXPECT_TRUE(matches_exact(series_block(*s, 4, 300, 10, 15)));
    EXPECT_TRUE(matches_exact(series_block(*s, 4, 300, 0, 7)));
    EXPECT_TRUE(matches_exact(series_block(*s, 4, 60, 4, 11)));
  }
  // One term at each exponent around 0 and around the words' edges: 0, -1, -31, -32, -33,
  // -(32*cells - 1), -32*cells; and at the smallest positive exponents.
  const uint64_t cells = 5;
  for (int64_t e : {3, 2, 1, 0, -1, -31, -32, -33, -63, -64, -65, -159, -160}) {
    const uint64_t k = 1000;
    const uint64_t shift = static_cast<uint64_t>(static_cast<int64_t>(k) + e);  // step 1
    EXPECT_TRUE(matches_exact({cells, 0, shift, k, k + 1, 1, 8, 1})) << "exponent " << e;
    EXPECT_TRUE(matches_exact({cells, 1, shift, k, k + 1, 1, 8, 1})) << "exponent " << e;
  }
}

TEST_P(Kernel, AlternatingSignsCountFromTheBlockStart) {
  // Any non-zero flag alternates; the first term of the block is added, also when it is odd.
  const block even{6, 1, 3000, 100, 317, 10, 4, 3};
  block other_flag = even;
  other_flag.alternating = -7;
  EXPECT_EQ(run_kernel(other_flag, 0), run_kernel(even, 0));
  EXPECT_TRUE(matches_exact(even));
  EXPECT_TRUE(matches_exact({6, 1, 3000, 101, 318, 10, 4, 3}));
  EXPECT_TRUE(matches_exact({6, 1, 3000, 101, 318, 4, 8, 5}));
}

TEST_P(Kernel, EarlyExitLeavesZeroAndScratchUntouched) {
  const uint64_t cells = 4;
  // first * step = 32 * cells + shift + 1: the early exit.
  {
    const block b{cells, 0, 100, 229, 300, 1, 8, 1};
    tly_bbp_fenced_words result(cells, 77), scratch(8 * cells, 0x1234);
    tly_bbp_kernel(reinterpret_cast<int64_t*>(result.data), cells, b.alternating, b.shift, b.first, b.last, b.step,
                   b.multiplier, b.offset, scratch.data);
    for (uint64_t i = 0; i < cells; ++i) EXPECT_EQ(result.data[i], 0u);
    for (size_t i = 0; i < scratch.size; ++i) ASSERT_EQ(scratch.data[i], 0x1234u) << "scratch word " << i;
  }
  // first * step = 32 * cells + shift: no early exit, but every term lies wholly below cell 0.
  for (int32_t alternating : {0, 1}) {
    const block b{cells, alternating, 100, 57, 90, 4, 8, 1};
    EXPECT_EQ(run_kernel(b, 55), std::vector<uint32_t>(cells, 0));
    EXPECT_EQ(run_kernel({cells, alternating, 100, 228, 300, 1, 8, 1}, 55), std::vector<uint32_t>(cells, 0));
  }
}

TEST_P(Kernel, FormulaSeriesAtSmallMediumAndLargeShifts) {
  // Up to the largest shifts the console allows: places up to 2^44 - 1 (Plouffe) and 2^45 - 1
  // (Bellard) give positions 4 * place - 4. A few dozen terms at the start, in the middle, and
  // around exponent 0, where the moduli approach 2^47.
  struct formula {
    const tly_bbp_series* series;
    int count;
    uint64_t last_place;
  };
  const formula formulas[] = {{tly_bbp_Plouffe_series, 4, (uint64_t{1} << 44) - 1},
                              {tly_bbp_Bellard_series, 7, (uint64_t{1} << 45) - 1}};
  for (const formula& f : formulas) {
    for (uint64_t position : {uint64_t{40}, uint64_t{100000}, uint64_t{1} << 30, 4 * f.last_place - 4}) {
      for (int i = 0; i < f.count; ++i) {
        const tly_bbp_series& s = f.series[i];
        const uint64_t shift = position + s.power;
        const uint64_t zero = shift / s.step;
        const uint64_t middle = zero / 2 & ~uint64_t{1};
        EXPECT_TRUE(matches_exact(series_block(s, 4, shift, 0, 37)));
        EXPECT_TRUE(matches_exact(series_block(s, 7, shift, middle, middle + 29)));
        EXPECT_TRUE(matches_exact(series_block(s, 4, shift, zero > 30 ? zero - 30 : 0, zero + 25)));
      }
    }
  }
}

TEST_P(Kernel, LongBlockAcrossTheLaneCarryPass) {
  // 65,537 groups and a few terms more: the lanes are checked and carried inside the group
  // loop once, after the 65,537th group, and again after the loop.
  const uint64_t last = 8 * 65537 + 21;
  EXPECT_TRUE(matches_exact(series_block(plouffe, 4, 4 * last + 40, 0, last)));
  EXPECT_TRUE(matches_exact(series_block(bellard, 4, 10 * last + 90, 0, last)));
}

TEST_P(Kernel, WidestAccumulator) {
  EXPECT_TRUE(matches_exact(series_block(plouffe, 131, 5000, 0, 1400)));
  EXPECT_TRUE(matches_exact(series_block(bellard, 131, 5000, 0, 900)));
}

}  // namespace
