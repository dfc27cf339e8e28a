// The series evaluator and its parallel block loop: blocks of terms claimed on demand,
// summed per thread, and added up once the team has finished.
#include "pblock.h"

#include <omp.h>

#include <cstdio>
#include <cstring>

#include "accumulator.h"
#include "kernel.h"
#include "system.h"

namespace {

constexpr uint64_t smallest_block = 0x400000;  // 4,194,304: keeps every block start even

// Blanks the console line and shows the share of the series done.
void report_progress(uint64_t terms_done, double reciprocal) {
  std::printf("\r%79s\r", "");
  std::printf("Progress: %g%%", (static_cast<double>(terms_done) * 100.0) * reciprocal);
  // Standard output may be a pipe or a file: show the progress while the work runs, and
  // stop at once when nobody can see it any more.
  tly_bbp_flush_output();
}

void local_begin(const tly_bbp_series_call*) {}

void local_open(tly_bbp_block_counters* counters, int32_t team_size) { counters->claimants = team_size; }

bool local_claim(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  return tly_bbp_rule->claim(counters, first, last);
}

uint64_t local_finish(tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t* block_result,
                      uint64_t cells) {
  return tly_bbp_rule->finish(counters, first, last, block_result, cells);
}

bool claim_in_order(tly_bbp_block_counters* c, uint64_t* first, uint64_t* last) {
  return tly_bbp_claim_block(c->term_count, c->claimants, &c->next_term, &c->block_size, first, last);
}

uint64_t count_finished(tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t*, uint64_t) {
  return counters->terms_done += last - first;
}

void local_close(int64_t*, uint64_t) {}

}  // namespace

const tly_bbp_claim_rule tly_bbp_every_term = {claim_in_order, count_finished};
const tly_bbp_claim_rule* tly_bbp_rule = &tly_bbp_every_term;
const tly_bbp_claim_source tly_bbp_local_claims = {local_begin, local_open,  local_claim,
                                                   local_finish, local_close, true};
const tly_bbp_claim_source* tly_bbp_claims = &tly_bbp_local_claims;
int32_t tly_bbp_thread_request = 0;

uint64_t tly_bbp_initial_block_size(int32_t threads, uint64_t term_count, uint64_t block_hint) {
  uint64_t block_size = smallest_block;
  while (block_size < block_hint && block_size < term_count / 8) block_size *= 2;
  while (static_cast<uint64_t>(static_cast<int64_t>(threads)) * block_size > term_count) block_size /= 2;
  return block_size < smallest_block ? smallest_block : block_size;
}

bool tly_bbp_claim_block(uint64_t term_count, int32_t team_size, uint64_t* next_term, uint64_t* block_size,
                         uint64_t* first, uint64_t* last) {
  if (*next_term == term_count) return false;
  const uint64_t remaining = term_count - *next_term;
  const uint64_t team = static_cast<uint64_t>(static_cast<int64_t>(team_size));
  while (team * *block_size * 2 > remaining) *block_size /= 2;
  if (*block_size <= smallest_block) *block_size = smallest_block;
  *first = *next_term;
  *last = *next_term + *block_size < term_count ? *next_term + *block_size : term_count;
  *next_term = *last;
  return true;
}

void tly_bbp_pblock(int64_t* out, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t term_count,
                    uint32_t step, uint32_t multiplier, uint32_t offset, uint64_t block_hint) {
  const tly_bbp_claim_source* source = tly_bbp_claims;
  const tly_bbp_series_call call{cells, shift, term_count, block_hint, alternating, step, multiplier, offset};
#pragma omp critical
  source->begin(&call);

  const int32_t threads = tly_bbp_thread_request > 0 ? tly_bbp_thread_request : omp_get_num_procs();
  tly_bbp_block_counters counters{term_count, 0, tly_bbp_initial_block_size(threads, term_count, block_hint), 0, 0};

  const int32_t t0 = tly_bbp_clock_ms();
  const uint64_t array_cells = cells + 8;  // the 8 spare cells keep neighbouring threads' arrays apart
  const uint64_t slice_bytes = cells * 64 + 64;
  int64_t* accumulators = static_cast<int64_t*>(tly_bbp_alloc(uint64_t(threads) * 2 * array_cells * 8));
  unsigned char* scratch = static_cast<unsigned char*>(tly_bbp_alloc(uint64_t(threads) * slice_bytes));
  std::memset(accumulators, 0, uint64_t(threads) * array_cells * 8);

  int32_t team_size = 0;
  uint64_t reported = 0;  // the terms the last progress report showed

#pragma omp parallel num_threads(threads)
  {
    const int32_t t = omp_get_thread_num();
    if (t == 0) {
      const int32_t granted = omp_get_num_threads();
      team_size = granted < threads ? granted : threads;
#pragma omp critical
      source->open(&counters, team_size);
    }
#pragma omp barrier
    if (t < team_size) {
      int64_t* accumulator = accumulators + uint64_t(t) * array_cells;
      int64_t* block_result = accumulators + uint64_t(threads + t) * array_cells;
      void* slice = scratch + uint64_t(t) * slice_bytes;
      const double reciprocal = 1.0 / static_cast<double>(term_count);
      for (;;) {
        uint64_t first = 0, last = 0;
        bool claimed;
#pragma omp critical
        claimed = source->claim(&counters, &first, &last);
        if (!claimed) break;

        tly_bbp_kernel(block_result, cells, alternating, shift, first, last, step, multiplier, offset, slice);
        tly_bbp_acc_add_block(accumulator, block_result, cells);

#pragma omp critical
        {
          reported = source->finish(&counters, first, last, block_result, cells);
          if (source->console) report_progress(reported, reciprocal);
        }
      }
    }
  }

  for (uint64_t i = 0; i < cells; ++i) out[i] = 0;
  for (int32_t t = 0; t < team_size; ++t) tly_bbp_acc_add_block(out, accumulators + uint64_t(t) * array_cells, cells);
#pragma omp critical
  source->close(out, cells);
  // Blocks of other processes may have ended the series after this one's last report.
  if (source->console && reported != term_count) report_progress(term_count, 1.0 / static_cast<double>(term_count));

  tly_bbp_free(accumulators);
  tly_bbp_free(scratch);
  if (source->console) std::printf("    Time: %g\n", tly_bbp_elapsed_seconds(t0, tly_bbp_clock_ms()));
}
