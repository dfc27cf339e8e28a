// Tests of the two formulas without evaluating a series: term counts, the series each asks for, their combination.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Main/console.h"
#include "engine/pblock.h"
#include "formulas/formulas.h"

namespace {

struct SeriesCall {
  uint64_t cells;
  int32_t alternating;
  uint64_t shift, term_count;
  uint32_t step, multiplier, offset;
  uint64_t block_hint;
  bool operator==(const SeriesCall&) const = default;
};

std::vector<SeriesCall> calls;
std::vector<std::vector<int64_t>> series_values;  // what the i-th call leaves in its accumulator

}  // namespace

// Stands in for the series evaluator of the library (the linker takes this definition first):
// it records what a formula asks for and answers with the values the test chose.
void tly_bbp_pblock(int64_t* out, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t term_count,
                    uint32_t step, uint32_t multiplier, uint32_t offset, uint64_t block_hint) {
  const size_t i = calls.size();
  calls.push_back({cells, alternating, shift, term_count, step, multiplier, offset, block_hint});
  for (uint64_t c = 0; c < cells; ++c) out[c] = i < series_values.size() ? series_values[i][c] : int64_t(c);
}

namespace {

struct FormulaRun {
  std::vector<uint32_t> result;
  std::string text;
};

// One call of formula 0 (Plouffe) or 1 (Bellard), with what it printed.
FormulaRun run_formula(int formula, uint64_t position, uint64_t words, uint64_t block_hint,
                       const std::vector<std::vector<int64_t>>& values = {}) {
  calls.clear();
  series_values = values;
  FormulaRun run{std::vector<uint32_t>(words, 0xDEADBEEF), {}};
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  if (formula == 0)
    tly_bbp_Pi_Plouffe(run.result.data(), position, words, block_hint);
  else
    tly_bbp_Pi_Bellard(run.result.data(), position, words, block_hint);
  std::fflush(stdout);
  run.text = testing::internal::GetCapturedStdout();
  return run;
}

struct CountCase {
  int formula;
  uint64_t start, digits, term_count;
};

TEST(Formulas, TermCountsAndTheirLine) {
  const CountCase cases[] = {
      {0, 1, 8, 48},
      {0, 1, 16, 56},
      {0, 100, 64, 203},
      {0, (uint64_t{1} << 44) - 1, 1024, 17592186045478},
      {1, 8, 8, 31},
      {1, 8, 9, 34},
      {1, (uint64_t{1} << 45) - 1, 1024, 14073748835966},
  };
  for (const CountCase& c : cases) {
    const tly_bbp_run_values v = tly_bbp_derive_run_values(c.start, c.digits);
    const std::string what = std::to_string(c.formula) + " / " + std::to_string(c.start) + " / " +
                             std::to_string(c.digits);
    EXPECT_EQ(c.formula == 0 ? tly_bbp_Plouffe_term_count(v.position, v.words)
                             : tly_bbp_Bellard_term_count(v.position, v.words),
              c.term_count)
        << what;
    const FormulaRun run = run_formula(c.formula, v.position, v.words, v.block_hint);
    EXPECT_EQ(run.text.rfind("Terms Needed = " + std::to_string(c.term_count) + "\n\n\nTerm: 1 / ", 0), 0u)
        << what;
    for (const SeriesCall& call : calls) EXPECT_EQ(call.term_count, c.term_count) << what;
  }
}

TEST(Formulas, PlouffeAsksForItsFourSeriesInOrder) {
  const FormulaRun run = run_formula(0, 0, 4, 777);
  EXPECT_EQ(run.text, "Terms Needed = 48\n\n\nTerm: 1 / 4\nTerm: 2 / 4\nTerm: 3 / 4\nTerm: 4 / 4\n");
  const std::vector<SeriesCall> expected = {
      {4, 0, 2, 48, 4, 8, 1, 777},
      {4, 0, 1, 48, 4, 8, 4, 777},
      {4, 0, 0, 48, 4, 8, 5, 777},
      {4, 0, 0, 48, 4, 8, 6, 777},
  };
  EXPECT_EQ(calls, expected);

  const uint64_t last = (uint64_t{1} << 46) - 8;
  run_formula(0, last, 131, uint64_t{1} << 30);
  ASSERT_EQ(calls.size(), 4u);
  const uint64_t shifts[] = {last + 2, last + 1, last, last};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(calls[i].shift, shifts[i]) << "series " << i + 1;
    EXPECT_EQ(calls[i].cells, 131u);
    EXPECT_EQ(calls[i].block_hint, uint64_t{1} << 30);
  }
}

