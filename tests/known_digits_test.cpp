// Known digits of pi printed by the real program, for both formulas.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pi_oracle.h"
#include "run_program.h"

namespace {

// The hexadecimal digits one run of the program prints; the run must end normally
// and head its hexadecimal block with the place asked for.
std::string program_digits(int formula, uint64_t start, uint64_t digits) {
  const std::string input =
      std::to_string(formula) + "\n" + std::to_string(start) + "\n" + std::to_string(digits) + "\n";
  const tly_bbp_program_run run = tly_bbp_run_program(input, 120);
  EXPECT_FALSE(run.timed_out) << "input " << input;
  EXPECT_EQ(run.exit_code, 0) << "input " << input;
  EXPECT_NE(run.output.find("Hexadecimal Digits starting from: 16^-" + std::to_string(start) + "\n"),
            std::string::npos)
      << "input " << input;
  return tly_bbp_hex_digits(run.output);
}

TEST(KnownDigits, PlouffeFromTheFirstPlace) {
  EXPECT_EQ(program_digits(0, 1, 8), "243f6a88");
  EXPECT_EQ(program_digits(0, 1, 16), "243f6a8885a308d3");
}

TEST(KnownDigits, PlouffeAtPlace100) {
  const std::string digits = program_digits(0, 100, 64);
  EXPECT_EQ(digits.substr(0, 16), "c29b7c97c50dd3f8");
  EXPECT_EQ(digits, tly_bbp_oracle_hex(100, 64));
}

TEST(KnownDigits, BellardFromItsFirstPlace) {
  const std::string digits = program_digits(1, 8, 70);
  EXPECT_EQ(digits.substr(0, 16), "885a308d313198a2");
  EXPECT_EQ(digits, tly_bbp_oracle_hex(8, 70));
}

// Beyond the oracle's reach: the digits published with the formula, from place 10^7.
TEST(KnownDigits, BothFormulasAtTenMillion) {
  EXPECT_EQ(program_digits(0, 10000000, 14), "17af5863efed8d");
  EXPECT_EQ(program_digits(1, 10000000, 14), "17af5863efed8d");
}

// The two formulas do different work but must print the same digits: those of pi.
class FormulasAgree : public testing::TestWithParam<uint64_t> {};

TEST_P(FormulasAgree, WithEachOtherAndWithPi) {
  const uint64_t start = GetParam();
  const std::string plouffe = program_digits(0, start, 40);
  const std::string bellard = program_digits(1, start, 40);
  EXPECT_EQ(plouffe, tly_bbp_oracle_hex(start, 40));
  EXPECT_EQ(bellard, plouffe);
}

INSTANTIATE_TEST_SUITE_P(KnownDigits, FormulasAgree, testing::Values(9, 15, 33, 100, 250),
                         [](const testing::TestParamInfo<uint64_t>& place) {
                           return "Place" + std::to_string(place.param);
                         });

}  // namespace
