// Tests of the digit display: the exact binary and hexadecimal blocks for Result words of pi.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Main/console.h"
#include "pi_oracle.h"

namespace {

// Result words whose display words hold `hex` (most significant digit first, a whole number
// of words); the guard words hold a pattern that must never be printed.
std::vector<uint32_t> result_words(const std::string& hex) {
  const size_t n = hex.size() / 8;
  std::vector<uint32_t> result(n + 3, 0xA5C3E1F7);
  for (size_t i = 0; i < n; ++i) result[n + 2 - i] = uint32_t(std::stoul(hex.substr(8 * i, 8), nullptr, 16));
  return result;
}

std::string printed(const std::vector<uint32_t>& result, uint64_t digits, uint64_t position) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  tly_bbp_print_digits(result.data(), digits, position);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// One block as a reader sees it: lines of `line` characters in space-led groups of `group`,
// the caret line and an empty line after the first line, and an empty line at the end.
std::string block(const std::string& heading, const std::string& chars, size_t group, size_t line) {
  std::string text = heading;
  for (size_t start = 0; start < chars.size(); start += line) {
    const std::string row = chars.substr(start, line);
    for (size_t g = 0; g < row.size(); g += group) text.append(" ").append(row, g, group);
    if (row.size() == line) text += "\n";
    if (start == 0) text += row.size() == line ? " ^\n\n" : "\n ^";
  }
  return text + "\n\n";
}

std::string bits_of(const std::string& hex) {
  static const char* nibbles[16] = {"0000", "0001", "0010", "0011", "0100", "0101", "0110", "0111",
                                    "1000", "1001", "1010", "1011", "1100", "1101", "1110", "1111"};
  std::string bits;
  for (char c : hex) bits += nibbles[c <= '9' ? c - '0' : c - 'a' + 10];
  return bits;
}

const std::string pi_hex_72 =
    "243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c89452821e6";

TEST(Display, WorkedExamplesVerbatim) {
  // 8 digits: one full binary line; the hexadecimal line never completes.
  EXPECT_EQ(printed(result_words(pi_hex_72.substr(0, 8)), 8, 0),
            "Binary Digits starting from: 2^-1\n"
            " 0010 0100 0011 1111 0110 1010 1000 1000\n"
            " ^\n"
            "\n"
            "\n"
            "\n"
            "Hexadecimal Digits starting from: 16^-1\n"
            " 243f6a88\n"
            " ^\n"
            "\n");

  // 9 digits: the lower 28 bits of the second word are not shown.
  EXPECT_EQ(printed(result_words(pi_hex_72.substr(0, 16)), 9, 0),
            "Binary Digits starting from: 2^-1\n"
            " 0010 0100 0011 1111 0110 1010 1000 1000\n"
            " ^\n"
            "\n"
            " 1000\n"
            "\n"
            "Hexadecimal Digits starting from: 16^-1\n"
            " 243f6a88 8\n"
            " ^\n"
            "\n");

  // 72 digits: the ninth group stands alone after the caret line and the empty line.
  std::string binary = "Binary Digits starting from: 2^-1\n";
  const std::string bits = bits_of(pi_hex_72);
  for (size_t line = 0; line < 9; ++line) {
    for (size_t g = 0; g < 8; ++g) binary.append(" ").append(bits, 32 * line + 4 * g, 4);
    binary += line == 0 ? "\n ^\n\n" : "\n";
  }
  EXPECT_EQ(printed(result_words(pi_hex_72), 72, 0),
            binary + "\n\n" +
                "Hexadecimal Digits starting from: 16^-1\n"
                " 243f6a88 85a308d3 13198a2e 03707344 a4093822 299f31d0 082efa98 ec4e6c89\n"
                " ^\n"
                "\n"
                " 452821e6\n"
                "\n");
}

TEST(Display, EveryLengthLaysOutItsLines) {
  const uint64_t counts[] = {8, 9, 15, 31, 32, 33, 63, 64, 65, 72, 127, 128, 129, 1016, 1023, 1024};
  const std::string pi_hex = tly_bbp_oracle_hex(1, 1024);
  for (uint64_t digits : counts) {
    const std::string words_hex = pi_hex.substr(0, (digits + 7) / 8 * 8);
    const std::string shown = pi_hex.substr(0, digits);
    const std::string expected = block("Binary Digits starting from: 2^-1\n", bits_of(shown), 4, 32) +
                                 block("Hexadecimal Digits starting from: 16^-1\n", shown, 8, 64);
    EXPECT_EQ(printed(result_words(words_hex), digits, 0), expected) << digits << " digits";
  }
}

TEST(Display, FullWindowHasAllItsLines) {
  const std::string pi_hex = tly_bbp_oracle_hex(1, 1024);
  const std::string text = printed(result_words(pi_hex), 1024, 0);
  const size_t hex_heading = text.find("Hexadecimal Digits starting from: 16^-1\n");
  ASSERT_NE(hex_heading, std::string::npos);
  size_t binary_lines = 0, hex_lines = 0;
  std::string hex_digits;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string row = text.substr(at, end - at);
    if (row.size() == 8 * 5 && at < hex_heading) ++binary_lines;
    if (row.size() == 8 * 9 && at > hex_heading) {
      ++hex_lines;
      for (char c : row)
        if (c != ' ') hex_digits += c;
    }
  }
  EXPECT_EQ(binary_lines, 128u);
  EXPECT_EQ(hex_lines, 16u);
  EXPECT_EQ(hex_digits, pi_hex);
}

struct HeadingCase {
  uint64_t start;
  const char* binary, *hexadecimal;
};

TEST(Display, HeadingsNameThePlaceOfTheFirstDigit) {
  const HeadingCase cases[] = {
      {1, "2^-1\n", "16^-1\n"},
      {8, "2^-29\n", "16^-8\n"},
      {100, "2^-397\n", "16^-100\n"},
      {(uint64_t{1} << 44) - 1, "2^-70368744177657\n", "16^-17592186044415\n"},
      {(uint64_t{1} << 45) - 1, "2^-140737488355321\n", "16^-35184372088831\n"},
  };
  const std::vector<uint32_t> result = result_words("0123abcd");
  for (const HeadingCase& c : cases) {
    const std::string text = printed(result, 8, 4 * c.start - 4);
    EXPECT_EQ(text.rfind(std::string("Binary Digits starting from: ") + c.binary, 0), 0u) << c.start;
    EXPECT_NE(text.find(std::string("\n\nHexadecimal Digits starting from: ") + c.hexadecimal + " 0123abcd\n"),
              std::string::npos)
        << c.start;
  }
}

}  // namespace
