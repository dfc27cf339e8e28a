// Checkpointed runs killed at random moments, stopped by SIGTERM and SIGINT, and resumed: the
// saved work only grows, and the digits are those of an uninterrupted run.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <random>

#include "cli/checkpoint.h"
#include "run_program.h"

namespace {

// Eleven series of 10 to 24 blocks each, a few seconds in all.
const std::vector<std::string> run_arguments = {"--place", "1e8", "--formula", "both", "--json", "--quiet"};

// Saved every 0.12 s, or at the default interval (only after each series and on a signal).
std::vector<std::string> with_checkpoint(const std::string& path, bool often = true) {
  std::vector<std::string> arguments = run_arguments;
  arguments.insert(arguments.end(), {"--checkpoint", path});
  if (often) arguments.insert(arguments.end(), {"--checkpoint-every", "0.002"});
  return arguments;
}

// The run started in the background and sent `signal` after `seconds`: the shell reports the
// exit code and the milliseconds from the signal to the end; standard error is the run's.
tly_bbp_program_run stopped_run(const std::vector<std::string>& arguments, const char* signal, double seconds) {
  std::vector<std::string> command = {"bash", "-c",
                                      "\"$@\" >/dev/null & sleep " + std::to_string(seconds) + "; kill -s " + signal +
                                          " $!; t=$(date +%s%N); wait $!; echo $? $(( ($(date +%s%N) - t) / 1000000 ))",
                                      "bash", TLY_BBP_PROGRAM};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return tly_bbp_run_command("", 60, {}, command);
}

const nlohmann::json& uninterrupted() {
  static const nlohmann::json result =
      nlohmann::json::parse(tly_bbp_run_with_arguments(run_arguments, 300).output)["results"];
  return result;
}

// Terms finished in the checkpoint, over all series.
uint64_t finished_terms(const std::string& path) {
  tly_bbp_checkpoint c = tly_bbp_fresh_checkpoint(2, 100000000, 32);
  std::string error;
  EXPECT_NE(tly_bbp_read_checkpoint(path, &c, &error), tly_bbp_checkpoint_read::refused) << error;
  uint64_t terms = 0;
  for (const tly_bbp_formula_progress& f : c.formulas)
    for (const tly_bbp_series_record& s : f.series) terms += tly_bbp_finished_terms(s);
  return terms;
}

void expect_digits_of_an_uninterrupted_run(const tly_bbp_program_run& run) {
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  const nlohmann::json j = nlohmann::json::parse(run.output);
  EXPECT_EQ(j["from_checkpoint"], true);
  EXPECT_EQ(j["agree"], true);
  for (int f = 0; f < 2; ++f) EXPECT_EQ(j["results"][f]["hexadecimal"], uninterrupted()[f]["hexadecimal"]);
}

TEST(CheckpointKill, KilledTenTimesThenResumedGivesTheDigitsOfAnUninterruptedRun) {
  uninterrupted();
  const std::string path = testing::TempDir() + "killed_checkpoint";
  std::remove(path.c_str());
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment_ms(100, 600);
  uint64_t saved = 0;
  for (int kill_number = 0; kill_number < 10; ++kill_number) {
    stopped_run(with_checkpoint(path), "KILL", moment_ms(random) / 1000.0);
    const uint64_t now_saved = finished_terms(path);
    EXPECT_GE(now_saved, saved) << "seed " << seed << ", kill " << kill_number;
    saved = now_saved;
  }
  EXPECT_GT(saved, 0u) << "seed " << seed;
  expect_digits_of_an_uninterrupted_run(tly_bbp_run_with_arguments(with_checkpoint(path), 300));
}

TEST(CheckpointKill, SigtermAndSigintSaveAndEndPromptly) {
  uninterrupted();
  const std::string path = testing::TempDir() + "stopped_checkpoint";
  std::remove(path.c_str());
  for (const char* signal : {"TERM", "INT"}) {
    const tly_bbp_program_run run = stopped_run(with_checkpoint(path, false), signal, 0.7);
    int code = 0, milliseconds = 0;
    std::sscanf(run.output.c_str(), "%d %d", &code, &milliseconds);
    EXPECT_EQ(code, signal[0] == 'T' ? 128 + SIGTERM : 128 + SIGINT) << run.output;
    EXPECT_LT(milliseconds, 3000);
    EXPECT_NE(run.errors.find("Run the same command again to resume."), std::string::npos) << run.errors;
  }
  EXPECT_GT(finished_terms(path), 0u);
  expect_digits_of_an_uninterrupted_run(tly_bbp_run_with_arguments(with_checkpoint(path), 300));
}

}  // namespace
