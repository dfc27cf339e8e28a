// One series: the block kernel against exact sums with every variant, block sizes and
// claims, and the evaluator's sum over the claimed blocks with its progress text.
#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/pblock.h"
#include "engine/accumulator.h"
#include "exact.h"
#include "run_program.h"
#include "formulas/formulas.h"
#include "library/estimate.h"
#include "Main/console.h"

namespace {

// The variant the kernel tests run with.
tly_bbp_variant_policy kernel_policy = tly_bbp_engine_choice;

struct block {
  uint64_t cells;
  int32_t alternating;
  uint64_t shift, first, last;
  uint32_t step, multiplier, offset;
};

block series_block(const tly_bbp_series& s, uint64_t cells, uint64_t shift, uint64_t first, uint64_t last) {
  return {cells, s.alternating, shift, first, last, s.step, s.multiplier, s.offset};
}

// The kernel's result with `fill` in its arrays beforehand, checked to stay inside them:
// the result's `cells` cells and cells * 64 bytes of scratch.
std::vector<uint32_t> run_kernel(const block& b, uint64_t fill) {
  std::vector<uint64_t> result(b.cells + 1, fill), scratch(8 * b.cells + 5, fill);
  uint64_t* rows = scratch.data() + (reinterpret_cast<uintptr_t>(scratch.data()) % 32 == 0 ? 2 : 4);
  tly_bbp_kernel(reinterpret_cast<int64_t*>(result.data()), b.cells, b.alternating, b.shift, b.first, b.last, b.step,
                 b.multiplier, b.offset, rows, kernel_policy);
  EXPECT_EQ(result[b.cells], fill);
  EXPECT_EQ(rows[-1], fill);
  EXPECT_EQ(rows[8 * b.cells], fill);
  std::vector<uint32_t> words(b.cells);
  for (uint64_t i = 0; i < b.cells; ++i) {
    EXPECT_LT(result[i], uint64_t{1} << 32) << "cell " << i;
    words[i] = static_cast<uint32_t>(result[i]);
  }
  return words;
}

// Within the truncation of its terms, whatever its arrays held: less than 2 units of cell 0
// per term, 2^(step+1) for an even lane of a group, below for added and above for subtracted terms.
testing::AssertionResult matches_exact(const block& b) {
  static std::map<std::tuple<uint64_t, int32_t, uint64_t, uint64_t, uint64_t, uint32_t, uint32_t, uint32_t>,
                  std::vector<uint32_t>>
      cache;
  auto [at, fresh] = cache.try_emplace({b.cells, b.alternating, b.shift, b.first, b.last, b.step, b.multiplier, b.offset});
  if (fresh) at->second = tly_bbp_exact_series(b.cells, b.alternating, b.shift, b.first, b.last, b.step, b.multiplier, b.offset);
  const std::vector<uint32_t> got = run_kernel(b, 0);
  uint64_t grouped_end = b.first;
  while (grouped_end + 7 < b.last && uint64_t{b.step} * (grouped_end + 7) < b.shift) grouped_end += 8;
  int64_t below = 1, above = 1;  // the reference's own unit
  for (uint64_t k = b.first; k < b.last; ++k)
    ((b.alternating && (k - b.first) % 2) ? above : below) +=
        k < grouped_end && (k - b.first) % 2 == 0 ? int64_t{2} << b.step : 2;
  const int64_t diff = tly_bbp_exact_difference(got.data(), at->second.data(), b.cells);
  if (run_kernel(b, ~uint64_t{0}) == got && diff >= -below && diff <= above) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "result - exact = " << diff << " (cells " << b.cells << ", alternating "
                                     << b.alternating << ", shift " << b.shift << ", [" << b.first << ", " << b.last
                                     << "), step " << b.step << ", " << b.multiplier << "k+" << b.offset << ")";
}

class Kernel : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!tly_bbp_use_variant(&kernel_policy, tly_bbp_variants[GetParam()].name)) GTEST_SKIP() << "not on this processor";
  }
  void TearDown() override { kernel_policy = tly_bbp_engine_choice; }
};

INSTANTIATE_TEST_SUITE_P(Variants, Kernel, testing::Range(0, tly_bbp_variant_count));

const tly_bbp_series& plouffe = tly_bbp_Plouffe_series[0];  // 4 / (8k+1), step 4
const tly_bbp_series& bellard = tly_bbp_Bellard_series[0];  // (-1)^k 2^8 / (10k+1), step 10

