// The MPI program on this machine, started as a user would: jobs of two and three ranks print
// the text and digits of the single-process program, share one claim sequence, end as a whole
// when a rank fails, and resume from a checkpoint with another number of ranks.
#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/checkpoint.h"
#include "engine/engine.h"
#include "exact.h"
#include "run_program.h"
#if defined(TLY_BBP_HAVE_GPU)
#include "opencl_device.h"
#endif

namespace {

// One thread per rank, so that three ranks on two cores do not crowd each other out.
const std::vector<std::string> one_thread = {"OMP_THREAD_LIMIT=1"};

// With `tcp` the ranks talk over TCP, as between machines, instead of shared memory. `before`
// comes before the launcher on the command line. The time limit, scaled to the build, only
// catches a hang.
tly_bbp_program_run run_job(const char* program, int ranks, const std::string& input,
                            std::vector<std::string> environment = {}, bool tcp = false,
                            const std::vector<std::string>& arguments = {}, std::vector<std::string> before = {}) {
  std::vector<std::string> command = std::move(before);
  command.insert(command.end(), {TLY_BBP_MPIEXEC, "-n", std::to_string(ranks)});
#ifdef OPEN_MPI
  // Open MPI wants these on its command line: root, more ranks than cores, and no binding (a
  // rank bound to one core sees one processor and runs one thread).
  if (geteuid() == 0) command.push_back("--allow-run-as-root");
  command.insert(command.end(), {"--oversubscribe", "--bind-to", "none"});
  if (tcp) command.insert(command.end(), {"--mca", "btl", "self,tcp"});
#else
  if (tcp) environment.push_back("UCX_TLS=tcp,self");  // Debian's MPICH runs on UCX
#endif
  command.push_back(program);
  command.insert(command.end(), arguments.begin(), arguments.end());
  // MPI libraries keep allocations to the end, many in modules unloaded by then: a sanitizer's
  // leak report of a rank could not even name them.
  const char* asan = std::getenv("ASAN_OPTIONS");
  environment.push_back("ASAN_OPTIONS=" + (asan && *asan ? std::string(asan) + ":" : "") + "detect_leaks=0");
  return tly_bbp_run_command(input, 60, environment, command);
}

// Rank 0 reports when its own threads finish a block, with the whole job's count: how many
// reports there are depends on timing, but each series' grow and end with 100 before its time.
std::string without_progress(const std::string& output) {
  static const std::regex report("\r {79}\rProgress: ([0-9.e+-]+)%");
  for (size_t at = output.find("Term: "); at != std::string::npos; at = output.find("Term: ", at + 1)) {
    const std::string series = output.substr(at, output.find("    Time: ", at) - at);
    double previous = 0;
    for (std::sregex_iterator r(series.begin(), series.end(), report), end; r != end; ++r) {
      EXPECT_GT(std::stod((*r)[1]), previous) << series;
      previous = std::stod((*r)[1]);
    }
    EXPECT_TRUE(series.ends_with("Progress: 100%")) << series;
  }
  return tly_bbp_mask_times(std::regex_replace(output, report, ""));
}

TEST(MpiJob, PrintsWhatOneProcessPrints) {
  const struct {
    const char* input;
    int ranks;
    std::vector<std::string> environment;
    bool tcp = false;
  } jobs[] = {
      {"0 1 8\n", 2, {}},  // a single block per series: a rank claims nothing
      {"1 8 9\n", 3, one_thread},
      {"0 1000001 1024\n", 3, one_thread},  // the widest window: the largest block reports
      {"1 4000001 64\n", 2, {}},
      {"0 30000001 64\n", 3, one_thread},  // 8 blocks per series
      {"1 30000001 64\n", 2, one_thread, true},
  };
  for (const auto& job : jobs) {
    SCOPED_TRACE(std::string(job.input) + " on " + std::to_string(job.ranks) + " ranks");
    const tly_bbp_program_run single = tly_bbp_run_program(job.input);
    const tly_bbp_program_run run = run_job(TLY_BBP_MPI_PROGRAM, job.ranks, job.input, job.environment, job.tcp);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    ASSERT_NE(tly_bbp_hex_digits(single.output), "");
    EXPECT_EQ(tly_bbp_hex_digits(run.output), tly_bbp_hex_digits(single.output));
    EXPECT_EQ(without_progress(run.output), without_progress(single.output));
  }
}

TEST(MpiJob, InputThatEndsEarly) {
  const tly_bbp_program_run run = run_job(TLY_BBP_MPI_PROGRAM, 2, "1\n77\n");
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, tly_bbp_run_program("1\n77\n").output);
}

