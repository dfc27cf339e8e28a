// The series evaluator gives the same sum whatever the size of its thread team: many runs of
// one multi-block series on teams of 1 to 8 threads, against one single-block evaluation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/kernel.h"
#include "engine/pblock.h"
#include "formulas/accumulator.h"
#include "sanitizer_build.h"

namespace {

// The processor count the evaluator sizes its team by; set by each test.
int procs = 2;

}  // namespace

// Stands in for the OpenMP runtime's processor count (the linker takes this definition first),
// so that teams larger than the machine are tried as well. The runtime's header is left out:
// runtimes differ in how they declare it.
extern "C" int omp_get_num_procs() { return procs; }
extern "C" int omp_get_thread_num();

namespace {

// Sanitized builds are many times slower; a few runs still cover every team size that races.
constexpr int runs = tly_bbp_sanitizer_build ? 16 : 50;

constexpr uint64_t cells = 6;
// Blocks hold 4,194,304 terms at least: three blocks, the last a short one. Every term has
// the exponent 20 (step 0), so each costs only its digits and every block adds to the sum.
constexpr uint64_t term_count = 2 * 4194304 + 999;
constexpr uint64_t shift = 20;

struct Series {
  int32_t alternating;
  uint32_t multiplier, offset;
};
const Series series[] = {{0, 8, 1}, {1, 10, 3}};

// The accumulator carried into 32-bit words, so that sums with different carries compare.
std::vector<uint32_t> words_of(const std::vector<int64_t>& accumulator) {
  std::vector<uint32_t> words(cells);
  tly_bbp_acc_to_words(words.data(), accumulator.data(), cells);
  return words;
}

// The evaluator's progress text would fill the test log: it goes to /dev/null meanwhile.
std::vector<uint32_t> evaluate(const Series& s, int team, bool nested = false) {
  procs = team;
  std::vector<int64_t> out(cells, 0x5A5A5A5A5A);
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  std::FILE* null = std::fopen("/dev/null", "w");
  dup2(fileno(null), STDOUT_FILENO);
  if (nested) {
    // Called inside an active parallel region the evaluator is granted a team of one
    // although it asks for `team` threads.
#pragma omp parallel num_threads(2)
    if (omp_get_thread_num() == 0)
      tly_bbp_pblock(out.data(), cells, s.alternating, shift, term_count, 0, s.multiplier, s.offset, 0);
  } else {
    tly_bbp_pblock(out.data(), cells, s.alternating, shift, term_count, 0, s.multiplier, s.offset, 0);
  }
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::fclose(null);
  return words_of(out);
}

// The whole range as one block on this thread: the sum any team must reproduce exactly, since
// blocks start on group boundaries and all sums are taken modulo 1 in integers.
std::vector<uint32_t> single_block(const Series& s) {
  std::vector<int64_t> out(cells);
  alignas(64) static uint64_t scratch[cells * 8 + 8];
  tly_bbp_kernel(out.data(), cells, s.alternating, shift, 0, term_count, 0, s.multiplier, s.offset, scratch);
  return words_of(out);
}

TEST(ThreadCount, AnyTeamSizeGivesTheSingleBlockSum) {
  for (const Series& s : series) {
    const std::vector<uint32_t> expected = single_block(s);
    for (int run = 0; run < runs; ++run) {
      const int team = 1 + run % 8;
      EXPECT_EQ(evaluate(s, team), expected) << "alternating " << s.alternating << ", team of " << team;
    }
  }
}

TEST(ThreadCount, FewerThreadsGrantedThanAskedFor) {
  for (const Series& s : series) {
    const std::vector<uint32_t> expected = single_block(s);
    for (int team : {2, 5}) EXPECT_EQ(evaluate(s, team, true), expected) << "asked for " << team;
  }
}

}  // namespace