TEST_P(Kernel, BlocksOfEveryShapeMatchExactSums) {
  std::vector<block> blocks = {
      {4, 0, 2, 0, 48, 4, 8, 1},  // the whole first series at place 1
      // No group fits: the eighth term of the first would have exponent 0.
      series_block(plouffe, 4, 44, 4, 40), series_block(bellard, 4, 110, 4, 40),
      // Wholly below the point; short blocks; the widest accumulator.
      series_block(plouffe, 8, 100, 40, 120), series_block(bellard, 8, 100, 11, 50),
      series_block(plouffe, 4, 300, 0, 7), series_block(bellard, 4, 60, 4, 11),
      series_block(plouffe, 131, 5000, 0, 1400), series_block(bellard, 131, 5000, 0, 900),
      // Alternating from an odd first term, and with any non-zero flag.
      {6, 1, 3000, 101, 318, 10, 4, 3}, {6, -7, 3000, 100, 317, 4, 8, 5},
      // 65,537 groups and more: the lanes are carried inside the group loop once.
      series_block(plouffe, 4, 4 * (8 * 65537 + 21) + 40, 0, 8 * 65537 + 21),
      series_block(bellard, 4, 10 * (8 * 65537 + 21) + 90, 0, 8 * 65537 + 21)};
  // Groups then 0 .. 7 single terms, and blocks across exponent 0, for every series.
  for (int tail = 0; tail < 8; ++tail) {
    for (const tly_bbp_series& s : tly_bbp_Plouffe_series) blocks.push_back(series_block(s, 5, 900, 16, 216 + tail));
    for (const tly_bbp_series& s : tly_bbp_Bellard_series) blocks.push_back(series_block(s, 5, 2300, 16, 216 + tail));
  }
  for (const tly_bbp_series& s : tly_bbp_Plouffe_series) blocks.push_back(series_block(s, 6, 500, 100, 300));
  for (const tly_bbp_series& s : tly_bbp_Bellard_series) blocks.push_back(series_block(s, 6, 500, 20, 90));
  // One term at each exponent around 0 and the words' edges.
  for (int64_t e : {3, 1, 0, -1, -31, -32, -33, -159, -160})
    for (int32_t alternating : {0, 1}) blocks.push_back({5, alternating, uint64_t(1000 + e), 1000, 1001, 1, 8, 1});
  // The formulas' series at the start, the middle and around exponent 0, up to the largest
  // places (moduli approaching 2^47).
  const struct {
    const tly_bbp_series* series;
    int count;
    uint64_t last_place;
  } formulas[] = {{tly_bbp_Plouffe_series, 4, (uint64_t{1} << 44) - 1}, {tly_bbp_Bellard_series, 7, (uint64_t{1} << 45) - 1}};
  for (const auto& f : formulas)
    for (uint64_t position : {uint64_t{40}, uint64_t{100000}, uint64_t{1} << 30, 4 * f.last_place - 4})
      for (int i = 0; i < f.count; ++i) {
        const tly_bbp_series& s = f.series[i];
        const uint64_t shift = position + s.power, zero = shift / s.step, middle = zero / 2 & ~1ull;
        blocks.push_back(series_block(s, 4, shift, 0, 37));
        blocks.push_back(series_block(s, 7, shift, middle, middle + 29));
        blocks.push_back(series_block(s, 4, shift, zero > 30 ? zero - 30 : 0, zero + 25));
      }
  // Far moduli: blocks whose passes and single terms cross the estimates' 2^47 and the 52-bit
  // limit, a few thousand terms from term 2^57 (moduli near 2^60), and the ends of series at
  // places near 2^60 and 2^61 (moduli near 2^63, the Bellard ones above), across exponent 0.
  for (const tly_bbp_series& s : {plouffe, bellard, tly_bbp_Bellard_series[1]}) {
    for (uint64_t limit : {uint64_t{1} << 47, uint64_t{1} << 52}) {
      const uint64_t k = limit / s.multiplier & ~uint64_t{1};
      blocks.push_back(series_block(s, 4, s.step * (k + 150), k - 200, k + 200));
    }
    const uint64_t place = s.step == 4 ? uint64_t{1} << 60 : uint64_t{1} << 61, shift = 4 * place - 8 + s.power;
    blocks.push_back(series_block(s, 5, shift, uint64_t{1} << 57, (uint64_t{1} << 57) + 3000));
    blocks.push_back(series_block(s, 4, shift, shift / s.step - 500, shift / s.step + 30));
  }
  for (const block& b : blocks) EXPECT_TRUE(matches_exact(b));
  // The worked example's top words are exact.
  std::vector<uint32_t> got = run_kernel(blocks[0], 7), exact = tly_bbp_exact_series(4, 0, 2, 0, 48, 4, 8, 1);
  got[0] = exact[0] = 0;
  EXPECT_EQ(got, exact);
}

