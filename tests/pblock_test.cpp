// Tests of the series evaluator: its sum over claimed blocks, its team, progress text and `out`.
#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "engine/kernel.h"
#include "engine/pblock.h"
#include "exact/block_replay.h"
#include "exact/engine_memory.h"
#include "exact/exact_series.h"
#include "formulas/formulas.h"

namespace {

struct series {
  uint64_t cells;
  int32_t alternating;
  uint64_t shift, term_count;
  uint32_t step, multiplier, offset;
};

// A formula's series for `place`, as the formulas call the evaluator.
series formula_series(const tly_bbp_series& s, uint64_t place, uint64_t cells, bool bellard) {
  const uint64_t position = 4 * place - 4;
  const uint64_t terms =
      bellard ? tly_bbp_Bellard_term_count(position, cells) : tly_bbp_Plouffe_term_count(position, cells);
  return {cells, s.alternating, position + s.power, terms, s.step, s.multiplier, s.offset};
}

// Standard output of `run`, taken through a temporary file.
template <typename F>
std::string captured_stdout(F run) {
  std::fflush(stdout);
  FILE* file = std::tmpfile();
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(file), STDOUT_FILENO);
  run();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  std::rewind(file);
  for (int ch; (ch = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(ch));
  std::fclose(file);
  return text;
}

struct evaluation {
  std::vector<int64_t> out;
  std::string text;
};

// The evaluator's result, with `out` holding `fill` on entry, and what it printed.
evaluation evaluate(const series& s, uint64_t block_hint, int64_t fill) {
  tly_bbp_fenced_words out(s.cells, static_cast<uint64_t>(fill));
  evaluation e;
  e.text = captured_stdout([&] {
    tly_bbp_pblock(reinterpret_cast<int64_t*>(out.data), s.cells, s.alternating, s.shift, s.term_count, s.step,
                   s.multiplier, s.offset, block_hint);
  });
  EXPECT_TRUE(out.fences_intact()) << "wrote outside out";
  e.out.assign(out.data, out.data + s.cells);
  return e;
}

// The same evaluation on a team of one thread although it asks for every processor: inside
// an active parallel region with nesting off, its own region gets one thread.
evaluation evaluate_on_one_thread(const series& s, uint64_t block_hint) {
  const int levels = omp_get_max_active_levels();
  omp_set_max_active_levels(1);
  evaluation e;
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) e = evaluate(s, block_hint, -1);
  }
  omp_set_max_active_levels(levels);
  return e;
}

// The kernel over each block a team of `team` threads claims, the block results added cell
// by cell as the evaluator's accumulators add them.
std::vector<int64_t> kernel_over_claims(const series& s, int32_t team, uint64_t block_hint) {
  const uint64_t initial = tly_bbp_initial_block_size(omp_get_num_procs(), s.term_count, block_hint);
  std::vector<int64_t> sum(s.cells, 0), block(s.cells);
  tly_bbp_fenced_words scratch(8 * s.cells + 8);
  for (const tly_bbp_claimed_block& b : tly_bbp_replay_claims(s.term_count, team, initial)) {
    tly_bbp_kernel(block.data(), s.cells, s.alternating, s.shift, b.first, b.last, s.step, s.multiplier, s.offset,
                   scratch.data);
    for (uint64_t i = 0; i < s.cells; ++i)
      sum[i] = static_cast<int64_t>(static_cast<uint64_t>(sum[i]) + static_cast<uint64_t>(block[i]));
  }
  return sum;
}

// The team the evaluator gets when nothing limits it.
int32_t full_team() {
  const int limit = omp_get_thread_limit();
  return omp_get_num_procs() < limit ? omp_get_num_procs() : limit;
}

// The progress values, in order, of text that must read: per block "\r", 79 spaces, "\r",
// "Progress: <value>%", and at the end "    Time: <seconds>\n".
::testing::AssertionResult progress_values(const std::string& text, std::vector<std::string>* values) {
  static const std::regex report("\r {79}\rProgress: ([0-9.e+-]+)%");
  static const std::regex time_line("    Time: [0-9.e+-]+\n");
  size_t at = 0;
  std::smatch match;
  while (std::regex_search(text.begin() + at, text.end(), match, report, std::regex_constants::match_continuous)) {
    values->push_back(match[1]);
    at += match.length(0);
  }
  if (!std::regex_match(text.begin() + at, text.end(), time_line))
    return ::testing::AssertionFailure() << "unexpected text after " << values->size() << " reports: \""
                                         << text.substr(at) << "\"";
  return ::testing::AssertionSuccess();
}

