// Longer runs: the published digits with every variant forced, and the program's digits under
// OpenMP settings and affinity that reshape its team.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/engine.h"

#include "run_program.h"

namespace {

// Different arithmetics leave different cells; each gives the digits published at this place.
TEST(ForcedVariants, PublishedDigitsWithBothFormulas) {
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const char* name = tly_bbp_variants[i].name;
    if (!tly_bbp_variants[i].supported()) continue;
    const tly_bbp_program_run run = tly_bbp_run_with_arguments(
        {"--place", "1e8+1", "--formula", "both", "--variant", name, "--json", "--quiet"}, 600);
    ASSERT_EQ(run.exit_code, 0) << name << run.errors;
    const nlohmann::json j = nlohmann::json::parse(run.output);
    EXPECT_EQ(j["hexadecimal"], "cb840e21926ec5ae0d2f3405104593cb") << name;
    EXPECT_EQ(j["variant"], name);
  }
}

// Places whose series take several blocks, so that the team's split of the work matters.
TEST(Environment, SameDigitsUnderEveryTeamSetting) {
  const struct {
    std::vector<std::string> environment, prefix;
  } settings[] = {{{"OMP_THREAD_LIMIT=1"}, {}},
                  {{"OMP_DYNAMIC=true"}, {}},
                  {{"OMP_NUM_THREADS=1"}, {}},
                  {{"OMP_MAX_ACTIVE_LEVELS=0"}, {}},
                  {{"OMP_PROC_BIND=true", "OMP_WAIT_POLICY=passive"}, {}},
                  {{"OMP_NUM_THREADS=abc", "OMP_THREAD_LIMIT=-3", "OMP_DYNAMIC=maybe"}, {}},
                  {{}, {"taskset", "-c", "0"}}};
  for (const char* input : {"0\n12000001\n32\n", "1\n12000001\n32\n"}) {
    const tly_bbp_program_run normal = tly_bbp_run_program(input, 300);
    ASSERT_EQ(normal.exit_code, 0);
    const std::string digits = tly_bbp_hex_digits(normal.output);
    ASSERT_EQ(digits.size(), 32u);
    for (const auto& s : settings) {
      const tly_bbp_program_run run = tly_bbp_run_program(input, 300, s.environment, s.prefix);
      EXPECT_EQ(run.exit_code, 0) << s.environment.size();
      EXPECT_EQ(tly_bbp_hex_digits(run.output), digits) << input << (s.environment.empty() ? "taskset" : s.environment[0]);
    }
  }
}

}  // namespace