// Every thread of every rank claims from the job's counters without computing: the blocks are
// the ones one process with all those threads would claim, hundreds in the first series.
TEST(MpiJob, ClaimsTileTheRangeAsOneProcess) {
  for (int ranks : {2, 3}) {
    const tly_bbp_program_run run = run_job(TLY_BBP_MPI_CLAIMS_CHECK, ranks, "");
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find("701 blocks from " + std::to_string(ranks) + " ranks"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("MISMATCH"), std::string::npos) << run.output;
  }
}

// Rank 1 fails its allocation, or is killed, as the second series starts: the job ends at once
// (the time limit would end a hang), with rank 1's message and exit code 1 when it failed.
TEST(MpiJob, FailingRankEndsTheJob) {
  for (const char* fault : {"fail", "kill"}) {
    SCOPED_TRACE(fault);
    const tly_bbp_program_run run = run_job(TLY_BBP_MPI_FAILING_RANK, 3, "0 30000001 16\n",
                                            {std::string("TLY_BBP_RANK_FAULT=") + fault});
    ASSERT_FALSE(run.timed_out);
    if (fault[0] == 'f') {
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_NE(run.output.find("Memory Allocation Failure"), std::string::npos) << run.output;
    }
    EXPECT_NE(run.exit_code, 0);
    EXPECT_NE(run.output.find("Term: 1 / 4\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Term: 3 / 4\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Hexadecimal Digits"), std::string::npos);
  }
}

// The command line on rank 0 with every rank computing: both formulas as one JSON object; with
// rank 0's choice of class, variant and threads, which every rank follows.
TEST(MpiJob, CommandLine) {
  for (const std::vector<std::string>& choice :
       {std::vector<std::string>{}, {"--isa", "sse4.1", "--variant", "x64 64-bit Montgomery"}}) {
    std::vector<std::string> arguments = {"--place", "1e6+1", "--formula", "both", "--json", "--threads", "1"};
    arguments.insert(arguments.end(), choice.begin(), choice.end());
    const tly_bbp_program_run run = run_job(TLY_BBP_MPI_PROGRAM, 2, "", {}, false, arguments);
    ASSERT_EQ(run.exit_code, 0) << run.errors;
    const nlohmann::json json = nlohmann::json::parse(run.output);
    EXPECT_EQ(json["agree"], true);
    EXPECT_EQ(json["hexadecimal"], tly_bbp_oracle_hex(1000001, 32));
    // One thread on each rank, not one per processor on the others.
    EXPECT_TRUE(json["threads"] == 2 && json["ranks"] == 2 && json["threads_per_rank"] == 1) << json;
    EXPECT_EQ(json["variant"], choice.empty() ? tly_bbp_active_variant(tly_bbp_engine_choice)->name : "x64 64-bit Montgomery");
  }
  const tly_bbp_program_run text =
      run_job(TLY_BBP_MPI_PROGRAM, 2, "", {}, false, {"--place", "1e6+1", "--threads", "1", "--quiet"});
  EXPECT_NE(text.output.find(" s on 2 ranks × 1 thread ("), std::string::npos) << text.output;
}