TEST(Formulas, BellardAsksForItsSevenSeriesInOrder) {
  const FormulaRun run = run_formula(1, 28, 4, 0);
  EXPECT_EQ(run.text,
            "Terms Needed = 31\n\n\nTerm: 1 / 7\nTerm: 2 / 7\nTerm: 3 / 7\nTerm: 4 / 7\nTerm: 5 / 7\n"
            "Term: 6 / 7\nTerm: 7 / 7\n");
  const std::vector<SeriesCall> expected = {
      {4, 1, 30, 31, 10, 10, 1, 0}, {4, 1, 22, 31, 10, 10, 9, 0}, {4, 1, 28, 31, 10, 10, 3, 0},
      {4, 1, 27, 31, 10, 4, 1, 0},  {4, 1, 24, 31, 10, 10, 5, 0}, {4, 1, 24, 31, 10, 10, 7, 0},
      {4, 1, 22, 31, 10, 4, 3, 0},
  };
  EXPECT_EQ(calls, expected);

  const uint64_t last = (uint64_t{1} << 47) - 8;
  run_formula(1, last, 131, 12345);
  ASSERT_EQ(calls.size(), 7u);
  const uint64_t shifts[] = {last + 2, last - 6, last, last - 1, last - 4, last - 4, last - 6};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(calls[i].shift, shifts[i]) << "series " << i + 1;
    EXPECT_EQ(calls[i].block_hint, 12345u);
  }
}

// The value modulo 1 of a 4-cell accumulator, as a 128-bit number.
unsigned __int128 value_128(const std::vector<int64_t>& cells) {
  unsigned __int128 v = 0;
  for (size_t i = 0; i < 4; ++i) v += static_cast<unsigned __int128>(static_cast<__int128>(cells[i])) << (32 * i);
  return v;
}

// The series values are combined with the formula's signs, whatever unnormalised cells the
// evaluator leaves: Plouffe + - - -, Bellard + + - - - - -.
TEST(Formulas, SeriesAreCombinedWithTheirSigns) {
  std::mt19937_64 random(7);
  const int signs[2][7] = {{+1, -1, -1, -1}, {+1, +1, -1, -1, -1, -1, -1}};
  for (int formula = 0; formula < 2; ++formula) {
    const int count = formula == 0 ? 4 : 7;
    for (int round = 0; round < 200; ++round) {
      std::vector<std::vector<int64_t>> values(count, std::vector<int64_t>(4));
      unsigned __int128 expected = 0;
      for (int s = 0; s < count; ++s) {
        // Sums of 32-bit digits from many blocks: non-negative, below 2^55.
        for (int64_t& cell : values[s]) cell = int64_t(random() >> (round % 2 ? 9 : 32));
        expected += signs[formula][s] > 0 ? value_128(values[s]) : -value_128(values[s]);
      }
      const FormulaRun run = run_formula(formula, 28, 4, 0, values);
      for (size_t w = 0; w < 4; ++w)
        ASSERT_EQ(run.result[w], uint32_t(expected >> (32 * w))) << "formula " << formula << " round " << round;
    }
  }
}

// What the formulas ask for must add up to pi: each series summed in long double with the
// scale 2^(shift - position), combined with the formula's signs.
TEST(Formulas, SeriesAddUpToPi) {
  const uint64_t position = 28;
  const int signs[2][7] = {{+1, -1, -1, -1}, {+1, +1, -1, -1, -1, -1, -1}};
  for (int formula = 0; formula < 2; ++formula) {
    run_formula(formula, position, 4, 0);
    long double pi = 0;
    for (size_t s = 0; s < calls.size(); ++s) {
      const SeriesCall& c = calls[s];
      long double sum = 0;
      for (int k = 0; k < 40; ++k) {
        const long double term = std::ldexp(1.0L, int(int64_t(c.shift) - int64_t(position)) - int(c.step) * k) /
                                 (static_cast<long double>(c.multiplier) * k + c.offset);
        sum += c.alternating && k % 2 ? -term : term;
      }
      pi += signs[formula][s] * sum;
    }
    EXPECT_NEAR(double(pi), 3.14159265358979323846, 1e-15) << "formula " << formula;
  }
}

}  // namespace
