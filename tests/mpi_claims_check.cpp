// An MPI program that exercises only the job-wide claim source: every thread of every rank
// claims blocks of one long series without computing them; rank 0 gathers all blocks and
// prints whether they are exactly the blocks one process would have claimed.
#include <mpi.h>
#include <omp.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "engine/pblock.h"
#include "mpi/job_claims.h"

namespace {

using Block = std::pair<uint64_t, uint64_t>;

// Claims the whole range with every thread of this rank, as the block loop does, with a
// pause per block whose length varies so that ranks and threads interleave differently.
std::vector<Block> claim_all(const tly_bbp_claim_source* source, tly_bbp_block_counters* counters,
                             std::vector<uint64_t>* reports, int rank) {
  std::vector<Block> blocks;
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) {
#pragma omp critical
      source->open(counters, omp_get_num_threads());
    }
#pragma omp barrier
    unsigned seed = unsigned(rank * 7919 + omp_get_thread_num());
    for (;;) {
      uint64_t first = 0, last = 0;
      bool claimed;
#pragma omp critical
      claimed = source->claim(counters, &first, &last);
      if (!claimed) break;
      seed = seed * 1103515245 + 12345;
      const timespec work{0, long(seed % 200000)};
      nanosleep(&work, nullptr);
#pragma omp critical
      {
        blocks.push_back({first, last});
        reports->push_back(source->finish(counters, first, last, nullptr, 0));
      }
    }
  }
  return blocks;
}

// The blocks one process with `team` threads claims, in order.
std::vector<Block> single_process_blocks(uint64_t term_count, int32_t team, uint64_t block_size) {
  std::vector<Block> blocks;
  uint64_t next_term = 0, first = 0, last = 0;
  while (tly_bbp_claim_block(term_count, team, &next_term, &block_size, &first, &last)) blocks.push_back({first, last});
  return blocks;
}

// One series; returns the number of blocks on rank 0, 0 on the others, -1 on a mismatch.
long check_series(const tly_bbp_claim_source* source, int rank, int ranks, uint64_t term_count,
                  uint64_t block_size) {
  tly_bbp_block_counters counters{term_count, 0, block_size, 0, 0};
  std::vector<uint64_t> reports;
  const std::vector<Block> mine = claim_all(source, &counters, &reports, rank);

  // The sums of the series come back through the claim source's own reduction: the count,
  // the terms and the starts of this rank's blocks.
  int64_t sums[3] = {int64_t(mine.size()), 0, 0};
  for (const Block& b : mine) {
    sums[1] += int64_t(b.second - b.first);
    sums[2] += int64_t(b.first);
  }
#pragma omp critical
  source->close(sums, 3);

  const int count = int(mine.size()) * 2;
  const size_t rank_count = size_t(ranks);
  std::vector<int> counts(rank_count), offsets(rank_count);
  MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  for (int r = 1; r < ranks; ++r) offsets[size_t(r)] = offsets[size_t(r - 1)] + counts[size_t(r - 1)];
  std::vector<uint64_t> all(rank == 0 ? size_t(offsets.back() + counts.back()) : 0);
  MPI_Gatherv(mine.data(), count, MPI_UINT64_T, all.data(), counts.data(), offsets.data(), MPI_UINT64_T, 0,
              MPI_COMM_WORLD);
  if (rank != 0) return 0;

  std::vector<Block> blocks;
  for (size_t i = 0; i < all.size(); i += 2) blocks.push_back({all[i], all[i + 1]});
  std::sort(blocks.begin(), blocks.end());
  const std::vector<Block> expected = single_process_blocks(term_count, counters.claimants, block_size);
  int ranks_with_blocks = 0;
  for (int r = 0; r < ranks; ++r) ranks_with_blocks += counts[size_t(r)] > 0;
  uint64_t starts = 0;
  for (const Block& b : expected) starts += b.first;
  bool aligned = true;
  for (const Block& b : blocks) aligned = aligned && b.first % 4194304 == 0;
  // Rank 0's reports count the whole job's finished terms: growing, and never past the end.
  const bool reported = reports.empty() || (std::is_sorted(reports.begin(), reports.end()) &&
                                             reports.front() >= mine.front().second - mine.front().first &&
                                             reports.back() <= term_count);
  const char* verdict = blocks != expected ? "MISMATCH of the blocks"
                        : !aligned         ? "MISMATCH: a block starts between multiples of 4,194,304"
                        : uint64_t(sums[0]) != expected.size() || uint64_t(sums[1]) != term_count ||
                                uint64_t(sums[2]) != starts
                            ? "MISMATCH of the reduced sums"
                        : !reported ? "MISMATCH of the progress counts"
                                    : "as one process";
  std::printf("terms %llu: %zu blocks from %d ranks (%d threads), %d ranks claimed some: %s\n",
              (unsigned long long)term_count, blocks.size(), ranks, counters.claimants, ranks_with_blocks, verdict);
  return verdict[0] == 'a' ? long(blocks.size()) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  const tly_bbp_claim_source* source = tly_bbp_mpi_claims_start();

  // Hundreds of smallest blocks with a ragged end; then large blocks halved near the end,
  // twice in a row to see that each series starts from fresh counters.
  bool ok = true;
  ok = check_series(source, rank, ranks, 700 * uint64_t{4194304} + 12345, 4194304) >= 0 && ok;
  ok = check_series(source, rank, ranks, 3000000000, uint64_t{4194304} << 5) >= 0 && ok;
  ok = check_series(source, rank, ranks, 3000000000, uint64_t{4194304} << 5) >= 0 && ok;

  tly_bbp_mpi_claims_stop();
  MPI_Finalize();
  return ok ? 0 : 1;
}
