// The manual page against the program: it names every option --help lists, and no other.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "run_program.h"

namespace {

void add_matches(const std::string& text, const std::regex& pattern, const char* prefix, std::set<std::string>* found) {
  for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) found->insert(prefix + (*m)[1].str());
}

TEST(Manual, NamesEveryOptionOfHelpAndNoOther) {
  const tly_bbp_program_run help = tly_bbp_run_with_arguments({"--help"});
  ASSERT_EQ(help.exit_code, 0) << help.errors;
  // An option in --help follows a space, a comma or a bracket: "-h,--help", "(see --list-variants)".
  std::set<std::string> program, page;
  add_matches(help.output, std::regex(R"((?:^|[\s,(\[])(--?[a-z][a-z0-9-]*))"), "", &program);
  ASSERT_GE(program.size(), 10u) << help.output;

  std::ifstream file(TLY_BBP_MANUAL);
  ASSERT_TRUE(file) << TLY_BBP_MANUAL;
  for (std::string line; std::getline(file, line);) {
    // Comments are not shown, and a line naming mpirun may give mpirun's own options.
    if (line.rfind(".\\\"", 0) == 0 || line.find("mpirun") != std::string::npos) continue;
    for (size_t at; (at = line.find("\\-")) != std::string::npos;) line.erase(at, 1);
    // mdoc's Fl adds the first dash itself; the examples spell options out.
    add_matches(line, std::regex(R"(\bFl\s+(-?[a-z][a-z0-9-]*))"), "-", &page);
    add_matches(line, std::regex(R"((?:^|\s)(--[a-z][a-z0-9-]*))"), "", &page);
  }
  for (const std::string& option : program) EXPECT_TRUE(page.count(option)) << option << " is not in the manual page";
  for (const std::string& option : page) EXPECT_TRUE(program.count(option)) << "the manual page names " << option << ", which --help does not list";
}

}  // namespace