TEST_P(Kernel, EarlyExitLeavesZeroAndScratchUntouched) {
  int64_t result[4] = {5, 5, 5, 5};
  alignas(16) uint64_t scratch[32];
  std::fill(scratch, scratch + 32, 0x1234);
  tly_bbp_kernel(result, 4, 0, 100, 229, 300, 1, 8, 1, scratch, kernel_policy);  // first * step = 32 * cells + shift + 1
  for (int64_t cell : result) EXPECT_EQ(cell, 0);
  for (uint64_t word : scratch) ASSERT_EQ(word, 0x1234u);
  // first * step = 32 * cells + shift: every term lies wholly below cell 0.
  EXPECT_EQ(run_kernel({4, 1, 100, 57, 90, 4, 8, 1}, 55), std::vector<uint32_t>(4, 0));
}

// --- Block sizes and claims ----------------------------------------------------------------

constexpr uint64_t smallest = 4194304;

std::vector<uint64_t> claimed_lengths(uint64_t term_count, int32_t team, uint64_t block_size) {
  std::vector<uint64_t> lengths;
  uint64_t next = 0, first, last;
  while (lengths.size() < 100000 && tly_bbp_claim_block(term_count, team, &next, &block_size, &first, &last)) {
    EXPECT_EQ(first, next - (last - first));
    lengths.push_back(last - first);
  }
  return lengths;
}

std::string progress_text(uint64_t done, uint64_t term_count) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", (static_cast<double>(done) * 100.0) * (1.0 / static_cast<double>(term_count)));
  return text;
}

TEST(Blocks, InitialSizesAndClaimSequences) {
  EXPECT_EQ(tly_bbp_initial_block_size(8, 100000000, 1u << 30), 8388608u);
  EXPECT_EQ(tly_bbp_initial_block_size(4, 100000000, 1u << 30), 16777216u);
  EXPECT_EQ(tly_bbp_initial_block_size(1, 1000000000, 1u << 30), 134217728u);
  EXPECT_EQ(tly_bbp_initial_block_size(16, 3000000000, 1u << 25), 33554432u);
  for (uint64_t hint : {uint64_t{0}, smallest - 1, smallest})
    EXPECT_EQ(tly_bbp_initial_block_size(8, uint64_t{1} << 44, hint), smallest);
  EXPECT_EQ(tly_bbp_initial_block_size(8, 2100, 1u << 30), smallest);

  struct example {
    int32_t team;
    uint64_t terms, initial;
    std::vector<std::pair<uint64_t, int>> runs;  // runs of equal lengths
    const char* first_report;
  };
  const example examples[] = {
      {4, 100000000, 16777216, {{8388608, 4}, {4194304, 15}, {3531008, 1}}, "8.38861"},
      {8, 100000000, 8388608, {{4194304, 23}, {3531008, 1}}, "4.1943"},
      {1, 1000000000, 134217728,
       {{134217728, 6}, {67108864, 1}, {33554432, 2}, {16777216, 2}, {8388608, 2}, {4194304, 2}, {1755648, 1}},
       "13.4218"},
      {64, smallest, smallest, {{smallest, 1}}, "100"},
      {2, 48, smallest, {{48, 1}}, "100"}};
  for (const example& x : examples) {
    std::vector<uint64_t> expected;
    for (const auto& [length, count] : x.runs) expected.insert(expected.end(), count, length);
    EXPECT_EQ(claimed_lengths(x.terms, x.team, x.initial), expected) << "team " << x.team;
    EXPECT_EQ(progress_text(expected[0], x.terms), x.first_report);
  }
}

