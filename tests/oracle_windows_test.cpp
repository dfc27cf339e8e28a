// Whole digit windows of both formulas, computed in-process, against the independent pi oracle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Main/console.h"
#include "formulas/formulas.h"
#include "pi_oracle.h"

namespace {

struct window {
  uint64_t start, digits;
};

const char* const kFormulaNames[] = {"Plouffe", "Bellard"};

// Every hexadecimal digit of the display words (Result words 3 .. words-1, most significant
// last), so the low digits of the last word, which the display leaves out, are checked too.
std::string formula_digits(int formula, window w) {
  const tly_bbp_run_values run = tly_bbp_derive_run_values(w.start, w.digits);
  alignas(16) uint32_t result[131];
  // The formulas report their progress on standard output; only the digits matter here.
  std::cout.flush();
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  if (formula == 0)
    tly_bbp_Pi_Plouffe(result, run.position, run.words, run.block_hint);
  else
    tly_bbp_Pi_Bellard(result, run.position, run.words, run.block_hint);
  std::cout.flush();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);

  static const char hex[] = "0123456789abcdef";
  std::string digits;
  for (uint64_t i = run.words - 1; i >= 3; --i)
    for (int shift = 28; shift >= 0; shift -= 4) digits += hex[(result[i] >> shift) & 0xF];
  return digits;
}

testing::AssertionResult matches_pi(int formula, window w) {
  const std::string got = formula_digits(formula, w);
  const std::string want = tly_bbp_oracle_hex(w.start, 8 * ((w.digits + 7) / 8));
  if (got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return testing::AssertionFailure()
         << kFormulaNames[formula] << " at place " << w.start << " with " << w.digits
         << " digits: first wrong digit at place " << w.start + i << ": got " << got.substr(i, 16)
         << ", pi has " << want.substr(i, 16);
}

// Both formulas where the Bellard formula accepts the place (8 and up), else the Plouffe one.
void expect_windows_match_pi(const std::vector<window>& windows) {
  for (const window& w : windows) {
    EXPECT_TRUE(matches_pi(0, w));
    if (w.start >= 8) {
      EXPECT_TRUE(matches_pi(1, w));
    }
  }
}

// Places below 32 (block_hint 0), covering every Bellard place from 8 to 16, with digit
// counts on both sides of multiples of 8.
TEST(OracleWindows, FirstPlaces) {
  expect_windows_match_pi({{1, 9},    {2, 15},  {3, 1024}, {4, 17},   {5, 8},    {7, 31},
                           {8, 8},    {9, 9},   {10, 1024}, {11, 13}, {12, 64},  {13, 65},
                           {14, 127}, {15, 40}, {16, 1023}, {17, 100}, {24, 57}, {31, 1000}});
}

// Places just below, at and just above multiples of 8 and 32, where block_hint steps.
TEST(OracleWindows, AroundMultiplesOf8And32) {
  expect_windows_match_pi({{32, 8},      {33, 33},     {39, 24},     {40, 15},     {41, 71},
                           {63, 255},    {64, 16},     {65, 1024},   {95, 47},     {96, 96},
                           {97, 129},    {1023, 8},    {1024, 513},  {1025, 63},   {4095, 1024},
                           {4096, 23},   {4097, 65},   {32767, 200}, {32768, 8},   {32769, 999},
                           {65535, 31},  {65536, 1024}, {65537, 9}});
}

// A sweep of places up to 10^5 with digit counts spread over the whole range.
TEST(OracleWindows, SweepTo100000) {
  std::vector<window> windows;
  for (uint64_t i = 0; i < 24; ++i) windows.push_back({37 + 4177 * i, 8 + (173 * i) % 1017});
  windows.push_back({99999, 1024});
  windows.push_back({100000, 1024});
  windows.push_back({100001, 1021});
  expect_windows_match_pi(windows);
}

// Near a million places, and around 2^20.
TEST(OracleWindows, NearAMillion) {
  tly_bbp_oracle_reserve(1048577 + 1024);
  EXPECT_EQ(formula_digits(0, {1000001, 16}).substr(0, 16), "6c65e52cb4593500");
  expect_windows_match_pi({{999999, 1024}, {1000000, 8}, {1000001, 40},
                           {1048575, 33},  {1048576, 9}, {1048577, 64}});
}

}  // namespace
