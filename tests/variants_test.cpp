// Whole blocks of both formulas' series leave the same block result with every variant of one arithmetic.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Main/console.h"
#include "engine/engine.h"
#include "engine/kernel.h"
#include "exact/engine_memory.h"
#include "formulas/formulas.h"

namespace {

constexpr uint64_t full_block = 4194304;

struct place_case {
  const char* what;
  uint64_t start, digits;
  bool whole_series;  // small places: the whole range is one block
};

// One block of every series of a formula at a place, with the named variant.
std::vector<std::vector<int64_t>> blocks(const char* variant, const tly_bbp_series* series, int count,
                                         uint64_t term_count, const place_case& p) {
  EXPECT_TRUE(tly_bbp_use_variant(variant));
  const tly_bbp_run_values run = tly_bbp_derive_run_values(p.start, p.digits);
  // A block in the middle of the range, where the exponents are long and the moduli large.
  const uint64_t first = p.whole_series ? 0 : (term_count / 2) / full_block * full_block;
  const uint64_t last = p.whole_series ? term_count : first + full_block;
  std::vector<std::vector<int64_t>> results;
  for (int i = 0; i < count; ++i) {
    const tly_bbp_series& s = series[i];
    tly_bbp_fenced_words block(run.words), scratch(8 * run.words + 8);
    const uint64_t shift = run.position + static_cast<uint64_t>(static_cast<int64_t>(s.power));
    tly_bbp_kernel(reinterpret_cast<int64_t*>(block.data), run.words, s.alternating, shift, first, last, s.step,
                   s.multiplier, s.offset, scratch.data);
    EXPECT_TRUE(block.fences_intact() && scratch.fences_intact()) << variant << " wrote outside its arrays";
    results.emplace_back(block.data, block.data + run.words);
  }
  return results;
}

void expect_identical_across_variants(const tly_bbp_series* series, int count, bool plouffe,
                                      const std::vector<place_case>& places) {
  const std::string previous = tly_bbp_active_variant()->name;
  int compared = 0;
  for (const place_case& p : places) {
    const tly_bbp_run_values run = tly_bbp_derive_run_values(p.start, p.digits);
    const uint64_t term_count = plouffe ? tly_bbp_Plouffe_term_count(run.position, run.words)
                                        : tly_bbp_Bellard_term_count(run.position, run.words);
    const auto baseline = blocks(tly_bbp_variants[0].name, series, count, term_count, p);
    for (int v = 1; v < tly_bbp_variant_count; ++v) {
      // Cell for cell only within one arithmetic; the digits across arithmetics are checked elsewhere.
      if (!tly_bbp_variants[v].supported() || tly_bbp_variants[v].reference != tly_bbp_variants[0].reference) continue;
      ++compared;
      EXPECT_EQ(blocks(tly_bbp_variants[v].name, series, count, term_count, p), baseline)
          << tly_bbp_variants[v].name << " differs from the baseline at the " << p.what << " place " << p.start;
    }
  }
  tly_bbp_use_variant(previous.c_str());
  if (compared == 0) GTEST_SKIP() << "only the baseline variant runs on this processor";
}

const std::vector<place_case> plouffe_places = {
    {"small", 1, 1024, true},
    {"small", 1000001, 72, true},
    {"medium", 100000001, 16, false},
    {"largest", (uint64_t{1} << 44) - 1, 1024, false},
};

const std::vector<place_case> bellard_places = {
    {"small", 8, 1024, true},
    {"small", 1000001, 72, true},
    {"medium", 100000001, 16, false},
    {"largest", (uint64_t{1} << 45) - 1, 64, false},
};

TEST(Variants, PlouffeBlocksAreIdentical) {
  expect_identical_across_variants(tly_bbp_Plouffe_series, 4, true, plouffe_places);
}

TEST(Variants, BellardBlocksAreIdentical) {
  expect_identical_across_variants(tly_bbp_Bellard_series, 7, false, bellard_places);
}

}  // namespace