// Random teams: blocks on the 4,194,304 grid tile the range, shrinking only as far as the
// team could still take two more each; the initial size is a power-of-two multiple below
// twice the hint.
TEST(Blocks, RandomTeamsTileTheRange) {
  std::mt19937_64 rng(12);
  for (int i = 0; i < 3000; ++i) {
    const int32_t team = 1 + rng() % 64;
    const uint64_t terms = 1 + (rng() >> (28 + rng() % 36)), hint = rng() % ((uint64_t{1} << 30) + 1);
    uint64_t size = tly_bbp_initial_block_size(team, terms, hint), next = 0, first, last;
    ASSERT_TRUE(size % smallest == 0 && std::has_single_bit(size / smallest));
    if (size > smallest) { ASSERT_TRUE(size < 2 * hint && team * size <= terms && size <= terms / 4); }
    while (tly_bbp_claim_block(terms, team, &next, &size, &first, &last)) {
      ASSERT_EQ(first % smallest, 0u);
      ASSERT_TRUE(last == terms || last - first == size) << "team " << team << ", terms " << terms;
      ASSERT_TRUE(size == smallest || team * size * 2 <= terms - first);
    }
    ASSERT_EQ(next, terms);
  }
}

// --- The series evaluator --------------------------------------------------------------------

struct evaluation {
  std::vector<int64_t> out;
  std::vector<std::string> reports;
  std::string rest;  // what follows the reports
};

// The console's reports of the run, written to a file of their own.

evaluation evaluate(uint64_t cells, const tly_bbp_series& s, uint64_t shift, uint64_t terms, uint64_t hint) {
  evaluation e{std::vector<int64_t>(cells, 0x5A5A5A5A5A5A), {}, {}};
  FILE* file = std::tmpfile();
  tly_bbp_engine_run run{};
  run.variants = tly_bbp_engine_choice;
  run.callbacks = tly_bbp_console_callbacks;
  run.callbacks.user = file;
  EXPECT_EQ(tly_bbp_pblock(e.out.data(), cells, s.alternating, shift, terms, s.step, s.multiplier, s.offset, hint, run),
            tly_bbp_status_done);
  std::string text = tly_bbp_text_of(file);
  static const std::regex report("^\r {79}\rProgress: ([0-9.e+-]+)%");
  std::smatch match;
  while (std::regex_search(text, match, report)) {
    e.reports.push_back(match[1]);
    text = match.suffix();
  }
  e.rest = std::regex_replace(text, std::regex("[0-9.]+"), "#");
  return e;
}

// The kernel over each block a team claims, added up cell by cell and carried once at the end.
std::vector<int64_t> kernel_over_claims(uint64_t cells, const tly_bbp_series& s, uint64_t shift, uint64_t terms,
                                        int32_t team, uint64_t block_size, std::vector<std::string>* reports) {
  std::vector<int64_t> sum(cells, 0), result(cells);
  std::vector<uint64_t> scratch(8 * cells);
  uint64_t next = 0, first, last;
  while (tly_bbp_claim_block(terms, team, &next, &block_size, &first, &last)) {
    tly_bbp_kernel(result.data(), cells, s.alternating, shift, first, last, s.step, s.multiplier, s.offset,
                   scratch.data(), tly_bbp_engine_choice);
    for (uint64_t i = 0; i < cells; ++i) sum[i] = int64_t(uint64_t(sum[i]) + uint64_t(result[i]));
    reports->push_back(progress_text(last, terms));
  }
  std::vector<int64_t> carried(cells, 0);
  tly_bbp_acc_add_block(carried.data(), sum.data(), cells);
  return carried;
}

// Multi-block series of both formulas (about 36 and 9 million terms), and a one-block one.
TEST(Pblock, SumsTheClaimedBlocksAndReportsEach) {
  if (omp_get_dynamic()) GTEST_SKIP() << "the runtime may shrink the team: its blocks are unknown";
  const int32_t team = std::min(omp_get_num_procs(), omp_get_thread_limit());
  struct series_case {
    const tly_bbp_series& s;
    uint64_t place, hint;
  };
  for (const series_case& c : {series_case{plouffe, 36000001, 0}, series_case{bellard, 90000001, 1u << 30},
                               series_case{tly_bbp_Plouffe_series[1], 100001, 3125}}) {
    const uint64_t position = 4 * c.place - 4, shift = position + c.s.power;
    const uint64_t terms = c.s.step == 4 ? tly_bbp_Plouffe_term_count(position, 7) : tly_bbp_Bellard_term_count(position, 7);
    const evaluation e = evaluate(7, c.s, shift, terms, c.hint);
    std::vector<std::string> reports;
    const uint64_t initial = tly_bbp_initial_block_size(omp_get_num_procs(), terms, c.hint);
    EXPECT_EQ(e.out, kernel_over_claims(7, c.s, shift, terms, team, initial, &reports)) << "place " << c.place;
    ASSERT_EQ(e.reports.size(), reports.size());
    if (team == 1) { EXPECT_EQ(e.reports, reports); }
    EXPECT_EQ(e.reports.back(), "100");
    EXPECT_EQ(e.rest, "");  // the series' time is its caller's report
  }
}