// Stopped part-way on three ranks, resumed on two: what rank 0 saved of every rank's blocks
// completes to the known digits; the other ranks outlived the signal until it had saved.
TEST(MpiJob, StoppedJobResumesWithAnotherRankCount) {
  const std::string path = tly_bbp_scratch_directory() + "ck";
  // Eleven series of 40 to 100 million terms, 3 s or more: Open MPI's launcher passes the
  // signal on only a second after it got it, which must still be well before the end.
  const std::vector<std::string> arguments = {
      "--place", "100000001", "--formula",    "both", "--digits",           "16",
      "--json",  "--quiet",   "--checkpoint", path,   "--checkpoint-every", "0.002"};
  // SIGTERM to the launcher, which passes it on to every rank, once the checkpoint has grown
  // past the fresh state rank 0 writes first.
  const tly_bbp_program_run stopped = run_job(TLY_BBP_MPI_PROGRAM, 3, "", one_thread, false, arguments,
                                              tly_bbp_stopped_after_saves(path, 2, "TERM", "%s"));
  ASSERT_FALSE(stopped.timed_out);
  EXPECT_NE(stopped.output.substr(0, 2), "0 ") << stopped.output;
  EXPECT_NE(stopped.errors.find("stopped by signal 15; the state is saved"), std::string::npos) << stopped.errors;

  tly_bbp_checkpoint saved = tly_bbp_fresh_checkpoint(2, 100000001, 16);
  std::string error;
  ASSERT_EQ(tly_bbp_read_checkpoint(path, &saved, &error), tly_bbp_checkpoint_read::loaded) << error;
  uint64_t finished = 0, total = 0;
  for (const tly_bbp_formula_progress& f : saved.formulas)
    for (const tly_bbp_series_record& s : f.series) {
      finished += tly_bbp_finished_terms(s);
      total += s.term_count;
    }
  EXPECT_GT(finished, 0u);
  EXPECT_LT(finished, total);

  const tly_bbp_program_run resumed = run_job(TLY_BBP_MPI_PROGRAM, 2, "", one_thread, false, arguments);
  ASSERT_EQ(resumed.exit_code, 0) << resumed.errors;
  const nlohmann::json json = nlohmann::json::parse(resumed.output);
  EXPECT_EQ(json["hexadecimal"], "cb840e21926ec5ae");  // both formulas agree on it
  EXPECT_EQ(json["from_checkpoint"], true);
}

