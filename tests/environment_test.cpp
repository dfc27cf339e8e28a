// OpenMP settings and processor affinity that shrink or reshape the thread team: the program
// prints the same digits as with the machine's defaults.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

struct Setting {
  const char* name;
  std::vector<std::string> environment;
  std::vector<std::string> prefix;
};

const Setting settings[] = {
    {"one thread at most", {"OMP_THREAD_LIMIT=1"}, {}},
    {"dynamic teams", {"OMP_DYNAMIC=true"}, {}},
    {"one thread asked for", {"OMP_NUM_THREADS=1"}, {}},
    {"no active parallel region", {"OMP_MAX_ACTIVE_LEVELS=0"}, {}},
    {"bound threads that sleep", {"OMP_PROC_BIND=true", "OMP_WAIT_POLICY=passive"}, {}},
    {"settings that make no sense", {"OMP_NUM_THREADS=abc", "OMP_THREAD_LIMIT=-3", "OMP_DYNAMIC=maybe"}, {}},
    {"one processor", {}, {"taskset", "-c", "0"}},
};

// The digits of one run under every setting, against a run with the machine's defaults.
void expect_same_digits(const std::string& input, const std::vector<Setting>& tried) {
  // The limits guard against a hang; a run on one processor takes a few seconds.
  const tly_bbp_program_run normal = tly_bbp_run_program(input, 300);
  ASSERT_FALSE(normal.timed_out);
  ASSERT_EQ(normal.exit_code, 0);
  const std::string digits = tly_bbp_hex_digits(normal.output);
  ASSERT_EQ(digits.size(), 32u);
  const size_t terms = normal.output.find("Terms Needed = ");
  ASSERT_NE(terms, std::string::npos);
  const std::string terms_line = normal.output.substr(terms, normal.output.find('\n', terms) - terms);
  for (const Setting& s : tried) {
    const tly_bbp_program_run run = tly_bbp_run_program(input, 300, s.environment, s.prefix);
    ASSERT_FALSE(run.timed_out) << s.name;
    EXPECT_EQ(run.exit_code, 0) << s.name;
    EXPECT_EQ(tly_bbp_hex_digits(run.output), digits) << s.name;
    EXPECT_NE(run.output.find(terms_line + "\n"), std::string::npos) << s.name;
  }
}

// Places whose series take several blocks, so that the team's split of the work matters.
TEST(Environment, PlouffeDigitsUnderEverySetting) {
  expect_same_digits("0\n12000001\n32\n", std::vector<Setting>(std::begin(settings), std::end(settings)));
}

TEST(Environment, BellardDigitsOnOneThreadAndOneProcessor) {
  expect_same_digits("1\n12000001\n32\n", {settings[0], settings[std::size(settings) - 1]});
}

}  // namespace
