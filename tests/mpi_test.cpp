// The MPI program on this machine: jobs of two and three ranks print the text and digits of
// the single-process program, share one claim sequence, and end as a whole when a rank fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_mpi_job.h"

namespace {

// One thread per rank, so that three ranks on two cores do not crowd each other out.
const std::vector<std::string> one_thread = {"OMP_THREAD_LIMIT=1"};

// A single block per series, so that some ranks claim nothing; the widest window.
TEST(MpiJob, SmallPlacesAsOneProcess) {
  tly_bbp_expect_job_as_one_process("0 1 8\n", 2);
  tly_bbp_expect_job_as_one_process("1 8 9\n", 3, one_thread);
  tly_bbp_expect_job_as_one_process("0 1000001 1024\n", 3, one_thread);
  tly_bbp_expect_job_as_one_process("1 4000001 64\n", 2);
}

TEST(MpiJob, InputThatEndsEarly) {
  const tly_bbp_program_run single = tly_bbp_run_program("1\n77\n");
  const tly_bbp_program_run job = tly_bbp_run_mpi_job(TLY_BBP_MPI_PROGRAM, 2, "1\n77\n", 60);
  ASSERT_FALSE(job.timed_out);
  EXPECT_EQ(job.exit_code, 1);
  EXPECT_EQ(job.output, single.output);
}

// Every thread of every rank claims from the job's counters without computing: the blocks
// are the ones a single process with all those threads would claim, starting at multiples
// of 4,194,304, hundreds of them in the first series.
TEST(MpiJob, ClaimsTileTheRangeAcrossRanks) {
  for (int ranks : {2, 3}) {
    const tly_bbp_program_run job = tly_bbp_run_mpi_job(TLY_BBP_MPI_CLAIMS_CHECK, ranks, "", 60);
    ASSERT_FALSE(job.timed_out);
    EXPECT_EQ(job.exit_code, 0) << job.output;
    EXPECT_NE(job.output.find("terms 2936025145: 701 blocks from " + std::to_string(ranks) + " ranks"),
              std::string::npos)
        << job.output;
    EXPECT_EQ(job.output.find("MISMATCH"), std::string::npos) << job.output;
    size_t series = 0;
    for (size_t at = job.output.find("as one process"); at != std::string::npos;
         at = job.output.find("as one process", at + 1))
      ++series;
    EXPECT_EQ(series, 3u) << job.output;
  }
}

// Rank 1 fails its allocation as the second series starts: its message, exit code 1, and no
// rank left waiting (the time limit would end a hang). Rank 0's text and rank 1's message
// reach mpiexec on separate streams, so their order is not checked.
TEST(MpiJob, FatalErrorOnAnotherRankEndsTheJob) {
  const tly_bbp_program_run job = tly_bbp_run_mpi_job(TLY_BBP_MPI_FAILING_RANK, 3, "0 30000001 16\n", 60);
  ASSERT_FALSE(job.timed_out);
  EXPECT_EQ(job.exit_code, 1);
  EXPECT_NE(job.output.find("Memory Allocation Failure"), std::string::npos) << job.output;
  EXPECT_NE(job.output.find("Term: 1 / 4\n"), std::string::npos) << job.output;
  EXPECT_EQ(job.output.find("Term: 3 / 4\n"), std::string::npos) << job.output;
  EXPECT_EQ(job.output.find("Hexadecimal Digits"), std::string::npos);
}

TEST(MpiJob, KilledRankEndsTheJob) {
  const tly_bbp_program_run job =
      tly_bbp_run_mpi_job(TLY_BBP_MPI_FAILING_RANK, 3, "0 30000001 16\n", 60, {"TLY_BBP_RANK_FAULT=kill"});
  ASSERT_FALSE(job.timed_out);
  EXPECT_NE(job.exit_code, 0);
  EXPECT_NE(job.output.find("Term: 1 / 4\n"), std::string::npos) << job.output;
  EXPECT_EQ(job.output.find("Term: 3 / 4\n"), std::string::npos) << job.output;
  EXPECT_EQ(job.output.find("Hexadecimal Digits"), std::string::npos);
}

}  // namespace
