// Small runs of each formula under valgrind's memcheck: no invalid access, no use of
// undefined values, no definite leak.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "run_program.h"
#include "sanitizer_build.h"

namespace {

// Distinct from the program's own failure code 1.
constexpr int memcheck_error = 99;

struct Case {
  const char* input;
  const char* first_digits;
};

// Place 1 takes the scalar paths only; the others fill groups of eight and several series
// terms per thread. Reference digits from the published expansion of pi.
const Case cases[] = {
    {"0\n1\n16\n", "243f6a8885a308d3"},
    {"1\n8\n16\n", "885a308d313198a2"},
    {"0\n100001\n8\n", nullptr},
    {"1\n100001\n8\n", nullptr},
};

TEST(Memcheck, SmallRunsOfEachFormulaAreClean) {
  if (tly_bbp_sanitizer_build) GTEST_SKIP() << "valgrind cannot run a sanitized program";
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  std::string digits_at_100001;
  for (const Case& c : cases) {
    const tly_bbp_program_run run = tly_bbp_run_program(
        c.input, 300, {},
        {"valgrind", "-q", "--error-exitcode=" + std::to_string(memcheck_error), "--leak-check=full",
         "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite"});
    ASSERT_FALSE(run.timed_out) << c.input;
    EXPECT_EQ(run.exit_code, 0) << c.input << (run.exit_code == memcheck_error ? " (memcheck found errors)" : "");
    const std::string digits = tly_bbp_hex_digits(run.output);
    if (c.first_digits) {
      EXPECT_EQ(digits, c.first_digits) << c.input;
    } else if (digits_at_100001.empty()) {
      digits_at_100001 = digits;
    } else {
      // Both formulas agree at the same place.
      EXPECT_EQ(digits, digits_at_100001) << c.input;
    }
  }
}

}  // namespace