// A block worker (a GPU's host thread) beside the processor threads claims from the same
// counters: the sum is the processors' alone. A worker that fails after some blocks gives its
// block back to the others and the sum stays the same; with nobody left, the series fails.
struct worker_log {
  std::atomic<int> blocks{0};
  int fail_after = -1;  // blocks computed before every later one fails; -1: never
};

bool kernel_block(const tly_bbp_series_call* c, uint64_t first, uint64_t last, int64_t* result) {
  std::vector<uint64_t> scratch(8 * c->cells);
  return tly_bbp_kernel(result, c->cells, c->alternating, c->shift, first, last, c->step, c->multiplier, c->offset,
                        scratch.data(), c->variants);
}

bool kernel_worker(void* context, const tly_bbp_series_call* c, uint64_t first, uint64_t last, int64_t* result,
                   tly_bbp_block_hold*) {
  worker_log* log = static_cast<worker_log*>(context);
  if (log->fail_after >= 0 && log->blocks >= log->fail_after) return false;
  ++log->blocks;
  return kernel_block(c, first, last, result);
}

// The Plouffe series of `place` (7 cells) summed by the processor threads alone.
struct plouffe_series {
  uint64_t shift, terms;
  tly_bbp_engine_run alone;
  std::vector<int64_t> expected;
};

plouffe_series plouffe_alone(uint64_t place, int32_t threads) {
  const uint64_t position = 4 * place - 4;
  plouffe_series s{position + plouffe.power, tly_bbp_Plouffe_term_count(position, 7), {}, std::vector<int64_t>(7)};
  s.alone.threads = threads;
  EXPECT_EQ(tly_bbp_pblock(s.expected.data(), 7, 0, s.shift, s.terms, 4, 8, 1, 0, s.alone), tly_bbp_status_done);
  return s;
}

// The claims of this process, counting the source's "none left" answers: a job's source waits
// for one to every member of every team, failed workers included, while the series goes on.
std::atomic<int> refusals{0};
bool counting_claim(void* context, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  const bool claimed = tly_bbp_local_claims.claim(context, counters, first, last);
  if (!claimed) ++refusals;
  return claimed;
}

TEST(Pblock, BlockWorkersShareTheClaims) {
  if (omp_get_dynamic()) GTEST_SKIP() << "the runtime may shrink the team: its size is unknown";
  tly_bbp_claim_source counting = tly_bbp_local_claims;
  counting.claim = counting_claim;
  const plouffe_series series = plouffe_alone(16000001, 2);
  const uint64_t shift = series.shift, terms = series.terms;
  const tly_bbp_engine_run& alone = series.alone;
  const std::vector<int64_t>& expected = series.expected;
  struct worker_case {
    int32_t threads;
    int fail_after[2];
    int32_t status;
  };
  for (const worker_case& c : {worker_case{1, {-1, -1}, tly_bbp_status_done},  // beside a processor thread
                               worker_case{-1, {-1, -1}, tly_bbp_status_done},  // workers only
                               worker_case{1, {0, 1}, tly_bbp_status_done},     // both fail: the thread goes on
                               worker_case{-1, {2, -1}, tly_bbp_status_done},   // the other worker goes on
                               worker_case{-1, {0, 1}, tly_bbp_status_worker_failed}}) {
    worker_log logs[2];
    const tly_bbp_block_worker workers[2] = {{&logs[0], kernel_worker}, {&logs[1], kernel_worker}};
    for (int i = 0; i < 2; ++i) logs[i].fail_after = c.fail_after[i];
    tly_bbp_engine_run with_workers = alone;
    with_workers.threads = c.threads;
    with_workers.workers = workers;
    with_workers.worker_count = 2;
    with_workers.source = &counting;
    refusals = 0;
    std::vector<int64_t> got(7);
    const std::string which = "threads " + std::to_string(c.threads) + ", failing after " +
                              std::to_string(c.fail_after[0]) + " and " + std::to_string(c.fail_after[1]);
    ASSERT_EQ(tly_bbp_pblock(got.data(), 7, 0, shift, terms, 4, 8, 1, 0, with_workers), c.status) << which;
    if (c.status == tly_bbp_status_done) { EXPECT_EQ(got, expected) << which; }
    // A series that fails ends its job: then nobody waits for the answers.
    if (c.status == tly_bbp_status_done) {
      EXPECT_EQ(refusals, std::min((c.threads > 0 ? c.threads : 0) + 2, omp_get_thread_limit())) << which;
    }
    if (c.threads < 0 && c.status == tly_bbp_status_done) { EXPECT_GT(logs[0].blocks + logs[1].blocks, 0); }
  }
}

