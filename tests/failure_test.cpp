// The fatal paths: allocation failure anywhere and the 2^56 lane check, each ending the
// process with its exact message, no line end, and exit code 1.
#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/kernel.h"
#include "engine/pblock.h"
#include "engine/system.h"
#include "formulas/formulas.h"

namespace {

// The message is written to standard output; a death test sees only standard error, so the
// dying child sends the one into the other. The alarm turns a hang into a failure.
void capture_output_and_guard() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  alarm(60);
}

// The allocation (counted from 1) that fails; the others come from the system.
int failing_allocation = 0;
int allocations_seen = 0;

void* fail_one(uint64_t bytes) {
  if (++allocations_seen == failing_allocation) return nullptr;
  return std::aligned_alloc(16, (bytes + 15) & ~uint64_t{15});
}

void fail_allocation(int which) {
  failing_allocation = which;
  allocations_seen = 0;
  tly_bbp_alloc_hook = fail_one;
}

class FatalPaths : public testing::Test {
 protected:
  // The dying child runs in a fresh process: no OpenMP threads of earlier tests are forked.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

using FailedAllocation = FatalPaths;

TEST_F(FailedAllocation, DirectlyEndsWithTheMessage) {
  EXPECT_EXIT(
      {
        capture_output_and_guard();
        fail_allocation(1);
        tly_bbp_alloc(16);
      },
      testing::ExitedWithCode(1), "^Memory Allocation Failure$");
}

// No hook: the system's allocator refuses sizes no machine has, and sizes that would wrap
// when rounded up to the alignment must not come back as a tiny block. (AddressSanitizer's
// allocator says on standard error that it refused.)
TEST_F(FailedAllocation, ImpossibleSizesFromTheSystemAllocator) {
  for (const uint64_t bytes : {uint64_t{1} << 62, ~uint64_t{0} - 7, ~uint64_t{0}}) {
    EXPECT_EXIT(
        {
          capture_output_and_guard();
          tly_bbp_alloc(bytes);
        },
        testing::ExitedWithCode(1),
        "^(==[0-9]+==WARNING: AddressSanitizer failed to allocate [^\n]*\n)?Memory Allocation Failure$")
        << bytes;
  }
}

// Each allocation of one series: the accumulator area, then the scratch area.
TEST_F(FailedAllocation, InTheSeriesEvaluator) {
  for (int which : {1, 2}) {
    EXPECT_EXIT(
        {
          capture_output_and_guard();
          fail_allocation(which);
          int64_t out[4];
          tly_bbp_pblock(out, 4, 0, 2, 48, 4, 8, 1, 0);
        },
        testing::ExitedWithCode(1), "^Memory Allocation Failure$")
        << "allocation " << which;
  }
}

// Through a whole formula: its two accumulators, then the evaluator's areas of the first
// and of a later series; what was printed before stays, and nothing follows the message.
TEST_F(FailedAllocation, InEitherFormula) {
  struct Case {
    int formula, allocation;
    const char* output;
  };
  const Case cases[] = {
      {0, 1, "^Memory Allocation Failure$"},
      {0, 2, "^Memory Allocation Failure$"},
      {0, 3, "^Terms Needed = 48\n\n\nTerm: 1 / 4\nMemory Allocation Failure$"},
      {0, 4, "^Terms Needed = 48\n\n\nTerm: 1 / 4\nMemory Allocation Failure$"},
      {0, 9, "^Terms Needed = 48\n.*Term: 4 / 4\nMemory Allocation Failure$"},
      {1, 1, "^Memory Allocation Failure$"},
      {1, 3, "^Terms Needed = 31\n\n\nTerm: 1 / 7\nMemory Allocation Failure$"},
      {1, 16, "^Terms Needed = 31\n.*Term: 7 / 7\nMemory Allocation Failure$"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          capture_output_and_guard();
          fail_allocation(c.allocation);
          uint32_t result[4];
          if (c.formula == 0)
            tly_bbp_Pi_Plouffe(result, 0, 4, 0);
          else
            tly_bbp_Pi_Bellard(result, 28, 4, 0);
        },
        testing::ExitedWithCode(1), c.output)
        << "formula " << c.formula << ", allocation " << c.allocation;
  }
}

// A worker thread that fails inside the lock while its team mates wait for the lock or keep
// computing: the process still ends at once.
// (A pragma inside a macro argument lands on the wrong statement: the regions are functions.)
void allocate_on_four_threads() {
#pragma omp parallel num_threads(4)
  for (int i = 0; i < 1000000; ++i) tly_bbp_free(tly_bbp_alloc(64));
}

