// Tests of block sizing and block claims: initial sizes, claim sequences, progress values.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/pblock.h"
#include "exact/block_replay.h"

namespace {

constexpr uint64_t smallest = 4194304;

std::vector<uint64_t> lengths(const std::vector<tly_bbp_claimed_block>& blocks) {
  std::vector<uint64_t> out;
  for (const tly_bbp_claimed_block& b : blocks) out.push_back(b.last - b.first);
  return out;
}

// Blocks tile [0, term_count) in order; each starts at a multiple of 4,194,304, all but the
// last are a multiple of it long; the shared size stays a power-of-two multiple of it and
// never grows; above the smallest size, every team member could still take two more blocks.
::testing::AssertionResult well_formed(const std::vector<tly_bbp_claimed_block>& blocks, uint64_t term_count,
                                       int32_t team, uint64_t initial) {
  uint64_t next = 0, size = initial;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const tly_bbp_claimed_block& b = blocks[i];
    auto fail = [&]() {
      return ::testing::AssertionFailure() << "block " << i << " [" << b.first << ", " << b.last << "): ";
    };
    if (b.first != next || b.last <= b.first || b.last > term_count) return fail() << "does not continue the tiling";
    if (b.first % smallest) return fail() << "starts off the 4,194,304 grid";
    if (b.last != term_count && (b.last - b.first) % smallest) return fail() << "inner block of odd length";
    if (b.block_size > size || b.block_size < smallest || b.block_size % smallest ||
        !std::has_single_bit(b.block_size / smallest))
      return fail() << "block size " << b.block_size << " after " << size;
    if (b.block_size > smallest && uint64_t(team) * b.block_size * 2 > term_count - b.first)
      return fail() << "block size " << b.block_size << " not halved";
    if (b.last != term_count && b.last - b.first != b.block_size) return fail() << "length is not the block size";
    next = b.last;
    size = b.block_size;
  }
  if (next != term_count) return ::testing::AssertionFailure() << "range not exhausted: " << next;
  return ::testing::AssertionSuccess();
}

TEST(InitialBlockSize, ExamplesFromProcessorsTermsAndHint) {
  EXPECT_EQ(tly_bbp_initial_block_size(8, 100000000, 1u << 30), 8388608u);
  EXPECT_EQ(tly_bbp_initial_block_size(4, 100000000, 1u << 30), 16777216u);
  EXPECT_EQ(tly_bbp_initial_block_size(1, 1000000000, 1u << 30), 134217728u);
  EXPECT_EQ(tly_bbp_initial_block_size(16, 3000000000, 1u << 25), 33554432u);
  // Hints at or below the smallest size, whatever the terms; few terms on many processors.
  for (uint64_t hint : {uint64_t{0}, uint64_t{1}, uint64_t{4194303}, smallest})
    for (uint64_t terms : {uint64_t{1}, uint64_t{48}, uint64_t{100000000}, uint64_t{1} << 44})
      EXPECT_EQ(tly_bbp_initial_block_size(8, terms, hint), smallest) << "hint " << hint << ", terms " << terms;
  EXPECT_EQ(tly_bbp_initial_block_size(8, 2100, 1u << 30), smallest);
}

TEST(InitialBlockSize, PowerOfTwoMultipleBelowTwiceTheHint) {
  std::mt19937_64 rng(4);
  for (int i = 0; i < 20000; ++i) {
    const int32_t threads = 1 + rng() % 64;
    const uint64_t terms = rng() >> (20 + rng() % 44);
    const uint64_t hint = rng() % 2 ? rng() >> (34 + rng() % 30) : rng() % ((uint64_t{1} << 30) + 1);
    const uint64_t size = tly_bbp_initial_block_size(threads, terms, hint);
    ASSERT_EQ(size % smallest, 0u);
    ASSERT_TRUE(std::has_single_bit(size / smallest)) << size;
    if (size > smallest) {
      ASSERT_LT(size, 2 * hint) << "threads " << threads << ", terms " << terms;
      ASSERT_LE(uint64_t(threads) * size, terms);
      ASSERT_LE(size, terms / 8 * 2);
    }
  }
}

// A claim sequence: runs of equal block lengths, and the value of the first report.
struct claim_example {
  int32_t team;
  uint64_t terms, initial;
  std::vector<std::pair<uint64_t, int>> runs;
  const char* first_report;
};

TEST(BlockClaims, TeamsOfOneFourAndEight) {
  const claim_example examples[] = {
      // The first claim halves to 8,388,608, the fifth to 4,194,304; the last block starts at 96,468,992.
      {4, 100000000, 16777216, {{8388608, 4}, {4194304, 15}, {3531008, 1}}, "8.38861"},
      {8, 100000000, 8388608, {{4194304, 23}, {3531008, 1}}, "4.1943"},
      // Halving only near the end; the last block starts at 998,244,352.
      {1,
       1000000000,
       134217728,
       {{134217728, 6}, {67108864, 1}, {33554432, 2}, {16777216, 2}, {8388608, 2}, {4194304, 2}, {1755648, 1}},
       "13.4218"},
  };
  for (const claim_example& x : examples) {
    const auto blocks = tly_bbp_replay_claims(x.terms, x.team, x.initial);
    ASSERT_TRUE(well_formed(blocks, x.terms, x.team, x.initial)) << "team " << x.team;
    std::vector<uint64_t> expected;
    for (const auto& [length, count] : x.runs) expected.insert(expected.end(), count, length);
    EXPECT_EQ(lengths(blocks), expected) << "team " << x.team;
    EXPECT_EQ(tly_bbp_progress_text(blocks.front().last, x.terms), x.first_report) << "team " << x.team;
    EXPECT_EQ(tly_bbp_progress_text(blocks.back().last, x.terms), "100") << "team " << x.team;
  }
}

TEST(BlockClaims, SmallRangeIsOneBlockAndThenExhausted) {
  for (uint64_t terms : {uint64_t{1}, uint64_t{48}, uint64_t{2100}, smallest - 1, smallest}) {
    for (int32_t team : {1, 2, 8, 64}) {
      const auto blocks = tly_bbp_replay_claims(terms, team, smallest);
      ASSERT_EQ(blocks.size(), 1u) << "terms " << terms << ", team " << team;
      EXPECT_EQ(blocks[0].first, 0u);
      EXPECT_EQ(blocks[0].last, terms);
    }
  }
  // Once exhausted, every further claim finds nothing and changes nothing.
  uint64_t next = 48, size = smallest, first = 7, last = 9;
  EXPECT_FALSE(tly_bbp_claim_block(48, 4, &next, &size, &first, &last));
  EXPECT_EQ(next, 48u);
  EXPECT_EQ(size, smallest);
}

TEST(BlockClaims, RandomTeamsTileTheRange) {
  std::mt19937_64 rng(12);
  for (int i = 0; i < 300; ++i) {
    const int32_t team = 1 + rng() % 64;
    const uint64_t terms = 1 + (rng() >> (28 + rng() % 36));
    const uint64_t hint = rng() % ((uint64_t{1} << 30) + 1);
    const uint64_t initial = tly_bbp_initial_block_size(team, terms, hint);
    const auto blocks = tly_bbp_replay_claims(terms, team, initial);
    ASSERT_TRUE(well_formed(blocks, terms, team, initial)) << "team " << team << ", terms " << terms;
    ASSERT_EQ(tly_bbp_progress_text(blocks.back().last, terms), "100");
  }
}

}  // namespace
