// A formula as a list of series: evaluates them one after another and combines them by sign.
#include "series_sum.h"

#include "../engine/accumulator.h"
#include "../engine/system.h"

uint64_t tly_bbp_series_shift(const tly_bbp_series& series, uint64_t position) {
  return position + static_cast<uint64_t>(static_cast<int64_t>(series.power));
}

int32_t tly_bbp_Pi_series_sum(uint32_t* result, uint64_t position, uint64_t words, uint64_t block_hint,
                              const tly_bbp_series* series, int count, uint64_t term_count,
                              const tly_bbp_engine_run& run) {
  int64_t* a = static_cast<int64_t*>(tly_bbp_run_alloc(run, words * 8));
  int64_t* b = a ? static_cast<int64_t*>(tly_bbp_run_alloc(run, words * 8)) : nullptr;
  if (!b) {
    if (a) tly_bbp_run_free(run, a);
    return tly_bbp_status_no_memory;
  }

  int32_t status = tly_bbp_status_done;
  const tly_bbp_run_callbacks& report = run.callbacks;
  for (int i = 0; i < count && status == tly_bbp_status_done; ++i) {
    const tly_bbp_series& s = series[i];
    if (report.series_start) report.series_start(report.user, i, count, term_count);
    const int32_t t0 = tly_bbp_clock_ms();
    status = tly_bbp_pblock(i == 0 ? a : b, words, s.alternating, tly_bbp_series_shift(s, position), term_count,
                            s.step, s.multiplier, s.offset, block_hint, run);
    if (status != tly_bbp_status_done) break;
    if (report.series_end) report.series_end(report.user, i, count, tly_bbp_elapsed_seconds(t0, tly_bbp_clock_ms()));
    if (i == 0) continue;
    // Positive series after the first add cell by cell; the next subtraction settles the carries.
    if (s.negative)
      tly_bbp_acc_sub(a, b, words);
    else
      tly_bbp_acc_add(a, b, words);
  }

  if (status == tly_bbp_status_done) tly_bbp_acc_to_words(result, a, words);
  tly_bbp_run_free(run, a);
  tly_bbp_run_free(run, b);
  return status;
}
