// The MPI program at the farthest places a test can afford: many blocks per series, claimed
// by the threads of several ranks, still give the single-process text and digits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_mpi_job.h"

namespace {

const std::vector<std::string> one_thread = {"OMP_THREAD_LIMIT=1"};

// Blocks hold at least 4,194,304 terms, so hundreds in one series would take minutes; these
// have 3, 24 and 10 blocks per series. The claims check of mpi_test covers hundreds.
TEST(MpiManyBlocks, WidestWindowOnThreeRanks) { tly_bbp_expect_job_as_one_process("0 10000001 1024\n", 3, one_thread); }

TEST(MpiManyBlocks, PlouffeOnThreeRanks) { tly_bbp_expect_job_as_one_process("0 100000001 16\n", 3, one_thread); }

TEST(MpiManyBlocks, BellardOnTwoRanks) { tly_bbp_expect_job_as_one_process("1 100000001 24\n", 2); }

}  // namespace