// Several blocks of 4,194,304 terms and more: about 36 million terms.
const series plouffe_multi = formula_series(tly_bbp_Plouffe_series[0], 36000001, 4, false);
const series bellard_multi = formula_series(tly_bbp_Bellard_series[0], 90000001, 4, true);

TEST(Pblock, SumOfTheClaimedBlocksWithTheirProgress) {
  if (omp_get_dynamic()) GTEST_SKIP() << "the runtime may shrink the team: its blocks are unknown";
  ASSERT_GT(plouffe_multi.term_count, 8 * 4194304u);
  const evaluation e = evaluate(plouffe_multi, 0, 0x5A5A5A5A5A5A5A5A);
  EXPECT_EQ(e.out, kernel_over_claims(plouffe_multi, full_team(), 0));

  std::vector<std::string> values;
  ASSERT_TRUE(progress_values(e.text, &values));
  const auto blocks =
      tly_bbp_replay_claims(plouffe_multi.term_count, full_team(),
                            tly_bbp_initial_block_size(omp_get_num_procs(), plouffe_multi.term_count, 0));
  ASSERT_EQ(values.size(), blocks.size());
  for (size_t i = 1; i < values.size(); ++i) EXPECT_LT(std::stod(values[i - 1]), std::stod(values[i]));
  EXPECT_EQ(values.back(), "100");
}

TEST(Pblock, HintedBlockSizesOnAnAlternatingSeries) {
  // With the hint the first blocks are 8,388,608 terms long; an alternating series.
  if (omp_get_dynamic()) GTEST_SKIP() << "the runtime may shrink the team: its blocks are unknown";
  const uint64_t hint = uint64_t{1} << 30;
  ASSERT_GT(tly_bbp_initial_block_size(omp_get_num_procs(), bellard_multi.term_count, hint), 4194304u);
  const evaluation e = evaluate(bellard_multi, hint, -1);
  EXPECT_EQ(e.out, kernel_over_claims(bellard_multi, full_team(), hint));
  std::vector<std::string> values;
  ASSERT_TRUE(progress_values(e.text, &values));
  EXPECT_EQ(values.back(), "100");
}

TEST(Pblock, TeamOfOneThreadSumsOnlyItsOwnAccumulator) {
  const evaluation e = evaluate_on_one_thread(plouffe_multi, 0);
  EXPECT_EQ(e.out, kernel_over_claims(plouffe_multi, 1, 0));
  // One thread reports every block in claim order.
  std::vector<std::string> values;
  ASSERT_TRUE(progress_values(e.text, &values));
  std::vector<std::string> expected;
  uint64_t done = 0;
  for (const tly_bbp_claimed_block& b : tly_bbp_replay_claims(plouffe_multi.term_count, 1, 4194304)) {
    done += b.last - b.first;
    expected.push_back(tly_bbp_progress_text(done, plouffe_multi.term_count));
  }
  EXPECT_EQ(values, expected);
}

TEST(Pblock, OneBlockSeriesIsTheExactSumWithinTruncation) {
  // A whole formula series in one block: one report of 100, and the value within two units
  // of the last digit per term (2^(step+1) for even lanes) of the exact sum.
  for (bool bellard : {false, true}) {
    const tly_bbp_series& s = bellard ? tly_bbp_Bellard_series[3] : tly_bbp_Plouffe_series[1];
    const series one = formula_series(s, 100001, 7, bellard);
    const evaluation e = evaluate(one, 3125, 12345);
    std::vector<std::string> values;
    ASSERT_TRUE(progress_values(e.text, &values));
    EXPECT_EQ(values, std::vector<std::string>{"100"});

    std::vector<uint32_t> words(one.cells);
    uint64_t carry = 0;
    for (uint64_t i = 0; i < one.cells; ++i) {
      carry += static_cast<uint64_t>(e.out[i]);
      words[i] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    const std::vector<uint32_t> exact = tly_bbp_exact_series(one.cells, one.alternating, one.shift, 0, one.term_count,
                                                             one.step, one.multiplier, one.offset);
    const int64_t diff = tly_bbp_exact_difference(words.data(), exact.data(), one.cells);
    const int64_t allowance = static_cast<int64_t>(one.term_count) << (one.step + 1);
    EXPECT_LE(diff < 0 ? -diff : diff, allowance) << (bellard ? "Bellard" : "Plouffe");
  }
}

}  // namespace
