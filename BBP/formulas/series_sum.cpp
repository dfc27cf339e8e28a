// A formula as a list of series: evaluates them one after another and combines them by sign.
#include "series_sum.h"

#include <cstdio>
#include <iostream>

#include "../engine/accumulator.h"
#include "../engine/pblock.h"
#include "../engine/system.h"

void (*tly_bbp_series_hook)(int index, int count, uint64_t term_count) = nullptr;

uint64_t tly_bbp_series_shift(const tly_bbp_series& series, uint64_t position) {
  return position + static_cast<uint64_t>(static_cast<int64_t>(series.power));
}

void tly_bbp_Pi_series_sum(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                           const tly_bbp_series* series, int count, uint64_t term_count) {
  int64_t* a = static_cast<int64_t*>(tly_bbp_alloc(words * 8));
  int64_t* b = static_cast<int64_t*>(tly_bbp_alloc(words * 8));

  if (!tly_bbp_series_hook) {
    std::cout << "Terms Needed = " << term_count << std::endl;
    std::printf("\n\n");
  }

  for (int i = 0; i < count; ++i) {
    const tly_bbp_series& s = series[i];
    if (tly_bbp_series_hook)
      tly_bbp_series_hook(i, count, term_count);
    else
      std::printf("Term: %d / %d\n", i + 1, count);
    tly_bbp_pblock(i == 0 ? a : b, words, s.alternating, tly_bbp_series_shift(s, position), term_count, s.step, s.multiplier, s.offset,
                   block_hint);
    if (i == 0) continue;
    // Positive series after the first add cell by cell; the next subtraction settles the carries.
    if (s.negative)
      tly_bbp_acc_sub(a, b, words);
    else
      tly_bbp_acc_add(a, b, words);
  }

  tly_bbp_acc_to_words(result, a, words);
  tly_bbp_free(a);
  tly_bbp_free(b);
}
