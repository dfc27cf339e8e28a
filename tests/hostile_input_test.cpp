// Hostile console input through the real program: every run ends within seconds, and what it
// accepted (read back from its output) is what stream extraction makes of the input and
// always lies within the limits.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>

#include "formulas/formulas.h"
#include "pi_oracle.h"
#include "run_program.h"

namespace {

constexpr uint64_t plouffe_last_place = (uint64_t{1} << 44) - 1;
constexpr uint64_t bellard_last_place = (uint64_t{1} << 45) - 1;

int count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// The number after `heading` up to the line end; -1 when the heading is missing.
int64_t number_after(const std::string& text, const std::string& heading) {
  const size_t at = text.find(heading);
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + heading.size(), text.find('\n', at) - at - heading.size()));
}

struct Accepted {
  int formula_prompts, start_prompts, digits_prompts;
  int formula;  // -1: the run never got past the formula prompt
  int64_t start, digits, terms;
};

// What the run accepted, from what it printed.
Accepted read_back(const std::string& output) {
  Accepted a{count(output, "Formula = "), count(output, "Starting Digit = "), count(output, "Digits = "), -1,
             number_after(output, "Hexadecimal Digits starting from: 16^-"), -1,
             number_after(output, "Terms Needed = ")};
  if (output.find("(limit: 2^44 - 1)\n") != std::string::npos) a.formula = 0;
  if (output.find("(limit: 2^45 - 1)\n") != std::string::npos) a.formula = a.formula == -1 ? 1 : 2;
  if (a.start >= 0) a.digits = static_cast<int64_t>(tly_bbp_hex_digits(output).size());
  return a;
}

struct Case {
  const char* name;
  std::string input;
  int exit_code;
  int formula_prompts, start_prompts, digits_prompts;
  // Expected when the run computes.
  int formula = -1;
  int64_t start = -1, digits = -1;
};

std::string digit_line(size_t length) { return std::string(length, '7'); }

std::string junk_lines(int lines) {
  std::string all;
  for (int i = 0; i < lines; ++i) all += "x\n";
  return all;
}

const Case cases[] = {
    // Nothing, or nothing but white space.
    {"empty", "", 1, 1, 0, 0},
    {"only line ends", "\n\n\n\n", 1, 1, 0, 0},
    {"only spaces", "        ", 1, 1, 0, 0},
    {"blank lines between answers", "   \n  \n0\n  1\n \n 8\n", 0, 1, 1, 1, 0, 1, 8},
    {"tabs, vertical tabs, form feeds", "\t0\v1\f8\n", 0, 1, 1, 1, 0, 1, 8},
    // Letters and near-numbers.
    {"letters", "abc\n0\n1\n8\n", 0, 2, 1, 1, 0, 1, 8},
    {"letters and a number on one line", "zz 1\n0\n1\n8\n", 0, 2, 1, 1, 0, 1, 8},
    {"hexadecimal prefix", "0x10\n1\n8\n", 0, 1, 2, 1, 0, 1, 8},
    {"plus sign", "0\n+5\n8\n", 0, 1, 1, 1, 0, 5, 8},
    {"minus zero", "-0\n+1\n+8\n", 0, 1, 1, 1, 0, 1, 8},
    {"exponent at the formula", "1e3\n8\n8\n", 0, 1, 2, 1, 1, 8, 8},
    {"exponent at the place", "0\n1e3\n8\n", 0, 1, 1, 2, 0, 1, 8},
    {"decimal point", "1.5\n9\n8\n", 0, 1, 2, 1, 1, 9, 8},
    {"sign and digits apart", "0\n- 5\n3\n8\n", 0, 1, 2, 1, 0, 3, 8},
    {"two signs", "0\n+-5\n3\n8\n", 0, 1, 2, 1, 0, 3, 8},
    {"leading zeros are decimal", "0000\n010\n0008\n", 0, 1, 1, 1, 0, 10, 8},
    {"formula out of range", "-1\n2\n2147483647\n-2147483648\n1\n8\n8\n", 0, 5, 1, 1, 1, 8, 8},
    {"formula too large for its type", "2147483648 1\n-2147483649 1\n4294967296\n0\n1\n8\n", 0, 4, 1, 1, 0, 1, 8},
    {"places below each formula's first", "0\n0\n1\n8\n", 0, 1, 2, 1, 0, 1, 8},
    {"Bellard below place 8", "1\n0\n1\n7\n8\n8\n", 0, 1, 4, 1, 1, 8, 8},
    {"places beyond each formula's last", "0\n17592186044416\n35184372088831\n2\n8\n", 0, 1, 3, 1, 0, 2, 8},
    {"Bellard beyond its last place", "1\n35184372088832\n9\n8\n", 0, 1, 2, 1, 1, 9, 8},
    {"digit counts out of range", "0\n1\n0\n7\n1025\n18446744073709551615\n16\n", 0, 1, 1, 5, 0, 1, 16},
    {"most digits", "0\n1\n1024\n", 0, 1, 1, 1, 0, 1, 1024},
    {"negative place taken modulo 2^64", "0\n-5\n-1\n4\n-16\n8\n", 0, 1, 3, 2, 0, 4, 8},
    {"negative that wraps into range", "0\n-18446744073709551615\n8\n", 0, 1, 1, 1, 0, 1, 8},
    // Numbers too large for 64 bits: dropped with the rest of their line.
    {"2^64 at the place", "0\n18446744073709551616 3\n5\n8\n", 0, 1, 2, 1, 0, 5, 8},
    {"2^64 - 1 at the place", "0\n18446744073709551615 3\n8\n", 0, 1, 2, 1, 0, 3, 8},
    {"twenty nines at the digits", "0\n1\n99999999999999999999 9\n10\n", 0, 1, 1, 2, 0, 1, 10},
    {"minus 2^64", "0\n-18446744073709551616 2\n6\n8\n", 0, 1, 2, 1, 0, 6, 8},
    {"a megabyte of digits at each prompt",
     digit_line(1 << 20) + "\n0\n" + digit_line(1 << 20) + "\n1\n" + digit_line(1 << 20) + "\n8\n", 0, 2, 2, 2,
     0, 1, 8},
    {"a megabyte of letters and no line end", std::string(1 << 20, 'a'), 1, 2, 0, 0},
    {"ten thousand junk lines", junk_lines(10000) + "0 1 8\n", 0, 10001, 1, 1, 0, 1, 8},
    // Bytes a keyboard does not send.
    {"NUL byte alone", std::string("\0\n0\n1\n8\n", 8), 0, 2, 1, 1, 0, 1, 8},
    {"NUL byte after a number", std::string("0\0\n1\n8\n", 7), 0, 1, 2, 1, 0, 1, 8},
    {"NUL byte inside a number", std::string("0\n1\0" "2\n3\n8\n", 10), 0, 1, 1, 3, 0, 1, 8},
    {"bytes above 127", "\xff\xfe" "0\n0\n1\n8\n", 0, 2, 1, 1, 0, 1, 8},
    // Line ends of other systems.
    {"Windows line ends", "0\r\n1\r\n8\r\n", 0, 1, 1, 1, 0, 1, 8},
    {"old Mac line ends", "1\r12\r9\r", 0, 1, 1, 1, 1, 12, 9},
    {"Windows line end after junk", "x\r\n0\r\n1\r\n8\r\n", 0, 2, 1, 1, 0, 1, 8},
    // Answers split across lines and joined on one line.
    {"all answers on one line", "0 1 8\n", 0, 1, 1, 1, 0, 1, 8},
    {"two answers on one line", "1 8\n9\n", 0, 1, 1, 1, 1, 8, 9},
    {"answers far apart", "\n\n0\n\n\n\n1\n\n\n8\n\n", 0, 1, 1, 1, 0, 1, 8},
    {"rejected values among answers on one line", "2 0 0 1 7 8\n", 0, 2, 2, 2, 0, 1, 8},
    // End of input at every prompt.
    {"end at the place", "0\n", 1, 1, 1, 0},
    {"end at the place after a rejection", "1\n7\n", 1, 1, 2, 0},
    {"end at the digit count", "0\n1\n", 1, 1, 1, 1},
    {"end at the digit count after a rejection", "0\n1\n1025\n", 1, 1, 1, 2},
    {"end inside the place", "0\n12", 1, 1, 1, 1},
    {"end right after the last answer", "0\n1\n8", 0, 1, 1, 1, 0, 1, 8},
    {"end after junk at the digit count", "0\n1\nzzz", 1, 1, 1, 2},
};