// A device failing on rank 1 at its first block of every series: its blocks go to rank 1's
// thread, the job ends with the known digits and names the device with its rank. With no thread
// beside it, rank 1 has nobody to give them to: the job ends with exit code 1 and says why.
TEST(MpiJob, FailingDeviceOnAnotherRank) {
  // 8 blocks in each of 4 series: rank 1 claims some.
  const std::vector<std::string> arguments = {"--place", "30000001", "--formula", "plouffe", "--threads", "1", "--quiet"};
  const tly_bbp_program_run run = run_job(TLY_BBP_MPI_FAILING_DEVICE, 2, "", {}, false, arguments);
  ASSERT_FALSE(run.timed_out);
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  // Both formulas agree on these digits.
  EXPECT_NE(run.output.find("hexadecimal 27281a4a97613ea2e651afcf766baf11, "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(" on test device on rank 1 0.0%, 2 ranks × 1 thread 100.0% of the terms ("),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.errors, "tallyspire-bbp-mpi: rank 1: test device failed\n");

  const tly_bbp_program_run alone =
      run_job(TLY_BBP_MPI_FAILING_DEVICE, 2, "", {"TLY_BBP_DEVICE_ALONE=1"}, false, arguments);
  ASSERT_FALSE(alone.timed_out);
  EXPECT_EQ(alone.exit_code, 1);
  EXPECT_NE(alone.errors.find("tallyspire-bbp-mpi: rank 1: No worker is left to compute: every device failed.\n"),
            std::string::npos)
      << alone.errors;
  EXPECT_EQ(alone.output.find("Result: "), std::string::npos);
}

#if defined(TLY_BBP_HAVE_GPU)
size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Two ranks on one node split its devices: PoCL's, named, goes to rank 0 alone, beside its
// thread or instead of it, and rank 1 computes with its thread; the Result line names the
// device once, with its rank. A rank whose node lacks a device rank 0 names refuses the run
// as the single program does; here rank 1 is started without the OpenCL drivers.
TEST(MpiJob, RanksOfANodeSplitItsDevices) {
  NEED_DEVICE();
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(opencl().gpu, opencl().device);
  const std::string device = "opencl:" + std::to_string(d.platform) + ":" + std::to_string(d.index);
  const struct {
    std::string devices, threads;
  } cases[] = {
      {"cpu," + device, "2 ranks × 1 thread "},
      {device, "2 ranks, 1 thread in all "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.devices);
    const tly_bbp_program_run run =
        run_job(TLY_BBP_MPI_PROGRAM, 2, "", {}, false, {"--place", "1e6+1", "--threads", "1", "--devices", c.devices});
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.errors;
    const std::string result = run.output.substr(run.output.find("Result: "));
    EXPECT_NE(result.find("hexadecimal " + tly_bbp_oracle_hex(1000001, 32) + ", "), std::string::npos) << result;
    EXPECT_EQ(occurrences(result, "opencl:"), 1u) << result;
    EXPECT_NE(result.find(device + " ("), std::string::npos) << result;
    EXPECT_NE(result.find(") on rank 0 "), std::string::npos) << result;
    EXPECT_NE(result.find(c.threads), std::string::npos) << result;
    EXPECT_NE(result.find("% of the terms ("), std::string::npos) << result;
  }
  const tly_bbp_program_run json = run_job(TLY_BBP_MPI_PROGRAM, 2, "", {}, false,
                                           {"--place", "1e6+1", "--threads", "1", "--devices", "cpu," + device, "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.errors;
  const nlohmann::json parsed = nlohmann::json::parse(json.output);
  EXPECT_EQ(parsed["threads"], 2);
  EXPECT_EQ(parsed["threads_per_rank"], 1);
  ASSERT_EQ(parsed["devices"].size(), 2u) << parsed;
  EXPECT_EQ(parsed["devices"][0]["rank"], 0);
  EXPECT_EQ(parsed["devices"][1]["name"], "cpu");
  // Every term of the run counted once, in one share or the other, as in the single program.
  const nlohmann::json single = nlohmann::json::parse(
      tly_bbp_run_with_arguments({"--place", "1e6+1", "--threads", "1", "--devices", "cpu," + device, "--json"}).output);
  EXPECT_EQ(parsed["devices"][0]["terms"].get<uint64_t>() + parsed["devices"][1]["terms"].get<uint64_t>(),
            single["devices"][0]["terms"].get<uint64_t>() + single["devices"][1]["terms"].get<uint64_t>());

  const std::string empty = tly_bbp_scratch_directory();
  const std::vector<std::string> arguments = {"--place", "1e6+1", "--threads", "1", "--devices", "cpu," + device};
  std::vector<std::string> both = arguments;
  both.insert(both.end(), {":", "-n", "1", "env", "OCL_ICD_VENDORS=" + empty, TLY_BBP_MPI_PROGRAM});
  both.insert(both.end(), arguments.begin(), arguments.end());
  const tly_bbp_program_run refused = run_job(TLY_BBP_MPI_PROGRAM, 1, "", {}, false, both);
  ASSERT_FALSE(refused.timed_out);
  EXPECT_EQ(refused.exit_code, 2) << refused.errors;
  EXPECT_NE(refused.errors.find("tallyspire-bbp-mpi: rank 1: --devices: there is no device " + device),
            std::string::npos)
      << refused.errors;
  EXPECT_EQ(refused.output.find("Result: "), std::string::npos);
}
#endif

}  // namespace