// Waits until a processor thread takes the worker's block over: false after 20 s, the fault
// the tests below catch.
bool taken_over_soon(const tly_bbp_block_hold* hold) {
  for (int wait = 0; wait < 4000; ++wait) {
    if (__atomic_load_n(&hold->abandon, __ATOMIC_RELAXED)) return true;
    usleep(5000);
  }
  return false;
}

// A worker that fails only once the other has found the source exhausted: the other has not
// left, takes the block back and ends the series.
struct exhaustion_log {
  std::atomic<bool> source_said_no{false};
  int calls = 0;
};

bool failing_at_the_end(void* context, const tly_bbp_series_call*, uint64_t, uint64_t, int64_t*, tly_bbp_block_hold*) {
  exhaustion_log* log = static_cast<exhaustion_log*>(context);
  ++log->calls;
  for (int wait = 0; wait < 4000 && !log->source_said_no; ++wait) usleep(5000);
  return false;
}

bool noting_exhaustion(void* context, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  const bool claimed = tly_bbp_rule_claim(counters, first, last);
  if (!claimed) static_cast<exhaustion_log*>(context)->source_said_no = true;
  return claimed;
}

TEST(Pblock, WorkersStayForTheBlocksAFailingOneGivesBack) {
  const plouffe_series series = plouffe_alone(8000001, 2);
  exhaustion_log log;
  worker_log fine;
  const tly_bbp_block_worker workers[2] = {{&log, failing_at_the_end}, {&fine, kernel_worker}};
  tly_bbp_claim_source noting = tly_bbp_local_claims;
  noting.context = &log;
  noting.claim = noting_exhaustion;
  tly_bbp_engine_run alone = series.alone;
  alone.threads = -1;
  alone.source = &noting;
  alone.workers = workers;
  alone.worker_count = 2;
  std::vector<int64_t> got(7);
  ASSERT_EQ(tly_bbp_pblock(got.data(), 7, 0, series.shift, series.terms, 4, 8, 1, 0, alone), tly_bbp_status_done);
  EXPECT_EQ(got, series.expected);
  EXPECT_TRUE(log.source_said_no);
  EXPECT_EQ(log.calls, 1);
}

// A worker far slower than the threads: it computes its block, then dawdles until the block is
// taken over, noting no progress.
struct slow_log {
  int started = 0, summed = 0;
};

bool slow_worker(void* context, const tly_bbp_series_call* c, uint64_t first, uint64_t last, int64_t* result,
                 tly_bbp_block_hold* hold) {
  slow_log* log = static_cast<slow_log*>(context);
  ++log->started;
  if (!kernel_block(c, first, last, result)) return false;
  if (taken_over_soon(hold)) return false;
  ++log->summed;
  return true;
}

// The series again and again with `worker` beside the processor thread, the pace kept across
// them: `rounds` times, or fewer once `enough` says so; each time the thread's digits. Returns
// how many ran.
int run_beside(const plouffe_series& series, const tly_bbp_block_worker& worker, tly_bbp_pace* pace, int rounds,
               const std::function<bool()>& enough = {}, const tly_bbp_claim_source* source = nullptr) {
  tly_bbp_engine_run beside = series.alone;
  beside.source = source;
  beside.workers = &worker;
  beside.worker_count = 1;
  beside.pace = pace;
  int round = 0;
  for (; round < rounds && !(enough && enough()); ++round) {
    std::vector<int64_t> got(7);
    EXPECT_EQ(tly_bbp_pblock(got.data(), 7, 0, series.shift, series.terms, 4, 8, 1, 0, beside), tly_bbp_status_done);
    EXPECT_EQ(got, series.expected) << "round " << round;
  }
  return round;
}

