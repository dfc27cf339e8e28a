// The console front end: the dialogue's limits and bad input, the digit display, and whole
// transcripts of the program against checked copies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Main/console.h"
#include "engine/engine.h"
#include "cli/display.h"
#include "exact.h"
#include "run_program.h"

namespace {

const std::string menu_end = "  1  -  Bellard\n\n";

std::string repeated(const std::string& text, int times) {
  std::string all;
  while (times-- > 0) all += text;
  return all;
}

// What the dialogue prints after the menu, each prompt shown the given number of times; a
// count of 0 leaves out that prompt and what follows, and input that ended leaves no line ends.
std::string dialogue_text(int formula, int formula_prompts, int start_prompts, int digits_prompts, bool ended) {
  std::string text = repeated("Formula = ", formula_prompts);
  if (start_prompts == 0) return text + (ended ? "" : "\n\n");
  text += formula == 0 ? "\n\nStart from which hexadecimal place? (limit: 2^44 - 1)\n"
                       : "\n\nStart from which hexadecimal place? (limit: 2^45 - 1)\n";
  text += repeated("Starting Digit = ", start_prompts);
  if (digits_prompts == 0) return text + (ended ? "" : "\n\n");
  text += "\n\nHow many digits would you like to view? (limit: 1024)\n" + repeated("Digits = ", digits_prompts);
  return text + (ended ? "" : "\n\n");
}

struct dialogue_case {
  std::string input;
  int formula;  // the answers accepted; start 0 when the input ends first
  uint64_t start, digits;
  int prompts[3];
};

const dialogue_case cases[] = {
    // The limits of every prompt; negative numbers are taken modulo 2^64.
    {"-1\n2\n-2147483648\n2147483647\n0\n0\n17592186044416\n1\n7\n1025\n0\n-5\n8\n", 0, 1, 8, {5, 3, 5}},
    {"1\n0\n7\n35184372088832\n-5\n8\n1024\n", 1, 8, 1024, {1, 5, 1}},
    {"0\n17592186044415\n8\n", 0, 17592186044415, 8, {1, 1, 1}},
    {"1\n35184372088831\n8\n", 1, 35184372088831, 8, {1, 1, 1}},
    {"0\n-18446744073709551615\n9\n", 0, 1, 9, {1, 1, 1}},
    // Text that is no number, or too large for its type, is dropped with the rest of its line.
    {"abc 1\n2147483648 1\n-2147483649 1\n18446744073709551616\n1\n8\n8\n", 1, 8, 8, {5, 1, 1}},
    {"5abc 1\n0\n1\n8\n", 0, 1, 8, {3, 1, 1}},
    {"0\nxyz 5\n18446744073709551616 7\n18446744073709551615 3\n8\n", 0, 3, 8, {1, 4, 1}},
    {"0\n1\n!! 9\n99999999999999999999 12\n11\n", 0, 1, 11, {1, 1, 3}},
    {"0x10\n1\n8\n", 0, 1, 8, {1, 2, 1}},
    {"1e3\n8\n8\n", 1, 8, 8, {1, 2, 1}},
    {"1.5\n9\n8\n", 1, 9, 8, {1, 2, 1}},
    {"0\n+-5\n+5\n0010\n", 0, 5, 10, {1, 2, 1}},
    {std::string("0\0\n1\n8\n", 7), 0, 1, 8, {1, 2, 1}},
    {std::string("\0\xff\n0\n1\0" "2\n3\n8\n", 13), 0, 1, 8, {2, 1, 3}},
    {std::string(1 << 20, '7') + "\n0\n1\n" + std::string(1 << 20, 'x') + "\n8\n", 0, 1, 8, {2, 1, 2}},
    {repeated("x\n", 10000) + "0 1 8\n", 0, 1, 8, {10001, 1, 1}},
    // White space, line ends of other systems, answers sharing a line.
    {"  \n\t1\v\f 8 \r\n 1024", 1, 8, 1024, {1, 1, 1}},
    {"1\r12\r9\r", 1, 12, 9, {1, 1, 1}},
    {"2 0 0 1 7 8\n", 0, 1, 8, {2, 2, 2}},
    // The input ends before an answer at each prompt, after text or after a rejected value.
    {"", 0, 0, 0, {1, 0, 0}},
    {"2\n", 0, 0, 0, {2, 0, 0}},
    {std::string(1 << 20, 'a'), 0, 0, 0, {2, 0, 0}},
    {"1\n7 \n", 1, 0, 0, {1, 2, 0}},
    {"0\n12", 0, 0, 0, {1, 1, 1}},
    {"0\n1\n1025", 0, 0, 0, {1, 1, 2}},
    {"0\n1\nxyz\n", 0, 0, 0, {1, 1, 2}},
};

TEST(Dialogue, LimitsBadInputAndEndOfInput) {
  for (const dialogue_case& c : cases) {
    std::istringstream in(c.input);
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    int32_t formula = -7;
    uint64_t start = 7, digits = 7;
    const bool complete = tly_bbp_dialogue(in, out, &formula, &start, &digits);
    std::fclose(out);
    const std::string printed(buffer, size), what = c.input.substr(0, 40);
    std::free(buffer);
    const std::string text = printed.substr(printed.find(menu_end) + menu_end.size());
    EXPECT_EQ(complete, c.start != 0) << what;
    EXPECT_EQ(text, dialogue_text(c.formula, c.prompts[0], c.prompts[1], c.prompts[2], c.start == 0)) << what;
    if (c.start == 0) continue;
    EXPECT_EQ(formula, c.formula) << what;
    EXPECT_EQ(start, c.start) << what;
    EXPECT_EQ(digits, c.digits) << what;
  }
}

// --- The digit display -------------------------------------------------------------------------

std::string printed(const std::string& hex, uint64_t digits, uint64_t position) {
  // Display words hold `hex`; the guard words below them a pattern that must never show.
  const size_t n = hex.size() / 8;
  std::vector<uint32_t> result(n + 3, 0xA5C3E1F7);
  for (size_t i = 0; i < n; ++i) result[n + 2 - i] = uint32_t(std::stoul(hex.substr(8 * i, 8), nullptr, 16));
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  tly_bbp_print_digits(result.data(), digits, position);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// One block as a reader sees it: lines of `line` characters in space-led groups of `group`,
// the caret line and an empty line after the first line, an empty line at the end.
std::string block(const std::string& heading, const std::string& chars, size_t group, size_t line) {
  std::string text = heading;
  for (size_t at = 0; at < chars.size(); at += line) {
    const std::string row = chars.substr(at, line);
    for (size_t g = 0; g < row.size(); g += group) text.append(" ").append(row, g, group);
    if (row.size() == line) text += "\n";
    if (at == 0) text += row.size() == line ? " ^\n\n" : "\n ^";
  }
  return text + "\n\n";
}

TEST(Display, BlocksOfEveryLengthAndTheirHeadings) {
  EXPECT_EQ(printed("243f6a8885a308d3", 9, 0),
            "Binary Digits starting from: 2^-1\n"
            " 0010 0100 0011 1111 0110 1010 1000 1000\n ^\n\n 1000\n\n"
            "Hexadecimal Digits starting from: 16^-1\n 243f6a88 8\n ^\n\n");
  const std::string pi = tly_bbp_oracle_hex(1, 1024);
  for (uint64_t digits : {8, 15, 31, 32, 33, 63, 64, 65, 72, 127, 128, 129, 1016, 1023, 1024}) {
    const std::string shown = pi.substr(0, digits);
    std::string bits;
    for (char c : shown)
      for (int b = 3, v = c <= '9' ? c - '0' : c - 'a' + 10; b >= 0; --b) bits += (v >> b) & 1 ? '1' : '0';
    EXPECT_EQ(printed(pi.substr(0, (digits + 7) / 8 * 8), digits, 0),
              block("Binary Digits starting from: 2^-1\n", bits, 4, 32) +
                  block("Hexadecimal Digits starting from: 16^-1\n", shown, 8, 64))
        << digits << " digits";
  }
  const struct {
    uint64_t start;
    const char *binary, *hexadecimal;
  } headings[] = {{8, "2^-29\n", "16^-8\n"},
                  {(1ull << 44) - 1, "2^-70368744177657\n", "16^-17592186044415\n"},
                  {(1ull << 45) - 1, "2^-140737488355321\n", "16^-35184372088831\n"}};
  for (const auto& h : headings) {
    const std::string text = printed("0123abcd", 8, 4 * h.start - 4);
    EXPECT_EQ(text.rfind(std::string("Binary Digits starting from: ") + h.binary, 0), 0u) << h.start;
    EXPECT_NE(text.find(std::string("\n\nHexadecimal Digits starting from: ") + h.hexadecimal + " 0123abcd\n"),
              std::string::npos)
        << h.start;
  }
}

// Whole piped runs byte for byte (times masked), taken on the baseline variant: the banner
// names the variant in use.
TEST(Transcript, PipedRunsPrintExactlyTheCheckedText) {
  const char* const runs[][2] = {{"0\n1\n8\n", "plouffe_place1_digits8.txt"},
                                 {"1\n8\n9\n", "bellard_place8_digits9.txt"},
                                 {"0\n1\n72\n", "plouffe_place1_digits72.txt"}};
  for (const auto& [input, file] : runs) {
    std::ifstream golden(std::string(TLY_BBP_GOLDEN_DIR) + "/" + file, std::ios::binary);
    std::ostringstream text;
    text << golden.rdbuf();
    std::string expected = text.str();
    const size_t at = expected.find("x64 SSE4.1");
    ASSERT_NE(at, std::string::npos) << file;
    expected.replace(at, 10, tly_bbp_active_variant(tly_bbp_engine_choice)->name);
    const tly_bbp_program_run run = tly_bbp_run_program(input, 30);
    EXPECT_EQ(run.exit_code, 0) << file;
    EXPECT_EQ(tly_bbp_mask_times(run.output), expected) << file;
  }
}

}  // namespace
