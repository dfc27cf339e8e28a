// The MPI program's command line: rank 0 parses and reports, every rank computes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "pi_oracle.h"
#include "run_mpi_job.h"

namespace {

TEST(MpiCommandLine, BothFormulasAgreeAsOneJsonObject) {
  const tly_bbp_program_run run = tly_bbp_run_mpi_job(
      TLY_BBP_MPI_PROGRAM, 2, "", 120, {}, {"--place", "1e6+1", "--formula", "both", "--json", "--threads", "1"});
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  const nlohmann::json j = nlohmann::json::parse(run.output);
  EXPECT_EQ(j["agree"], true);
  EXPECT_EQ(j["hexadecimal"], tly_bbp_oracle_hex(1000001, 32));
  EXPECT_GE(j["threads"], 2);  // rank 0's thread and the other rank's
}

TEST(MpiCommandLine, CheckpointsAreRefusedForNow) {
  const tly_bbp_program_run run =
      tly_bbp_run_mpi_job(TLY_BBP_MPI_PROGRAM, 2, "", 60, {}, {"--place", "1e6+1", "--checkpoint", "unused"});
  EXPECT_NE(run.exit_code, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_NE(run.errors.find("--checkpoint"), std::string::npos);
}

}  // namespace