TEST(Pblock, ASlowWorkerNeverHoldsTheThreadsBack) {
  const plouffe_series series = plouffe_alone(8000001, 1);
  slow_log log;
  tly_bbp_pace pace[2] = {};
  // Series after series: the first block it holds is taken over, then its pace keeps it out.
  run_beside(series, {&log, slow_worker}, pace, 3);
  EXPECT_LE(log.started, 1);
  EXPECT_EQ(log.summed, 0);
  EXPECT_EQ(pace[0].terms, 0u);
  EXPECT_EQ(pace[1].terms, 3 * series.terms);
}

// An estimate times each worker through its own compute beside the threads: the rates add, the
// shares of the workers that computed add up to 1, and a worker that fails on a sample is left
// out; with no thread and no worker left there is nothing to predict.
TEST(Estimate, WorkersRatesAddAndAFailedOneIsLeftOut) {
  struct estimate_case {
    int32_t threads;
    int fail_after;
    bool failed;
  };
  for (const estimate_case& c : {estimate_case{1, -1, false}, estimate_case{1, 0, true},
                                 estimate_case{-1, -1, false}, estimate_case{-1, 2, true}}) {
    worker_log log;
    log.fail_after = c.fail_after;
    const tly_bbp_block_worker worker{&log, kernel_worker};
    tly_bbp_estimate_request request{0, 1000001, 32, c.threads, tly_bbp_engine_choice};
    request.workers = &worker;
    request.worker_count = 1;
    const tly_bbp_estimate e = tly_bbp_estimate_run_time(request);
    const std::string which = "threads " + std::to_string(c.threads) + ", failing after " + std::to_string(c.fail_after);
    ASSERT_EQ(e.workers.size(), c.threads < 0 ? 1u : 2u) << which;
    EXPECT_EQ(e.workers[0].failed, c.failed) << which;
    EXPECT_EQ(e.terms, 4u * 1000072) << which;
    double shares = 0;
    for (const tly_bbp_worker_estimate& w : e.workers) {
      if (w.failed) continue;
      EXPECT_GT(w.terms_per_second, 0.0) << which;
      EXPECT_GT(w.share, 0.0) << which;
      shares += w.share;
    }
    if (c.threads < 0 && c.failed) {
      EXPECT_EQ(e.seconds, 0.0) << which;  // no worker left
      continue;
    }
    EXPECT_NEAR(shares, 1.0, 1e-9) << which;
    EXPECT_GT(e.seconds, 0.0) << which;
    EXPECT_EQ(e.threads, c.threads < 0 ? 0 : 1) << which;
    if (!c.failed) { EXPECT_GT(log.blocks, 4 * 2) << which; }  // a block to prepare and one a piece, each series
  }
}

// A fast worker whose first block is taken over (its compile, say, outlasting a short series):
// the half of the block it noted finishing, in a millisecond, gives it a rate, and it claims
// again in the series that follow.
struct stalled_log {
  int calls = 0;
  bool first_taken_over = false;
};

bool stalled_first_worker(void* context, const tly_bbp_series_call* c, uint64_t first, uint64_t last,
                          int64_t* result, tly_bbp_block_hold* hold) {
  stalled_log* log = static_cast<stalled_log*>(context);
  if (log->calls++ > 0) return kernel_block(c, first, last, result);
  __atomic_store_n(&hold->progress_terms, (last - first) / 2, __ATOMIC_RELAXED);
  double millisecond = 1e-3;
  __atomic_store(&hold->progress_seconds, &millisecond, __ATOMIC_RELAXED);
  log->first_taken_over = taken_over_soon(hold);
  return false;
}

TEST(Pblock, AFastWorkerWhoseFirstBlockIsTakenOverClaimsAgain) {
  const plouffe_series series = plouffe_alone(8000001, 1);
  stalled_log log;
  tly_bbp_pace pace[2] = {};
  // The thread may claim every block of a series before the worker starts: a few series then.
  run_beside(series, {&log, stalled_first_worker}, pace, 6, [&] { return log.calls >= 2; });
  EXPECT_TRUE(log.first_taken_over);
  EXPECT_GE(log.calls, 2);
  EXPECT_GE(pace[0].terms, tly_bbp_block_unit / 2);
}

