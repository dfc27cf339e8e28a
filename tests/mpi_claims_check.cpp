// An MPI program that exercises only the job-wide claim source: every thread of every rank
// claims blocks of long series without computing them, reporting each with a made-up result;
// rank 0 prints whether the blocks are exactly those one process would claim, and whether the
// job's sum holds every block once.
#include <mpi.h>
#include <omp.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/pblock.h"
#include "engine/system.h"
#include "mpi/job_claims.h"

namespace {

// One series, claimed as the block loop claims it, with a pause per block whose length varies
// so that ranks and threads interleave differently; every block's result is {2^63 - 1, terms,
// first}, so that a job's sum that did not carry would wrap its lowest cell.
bool check_series(const tly_bbp_claim_source* source, int rank, int ranks, uint64_t term_count,
                  uint64_t block_size) {
  tly_bbp_block_counters counters{term_count, 0, block_size, 0, 0, &tly_bbp_every_term};
  std::vector<uint64_t> mine;  // first and last of each block this rank claimed
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) {
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        source->open(source->context, &counters, omp_get_num_threads());
      }
    }
#pragma omp barrier
    unsigned seed = unsigned(rank * 7919 + omp_get_thread_num());
    uint64_t first = 0, last = 0;
    for (;;) {
      bool claimed;
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        claimed = source->claim(source->context, &counters, &first, &last);
      }
      if (!claimed) break;
      seed = seed * 1103515245 + 12345;
      const timespec work{0, long(seed % 200000)};
      nanosleep(&work, nullptr);
      const int64_t result[3] = {INT64_MAX, int64_t(last - first), int64_t(first)};
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        mine.insert(mine.end(), {first, last});
        source->finish(source->context, &counters, first, last, result, 3);
      }
    }
  }
  int64_t sum[3] = {0, 0, 0};
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    source->close(source->context, sum, 3, true);
  }

  const int count = int(mine.size());
  std::vector<int> counts(static_cast<size_t>(ranks)), offsets(counts);
  MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  for (size_t r = 1; r < counts.size(); ++r) offsets[r] = offsets[r - 1] + counts[r - 1];
  std::vector<uint64_t> all(size_t(offsets.back() + counts.back()));
  MPI_Gatherv(mine.data(), count, MPI_UINT64_T, all.data(), counts.data(), offsets.data(), MPI_UINT64_T, 0,
              MPI_COMM_WORLD);
  if (rank != 0) return true;

  std::vector<std::pair<uint64_t, uint64_t>> blocks, expected;
  for (size_t i = 0; i < all.size(); i += 2) blocks.push_back({all[i], all[i + 1]});
  std::sort(blocks.begin(), blocks.end());
  // The sum is a fraction of three cells: the blocks' values added modulo 2^96.
  using u128 = unsigned __int128;
  const u128 fraction = (u128{1} << 96) - 1;
  uint64_t next_term = 0, first = 0, last = 0;
  u128 job = 0;
  while (tly_bbp_claim_block(term_count, counters.claimants, &next_term, &block_size, &first, &last)) {
    expected.push_back({first, last});
    job += u128(INT64_MAX) + (u128(last - first) << 32) + (u128(first) << 64);
  }
  const u128 summed = uint64_t(sum[0]) + (u128(uint64_t(sum[1])) << 32) + (u128(uint64_t(sum[2])) << 64);
  const bool sum_ok = (summed & fraction) == (job & fraction);
  std::printf("terms %llu: %zu blocks from %d ranks (%d threads): %s\n", (unsigned long long)term_count,
              blocks.size(), ranks, counters.claimants,
              blocks != expected ? "MISMATCH of the blocks" : !sum_ok ? "MISMATCH of the job's sum" : "as one process");
  return blocks == expected && sum_ok;
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0, rank = 0, ranks = 1;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  tly_bbp_job_claims job;
  const tly_bbp_claim_source claims = tly_bbp_mpi_claims(&job);
  const tly_bbp_claim_source* source = &claims;
  // Hundreds of smallest blocks with a ragged end; then large blocks halved near the end,
  // twice in a row to see that each series starts afresh.
  bool ok = check_series(source, rank, ranks, 700 * uint64_t{4194304} + 12345, 4194304);
  ok = check_series(source, rank, ranks, 3000000000, uint64_t{4194304} << 5) && ok;
  ok = check_series(source, rank, ranks, 3000000000, uint64_t{4194304} << 5) && ok;
  MPI_Finalize();
  return ok ? 0 : 1;
}
