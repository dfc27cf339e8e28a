// Checkpointed runs stopped by SIGTERM, SIGINT and SIGHUP, killed at random moments, and
// resumed: the saved work only grows, and the digits are those of an uninterrupted run.
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

tly_bbp_program_run stopped_run(const std::vector<std::string>& arguments, const std::string& path, int saves,
                                const std::string& signals, const char* prefix = "env") {
  std::vector<std::string> command = tly_bbp_stopped_after_saves(path, saves, signals);
  command.insert(command.end(), {prefix, TLY_BBP_PROGRAM});
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

// Stopped after its start and a series by SIGTERM, SIGINT and SIGHUP, each of which saves and
// ends the run (but not SIGHUP ignored from the start: nohup), then killed at random moments:
// the saved work only grows, and the run resumed at last gives the digits of an uninterrupted one.
TEST(CheckpointKill, StoppedAndKilledRunsResumeToTheDigitsOfAnUninterruptedRun) {
  uninterrupted();
  const std::string path = tly_bbp_scratch_directory() + "ck";
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> saves(1, 4);
  const struct {
    const char* signals;
    const char* prefix;
    int exit_code;
  } stops[] = {{"TERM", "env", 128 + SIGTERM}, {"INT", "env", 128 + SIGINT}, {"HUP", "env", 128 + SIGHUP},
               {"HUP TERM", "nohup", 128 + SIGTERM}};
  uint64_t saved = 0;
  for (int run_number = 0; run_number < 12; ++run_number) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run_number));
    if (run_number < 4) {
      const auto& stop = stops[run_number];
      const tly_bbp_program_run run = stopped_run(with_checkpoint(path, false), path, 2, stop.signals, stop.prefix);
      int code = 0, milliseconds = 0;
      std::sscanf(run.output.c_str(), "%d %d", &code, &milliseconds);
      EXPECT_EQ(code, stop.exit_code) << stop.signals << ": " << run.output;
      EXPECT_LT(milliseconds, 3000 * tly_bbp_build_slowdown());
      EXPECT_NE(run.errors.find("stopped by signal " + std::to_string(stop.exit_code - 128) +
                                "; the state is saved in " + path + ". Run the same command again to resume."),
                std::string::npos)
          << run.errors;
    } else {
      stopped_run(with_checkpoint(path), path, saves(random), "KILL");
    }
    const uint64_t now_saved = finished_terms(path);
    EXPECT_GE(now_saved, saved);
    saved = now_saved;
  }
  EXPECT_GT(saved, 0u);
  const tly_bbp_program_run resumed = tly_bbp_run_with_arguments(with_checkpoint(path), 300);
  ASSERT_EQ(resumed.exit_code, 0) << resumed.errors;
  const nlohmann::json j = nlohmann::json::parse(resumed.output);
  EXPECT_EQ(j["from_checkpoint"], true);
  for (int f = 0; f < 2; ++f) EXPECT_EQ(j["results"][f]["hexadecimal"], uninterrupted()[f]["hexadecimal"]);
}

}  // namespace
