// The accumulator, and the formulas without evaluating a series:
// term counts, the series each asks for in order, and their signs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "formulas/run_plan.h"
#include "engine/accumulator.h"
#include "formulas/formulas.h"
#include "formulas/run_values.h"
#include "Main/console.h"
#include "run_program.h"

namespace {

struct series_call {
  uint64_t cells;
  int32_t alternating;
  uint64_t shift, term_count;
  uint32_t step, multiplier, offset;
  uint64_t block_hint;
  bool operator==(const series_call&) const = default;
};
std::vector<series_call> calls;
std::vector<std::vector<int64_t>> series_values;


// A claim source that hands out no block: it records what a formula asks for and answers with
// the values the test chose as the series' sum.
void record_call(void*, const tly_bbp_series_call* c) {
  calls.push_back({c->cells, c->alternating, c->shift, c->term_count, c->step, c->multiplier, c->offset, c->block_hint});
}
void open_none(void*, tly_bbp_block_counters*, int32_t) {}
bool claim_none(void*, tly_bbp_block_counters*, uint64_t*, uint64_t*) { return false; }
uint64_t finish_none(void*, tly_bbp_block_counters*, uint64_t, uint64_t, const int64_t*, uint64_t) { return 0; }
void answer_chosen(void*, int64_t* out, uint64_t cells, bool) {
  const size_t i = calls.size() - 1;
  for (uint64_t c = 0; c < cells; ++c) out[c] = i < series_values.size() ? series_values[i][c] : int64_t(c);
}
const tly_bbp_claim_source chosen_values = {nullptr, record_call, open_none, claim_none, finish_none, answer_chosen};

// The accumulator's own cases: borrows run up and out of the top, carries likewise; the
// formulas' combinations below exercise it on random series values.
TEST(Accumulator, BorrowsAndCarriesLeaveTheTop) {
  const int64_t top = 0xFFFFFFFF;
  std::vector<int64_t> a = {0, 0, 0, 0x80000000}, b = {3 * (top + 1) + 5, 0, 0, 0xC0000000};
  tly_bbp_acc_sub(a.data(), b.data(), 4);
  EXPECT_EQ(a, (std::vector<int64_t>{top - 4, top - 3, top, 0xBFFFFFFF}));
  std::vector<int64_t> cells = {(top + 1) + 7, top, top, 3};
  std::vector<uint32_t> words(4);
  tly_bbp_acc_to_words(words.data(), cells.data(), 4);
  EXPECT_EQ(words, (std::vector<uint32_t>{7, 0, 0, 4}));
}

// Sums of block results carry: any unsigned cells sum to their value modulo 1, so no count
// of blocks can overflow a cell; a sum that wrapped a cell at 2^64 would lose 2^(32(i+2)).
TEST(Accumulator, BlockSumsCarryModuloOne) {
  using u128 = unsigned __int128;
  const auto value = [](const std::vector<int64_t>& cells) {
    u128 v = 0;
    for (size_t i = cells.size(); i-- > 0;) v = (v << 32) + uint64_t(cells[i]);
    return v & ((u128{1} << 96) - 1);
  };
  const std::vector<int64_t> ones(3, 0xFFFFFFFF);
  for (uint64_t n : {1, 2, 3, 1000}) {
    std::vector<int64_t> sum(3, 0);
    for (uint64_t i = 0; i < n; ++i) tly_bbp_acc_add_block(sum.data(), ones.data(), 3);
    EXPECT_EQ(value(sum), u128(n) * ((u128{1} << 96) - 1) & ((u128{1} << 96) - 1)) << n;
  }
  std::mt19937_64 random(11);
  for (int round = 0; round < 1000; ++round) {
    std::vector<int64_t> sum(3), block(3);
    for (int i = 0; i < 3; ++i) {
      sum[i] = int64_t(round % 2 ? ~uint64_t(random() >> 40) : random());  // near 2^64, or anywhere
      block[i] = int64_t(round % 3 ? random() >> 32 : random());
    }
    const u128 expected = (value(sum) + value(block)) & ((u128{1} << 96) - 1);
    tly_bbp_acc_add_block(sum.data(), block.data(), 3);
    ASSERT_EQ(value(sum), expected) << round;
    for (int64_t cell : sum) ASSERT_EQ(uint64_t(cell) >> 32, 0u) << round;
  }
}

std::string run_formula(int formula, uint64_t position, uint64_t words, uint64_t hint, std::vector<uint32_t>* result,
                        const std::vector<std::vector<int64_t>>& values = {}) {
  calls.clear();
  series_values = values;
  result->assign(words, 0xDEADBEEF);
  // The console's term lines, without progress (no block is computed) or times.
  FILE* file = std::tmpfile();
  tly_bbp_engine_run run{};
  run.threads = 1;
  run.variants = tly_bbp_engine_choice;
  run.source = &chosen_values;
  run.callbacks = {file, tly_bbp_console_callbacks.series_start, nullptr, nullptr};
  EXPECT_EQ((formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(result->data(), position, words, hint, run),
            tly_bbp_status_done);
  return tly_bbp_text_of(file);
}

TEST(Formulas, AskForTheirSeriesInOrder) {
  std::vector<uint32_t> result;
  EXPECT_EQ(run_formula(0, 0, 4, 777, &result),
            "Terms Needed = 48\n\n\nTerm: 1 / 4\nTerm: 2 / 4\nTerm: 3 / 4\nTerm: 4 / 4\n");
  EXPECT_EQ(calls, (std::vector<series_call>{{4, 0, 2, 48, 4, 8, 1, 777}, {4, 0, 1, 48, 4, 8, 4, 777},
                                              {4, 0, 0, 48, 4, 8, 5, 777}, {4, 0, 0, 48, 4, 8, 6, 777}}));
  EXPECT_EQ(run_formula(1, 28, 4, 0, &result),
            "Terms Needed = 31\n\n\nTerm: 1 / 7\nTerm: 2 / 7\nTerm: 3 / 7\nTerm: 4 / 7\nTerm: 5 / 7\n"
            "Term: 6 / 7\nTerm: 7 / 7\n");
  EXPECT_EQ(calls, (std::vector<series_call>{{4, 1, 30, 31, 10, 10, 1, 0}, {4, 1, 22, 31, 10, 10, 9, 0},
                                              {4, 1, 28, 31, 10, 10, 3, 0}, {4, 1, 27, 31, 10, 4, 1, 0},
                                              {4, 1, 24, 31, 10, 10, 5, 0}, {4, 1, 24, 31, 10, 10, 7, 0},
                                              {4, 1, 22, 31, 10, 4, 3, 0}}));
  // Term counts and shifts at other places, the last ones included.
  const struct {
    int formula;
    uint64_t start, digits, terms, first_shift, block_hint;
  } cases[] = {{0, 1, 16, 56, 2, 0},
               {0, 100, 64, 203, 398, 3},
               {0, (1ull << 44) - 1, 1024, 17592186045478, (1ull << 46) - 6, 1ull << 30},
               {1, 8, 9, 34, 30, 0},
               {1, (1ull << 35) - 1, 17, 13743895381, (1ull << 37) - 6, (1ull << 30) - 1},
               {1, (1ull << 45) - 1, 1024, 14073748835966, (1ull << 47) - 6, 1ull << 30}};
  for (const auto& c : cases) {
    const tly_bbp_run_values v = tly_bbp_derive_run_values(c.start, c.digits);
    const std::string text = run_formula(c.formula, v.position, v.words, v.block_hint, &result);
    EXPECT_EQ(text.substr(0, text.find('\n')), "Terms Needed = " + std::to_string(c.terms)) << c.start;
    EXPECT_EQ(calls[0].shift, c.first_shift);
    EXPECT_EQ(calls.back().shift, v.position - (c.formula == 0 ? 0 : 6));
    EXPECT_EQ(calls.back().term_count, c.terms);
    EXPECT_EQ(calls.back().block_hint, c.block_hint);
    EXPECT_EQ(calls.back().cells, (c.digits + 7) / 8 + 3);
  }
}

// The truncation error's reach at the last places the console takes and the far ones: three
// guard words hold it with a clean word to spare up to about 2^52, four beyond.
TEST(Formulas, GuardWordsCoverTheTruncationError) {
  const struct {
    uint64_t place, bits[2], guard_words[2];  // Plouffe, Bellard; bits 0: not checked
  } cases[] = {{(1ull << 44) - 1, {51, 56}, {3, 3}}, {1ull << 52, {59, 64}, {3, 3}}, {1ull << 53, {60, 65}, {3, 4}},
               {(1ull << 60) - 1, {67, 72}, {4, 4}}, {(1ull << 61) - 1, {0, 73}, {4, 4}}};
  for (const auto& c : cases) {
    const tly_bbp_run_values v = tly_bbp_derive_run_values(c.place, 1024);
    const uint64_t terms[2] = {tly_bbp_Plouffe_term_count(v.position, v.words),
                               tly_bbp_Bellard_term_count(v.position, v.words)};
    for (int f = 0; f < 2; ++f) {
      const uint32_t step = f ? 10 : 4;
      const int series = f ? 7 : 4;
      if (c.bits[f]) { EXPECT_EQ(tly_bbp_truncation_bits(terms[f], step, series), c.bits[f]) << c.place; }
      EXPECT_EQ(tly_bbp_guard_words(terms[f], step, series), c.guard_words[f]) << c.place;
    }
    // A command-line run takes the words of the formula that needs more.
    EXPECT_EQ(tly_bbp_command_line_run_values(c.place, 1024).words, v.words + c.guard_words[1] - 3) << c.place;
  }
}

// Whatever unnormalised cells the evaluator leaves, the series are combined with the
// formula's signs: Plouffe + - - -, Bellard + + - - - - -.
TEST(Formulas, SeriesAreCombinedWithTheirSigns) {
  const int signs[2][7] = {{+1, -1, -1, -1}, {+1, +1, -1, -1, -1, -1, -1}};
  std::mt19937_64 random(7);
  std::vector<uint32_t> result;
  for (int formula = 0; formula < 2; ++formula) {
    for (int round = 0; round < 200; ++round) {
      std::vector<std::vector<int64_t>> values(formula == 0 ? 4 : 7, std::vector<int64_t>(4));
      unsigned __int128 expected = 0;
      for (size_t s = 0; s < values.size(); ++s) {
        unsigned __int128 v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 32) + uint64_t(values[s][i] = int64_t(random() >> (round % 2 ? 9 : 32)));
        expected += signs[formula][s] > 0 ? v : -v;
      }
      run_formula(formula, 28, 4, 0, &result, values);
      for (int w = 0; w < 4; ++w) ASSERT_EQ(result[w], uint32_t(expected >> (32 * w))) << formula << "/" << round;
    }
  }
}

}  // namespace