// Test names and failure messages show the case by its name, not as bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class HostileInput : public testing::TestWithParam<Case> {};

TEST_P(HostileInput, EndsInTimeAndAcceptsOnlyWhatItShould) {
  const Case& c = GetParam();
  // The time limit only guards against a hang: each run takes well under a second.
  const tly_bbp_program_run run = tly_bbp_run_program(c.input, 20);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, c.exit_code);

  const Accepted a = read_back(run.output);
  EXPECT_EQ(a.formula_prompts, c.formula_prompts);
  EXPECT_EQ(a.start_prompts, c.start_prompts);
  EXPECT_EQ(a.digits_prompts, c.digits_prompts);

  if (c.exit_code != 0) {
    EXPECT_NE(run.output.find("\nInput ended before all answers were given.\n"), std::string::npos);
    EXPECT_EQ(a.terms, -1) << "computed without all answers";
    return;
  }
  // Whatever was typed, an accepted run lies within the limits...
  ASSERT_TRUE(a.formula == 0 || a.formula == 1) << "formula line: " << a.formula;
  EXPECT_GE(a.start, a.formula == 0 ? 1 : 8);
  EXPECT_LE(a.start, static_cast<int64_t>(a.formula == 0 ? plouffe_last_place : bellard_last_place));
  EXPECT_GE(a.digits, 8);
  EXPECT_LE(a.digits, 1024);
  // ...is the run the input asked for...
  EXPECT_EQ(a.formula, c.formula);
  EXPECT_EQ(a.start, c.start);
  EXPECT_EQ(a.digits, c.digits);
  const uint64_t position = 4 * uint64_t(c.start) - 4, words = (uint64_t(c.digits) + 7) / 8 + 3;
  EXPECT_EQ(a.terms, static_cast<int64_t>(c.formula == 0 ? tly_bbp_Plouffe_term_count(position, words)
                                                          : tly_bbp_Bellard_term_count(position, words)));
  EXPECT_EQ(count(run.output, "Term: "), c.formula == 0 ? 4 : 7);
  // ...and shows the digits of pi.
  EXPECT_EQ(tly_bbp_hex_digits(run.output), tly_bbp_oracle_hex(uint64_t(c.start), uint64_t(c.digits)));
}

std::string case_name(const testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Console, HostileInput, testing::ValuesIn(cases), case_name);

}  // namespace