TEST_F(FailedAllocation, OnAWorkerThreadWhileOthersRun) {
  EXPECT_EXIT(
      {
        capture_output_and_guard();
        fail_allocation(2);
        allocate_on_four_threads();
      },
      testing::ExitedWithCode(1), "^Memory Allocation Failure$");
}

// Lane rows of `cells` rows, all zero but one cell.
std::vector<uint64_t> rows_with(uint64_t cells, uint64_t row, int lane, uint64_t value) {
  std::vector<uint64_t> rows(8 * cells, 0);
  rows[8 * row + lane] = value;
  return rows;
}

using LaneCheck = FatalPaths;

TEST_F(LaneCheck, ACellOfTwoToThe56IsFatalWherever) {
  struct Case {
    uint64_t cells, row;
    int lane;
    uint64_t value;
  };
  const Case cases[] = {
      {4, 0, 0, uint64_t{1} << 56},         {4, 3, 7, uint64_t{1} << 56},
      {131, 65, 4, uint64_t{1} << 56},      {2, 1, 1, uint64_t{1} << 63},
      {4, 2, 5, ~uint64_t{0}},              {4, 0, 2, (uint64_t{1} << 56) | 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          capture_output_and_guard();
          std::vector<uint64_t> rows = rows_with(c.cells, c.row, c.lane, c.value);
          tly_bbp_check_lanes(rows.data(), c.cells);
        },
        testing::ExitedWithCode(1), "^Error in computation\\. Expected < 2\\^56\\.$")
        << "cells " << c.cells << ", row " << c.row << ", lane " << c.lane;
  }
}

void check_bad_lanes_on_one_of_three_threads() {
  std::vector<uint64_t> bad = rows_with(4, 1, 3, uint64_t{1} << 56);
#pragma omp parallel num_threads(3)
  {
    // The last thread fails; with a team of one it is the only one.
    if (omp_get_thread_num() == omp_get_num_threads() - 1) {
      tly_bbp_check_lanes(bad.data(), 4);
    } else {
      std::vector<uint64_t> good(32, 1);
      for (;;) tly_bbp_check_lanes(good.data(), 4);
    }
  }
}

TEST_F(LaneCheck, FatalFromAWorkerThreadWhileOthersCompute) {
  EXPECT_EXIT(
      {
        capture_output_and_guard();
        check_bad_lanes_on_one_of_three_threads();
      },
      testing::ExitedWithCode(1), "^Error in computation\\. Expected < 2\\^56\\.$");
}

// Each lane read as one number of four 32-bit digits, modulo 2^128.
unsigned __int128 lane_value(const std::vector<uint64_t>& rows, int lane) {
  unsigned __int128 v = 0;
  for (int r = 3; r >= 0; --r) v = (v << 32) + rows[8 * r + lane];
  return v;
}

// Just below the bound the check passes and every lane is carried into 32-bit digits
// without changing its value modulo 1.
TEST(LaneNormalisation, JustBelowTheBoundKeepsEachLaneValue) {
  const uint64_t top = (uint64_t{1} << 56) - 1;
  const std::vector<std::vector<uint64_t>> inputs = {
      rows_with(4, 0, 0, top),
      rows_with(4, 3, 7, top),
      rows_with(4, 1, 4, top),
      std::vector<uint64_t>(32, top),
      std::vector<uint64_t>(32, 0xFFFFFFFF),
      std::vector<uint64_t>(32, 0x100000000),
      std::vector<uint64_t>(32, 0),
  };
  for (const std::vector<uint64_t>& input : inputs) {
    std::vector<uint64_t> rows = input;
    tly_bbp_check_lanes(rows.data(), 4);
    for (int lane = 0; lane < 8; ++lane) {
      EXPECT_EQ(lane_value(rows, lane), lane_value(input, lane)) << "lane " << lane;
      for (int r = 0; r < 4; ++r) EXPECT_LE(rows[8 * r + lane], 0xFFFFFFFFu) << "lane " << lane << " row " << r;
    }
  }
  // The worked case: 2^56 - 1 in row 0 spreads over rows 0 and 1.
  std::vector<uint64_t> rows = rows_with(4, 0, 3, top);
  tly_bbp_check_lanes(rows.data(), 4);
  EXPECT_EQ(rows[3], 0xFFFFFFFFu);
  EXPECT_EQ(rows[8 + 3], 0xFFFFFFu);
  EXPECT_EQ(rows[16 + 3], 0u);
  // In the top row the part above 32 bits is an integer and is dropped.
  rows = rows_with(4, 3, 6, top);
  tly_bbp_check_lanes(rows.data(), 4);
  EXPECT_EQ(rows[24 + 6], 0xFFFFFFFFu);
}

}  // namespace