// A worker noting that it lags (a term a second): a thread with a rate takes its block over
// while the source still has blocks to give, not only once it has none left, for the worker
// would otherwise hold the block (and, on the same processors, their time) to the series' end.
struct lagging_log {
  exhaustion_log source;
  int calls = 0;
  bool taken_over = false, source_had_blocks = false;
};

bool lagging_worker(void* context, const tly_bbp_series_call* c, uint64_t first, uint64_t last, int64_t* result,
                    tly_bbp_block_hold* hold) {
  lagging_log* log = static_cast<lagging_log*>(context);
  if (log->calls++ > 0) return kernel_block(c, first, last, result);
  log->source.source_said_no = false;  // a "no" of an earlier series; this one gave a block
  __atomic_store_n(&hold->progress_terms, uint64_t{1}, __ATOMIC_RELAXED);
  double second = 1.0;
  __atomic_store(&hold->progress_seconds, &second, __ATOMIC_RELAXED);
  log->taken_over = taken_over_soon(hold);
  log->source_had_blocks = !log->source.source_said_no;
  return false;
}

bool noting_exhaustion_of_lagging(void* context, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  return noting_exhaustion(&static_cast<lagging_log*>(context)->source, counters, first, last);
}

TEST(Pblock, ALaggingWorkersBlockIsTakenOverWhileBlocksRemain) {
  lagging_log log;
  tly_bbp_claim_source noting = tly_bbp_local_claims;
  std::tie(noting.context, noting.claim) = std::pair{static_cast<void*>(&log), &noting_exhaustion_of_lagging};
  tly_bbp_pace pace[2] = {};
  // The worker's one slow block comes in whichever series it first claims in.
  run_beside(plouffe_alone(8000001, 1), {&log, lagging_worker}, pace, 6, [&] { return log.calls > 0; }, &noting);
  ASSERT_EQ(log.calls, 1);
  EXPECT_TRUE(log.taken_over);
  EXPECT_TRUE(log.source_had_blocks);
}

// A worker that finishes its first block just as a thread takes it over, with a result wrong
// on purpose: the thread's result is summed (the digits show it) and the block counts in the
// threads' share. Each block counts once, in the share of the thread that summed it.
struct late_log {
  int calls = 0;
  bool first_taken_over = false;
  std::thread::id worker_thread;
  std::map<std::thread::id, uint64_t> summed_on;  // the terms each thread summed
};

bool late_worker(void* context, const tly_bbp_series_call* c, uint64_t first, uint64_t last, int64_t* result,
                 tly_bbp_block_hold* hold) {
  late_log* log = static_cast<late_log*>(context);
  log->worker_thread = std::this_thread::get_id();
  if (log->calls++ > 0) return kernel_block(c, first, last, result);
  log->first_taken_over = taken_over_soon(hold);
  for (uint64_t i = 0; i < c->cells; ++i) result[i] = 0x5555;
  return true;
}

uint64_t recorded_finish(void* context, tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                         const int64_t* result, uint64_t cells) {
  static_cast<late_log*>(context)->summed_on[std::this_thread::get_id()] += last - first;
  return tly_bbp_rule_finish(counters, first, last, result, cells);
}

TEST(Pblock, SharesCountEachBlockOnceForWhoeverSummedIt) {
  const plouffe_series series = plouffe_alone(8000001, 1);
  late_log log;
  tly_bbp_claim_source recording = tly_bbp_local_claims;
  recording.context = &log;
  recording.finish = recorded_finish;
  tly_bbp_pace pace[2] = {};
  const int rounds = run_beside(series, {&log, late_worker}, pace, 6, [&] { return log.calls >= 2; }, &recording);
  EXPECT_TRUE(log.first_taken_over);
  EXPECT_EQ(pace[0].summed + pace[1].summed, uint64_t(rounds) * series.terms);
  EXPECT_EQ(pace[0].summed, log.summed_on[log.worker_thread]);
  EXPECT_EQ(pace[1].summed, uint64_t(rounds) * series.terms - log.summed_on[log.worker_thread]);
}

}  // namespace
