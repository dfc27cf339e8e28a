// Whole console transcripts of piped runs, byte for byte against checked copies in tests/golden.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "engine/engine.h"
#include "run_program.h"

namespace {

std::string golden(const std::string& name) {
  std::ifstream file(std::string(TLY_BBP_GOLDEN_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(file) << "missing golden transcript " << name;
  std::ostringstream text;
  text << file.rdbuf();
  // The checked copies were taken on the baseline variant; the banner names the one in use.
  std::string expected = text.str();
  const std::string baseline = "Version: x64 SSE4.1";
  const size_t at = expected.find(baseline);
  if (at != std::string::npos)
    expected.replace(at, baseline.size(), "Version: " + std::string(tly_bbp_active_variant()->name));
  return expected;
}

struct TranscriptCase {
  const char* input;
  const char* file;
};

// Every run here is small enough to be one block per series, so one progress report each.
TEST(Transcript, PipedRunsPrintExactlyTheCheckedText) {
  const TranscriptCase cases[] = {
      {"0\n1\n8\n", "plouffe_place1_digits8.txt"},
      {"1\n8\n9\n", "bellard_place8_digits9.txt"},
      {"0\n1\n72\n", "plouffe_place1_digits72.txt"},
  };
  for (const TranscriptCase& c : cases) {
    const tly_bbp_program_run run = tly_bbp_run_program(c.input, 30);
    EXPECT_FALSE(run.timed_out) << c.file;
    EXPECT_EQ(run.exit_code, 0) << c.file;
    EXPECT_EQ(tly_bbp_mask_times(run.output), golden(c.file)) << c.file;
  }
}

}  // namespace
