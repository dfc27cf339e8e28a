// The series evaluator gives the same sum whatever the size of its team: many runs of one
// three-block series on teams of 1 to 8 threads (and fewer granted) against one block.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/kernel.h"
#include "engine/pblock.h"
#include "engine/accumulator.h"

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int runs = 16;  // sanitized builds are many times slower
#else
constexpr int runs = 50;
#endif

// Every term has exponent 20 (step 0): each costs only its digits and every block adds to the sum.
constexpr uint64_t cells = 6, term_count = 2 * 4194304 + 999, shift = 20;

std::vector<uint32_t> words_of(const std::vector<int64_t>& accumulator) {
  std::vector<uint32_t> words(cells);
  tly_bbp_acc_to_words(words.data(), accumulator.data(), cells);
  return words;
}

// Teams larger than the machine are asked for too: the run names its thread count.
std::vector<uint32_t> evaluate(int32_t alternating, uint32_t offset, int team, bool nested) {
  std::vector<int64_t> out(cells, 0x5A5A5A5A5A);
  tly_bbp_engine_run run{};
  run.threads = team;
  run.variants = tly_bbp_engine_choice;
  // Inside an active parallel region the evaluator is granted one thread whatever it asks for.
#pragma omp parallel num_threads(2) if (nested)
  if (omp_get_thread_num() == 0) tly_bbp_pblock(out.data(), cells, alternating, shift, term_count, 0, 8, offset, 0, run);
  return words_of(out);
}

TEST(ThreadCount, AnyTeamGivesTheSingleBlockSum) {
  for (int32_t alternating : {0, 1}) {
    std::vector<int64_t> one(cells);
    alignas(64) static uint64_t scratch[cells * 8];
    tly_bbp_kernel(one.data(), cells, alternating, shift, 0, term_count, 0, 8, 3, scratch, tly_bbp_engine_choice);
    const std::vector<uint32_t> expected = words_of(one);
    for (int run = 0; run < runs; ++run)
      EXPECT_EQ(evaluate(alternating, 3, 1 + run % 8, run % 10 == 9), expected) << "team of " << 1 + run % 8;
  }
}

}  // namespace
