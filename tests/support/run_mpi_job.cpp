// Test support: runs an MPI program as a job of several ranks on this machine.
#include "run_mpi_job.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

namespace {

const std::regex progress_report("\r {79}\rProgress: ([0-9.e+-]+)%");

}  // namespace

tly_bbp_program_run tly_bbp_run_mpi_job(const char* program, int ranks, const std::string& input, double seconds,
                                        std::vector<std::string> environment,
                                        const std::vector<std::string>& arguments) {
  environment.insert(environment.end(),
                     {"OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1", "OMPI_MCA_btl=self,vader",
                      // Containers often forbid the cross-process copies vader prefers.
                      "OMPI_MCA_btl_vader_single_copy_mechanism=none", "OMPI_MCA_rmaps_base_oversubscribe=1",
                      // Bound to one core a rank sees one processor and runs a single thread.
                      "OMPI_MCA_hwloc_base_binding_policy=none"});
  // Open MPI keeps allocations to the end, many in components it has unloaded by then: a
  // sanitizer's leak report of a rank could not even name them.
  const char* asan = std::getenv("ASAN_OPTIONS");
  environment.push_back(asan && *asan ? std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"
                                      : std::string("ASAN_OPTIONS=detect_leaks=0"));
  std::vector<std::string> command{TLY_BBP_MPIEXEC, "-np", std::to_string(ranks), program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return tly_bbp_run_command(input, seconds, environment, command);
}

std::string tly_bbp_without_progress(const std::string& output) {
  return tly_bbp_mask_times(std::regex_replace(output, progress_report, ""));
}

void tly_bbp_expect_progress_well_formed(const std::string& output) {
  size_t series = 0;
  for (size_t at = output.find("Term: "); at != std::string::npos; ++series) {
    const size_t time = output.find("    Time: ", at);
    ASSERT_NE(time, std::string::npos);
    const std::string reports = output.substr(at, time - at);
    double previous = 0;
    std::string last;
    for (std::sregex_iterator r(reports.begin(), reports.end(), progress_report), end; r != end; ++r) {
      const double value = std::strtod((*r)[1].str().c_str(), nullptr);
      EXPECT_GT(value, previous) << "series " << series + 1;
      previous = value;
      last = (*r)[1].str();
    }
    EXPECT_EQ(last, "100") << "series " << series + 1;
    EXPECT_EQ(reports.substr(reports.size() - 14), "Progress: 100%") << "series " << series + 1;
    at = output.find("Term: ", time);
  }
  EXPECT_GT(series, 0u);
}

void tly_bbp_expect_job_as_one_process(const std::string& input, int ranks,
                                       const std::vector<std::string>& environment) {
  SCOPED_TRACE(input + " on " + std::to_string(ranks) + " ranks");
  const tly_bbp_program_run single = tly_bbp_run_program(input, 300);
  const tly_bbp_program_run job = tly_bbp_run_mpi_job(TLY_BBP_MPI_PROGRAM, ranks, input, 300, environment);
  ASSERT_FALSE(job.timed_out);
  EXPECT_EQ(single.exit_code, 0);
  EXPECT_EQ(job.exit_code, 0);
  ASSERT_NE(tly_bbp_hex_digits(single.output), "");
  EXPECT_EQ(tly_bbp_hex_digits(job.output), tly_bbp_hex_digits(single.output));
  EXPECT_EQ(tly_bbp_without_progress(job.output), tly_bbp_without_progress(single.output));
  tly_bbp_expect_progress_well_formed(job.output);
}
