// The claim source of an MPI job: the block counters in an MPI window on rank 0, claimed from
// by the threads of every rank with one-sided atomics, and each series' sums reduced onto rank 0.
#include "job_claims.h"

#include <mpi.h>
#include <time.h>

#include <bit>
#include <thread>

#include "series_relay.h"

namespace {

MPI_Win window = MPI_WIN_NULL;
int rank = 0;

// Window displacements on rank 0, in counters of 8 bytes.
constexpr MPI_Aint claims_at = 0;
constexpr MPI_Aint terms_done_at = 1;

// A claim needs next_term and block_size together, so rank 0 keeps both in one word that an
// atomic compare-and-swap replaces whole: the 4,194,304-term units handed out so far (the last
// block may end inside one), and the block size as a power of two of such units.
constexpr int unit_shift = 22;
constexpr int size_bits = 6;

uint64_t pack(uint64_t next_term, uint64_t block_size) {
  const uint64_t units = (next_term + (uint64_t{1} << unit_shift) - 1) >> unit_shift;
  return units << size_bits | uint64_t(std::countr_zero(block_size >> unit_shift));
}

void unpack(uint64_t word, uint64_t term_count, uint64_t* next_term, uint64_t* block_size) {
  const uint64_t start = (word >> size_bits) << unit_shift;
  *next_term = start < term_count ? start : term_count;
  *block_size = (uint64_t{1} << unit_shift) << (word & ((1 << size_bits) - 1));
}

// Without hardware one-sided access (Open MPI between hosts over TCP) a claim on rank 0's
// counters moves only while rank 0 is inside MPI, and its threads are mostly computing. A
// thread of its own lets MPI serve the other ranks' claims while a series is open.
bool series_open = false;  // under the process-wide lock
bool job_ended = false;    // under the process-wide lock
std::thread server;

void serve_claims() {
  const timespec pause{0, 1000000};  // 1 ms: a remote claim waits a few, a block takes 40 ms or more
  for (;;) {
    bool ended;
#pragma omp critical
    {
      ended = job_ended;
      int waiting = 0;
      if (series_open) MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &waiting, MPI_STATUS_IGNORE);
    }
    if (ended) return;
    nanosleep(&pause, nullptr);
  }
}

void job_open(tly_bbp_block_counters* counters, int32_t team_size) {
  if (rank == 0) {
    const uint64_t start[2] = {pack(0, counters->block_size), 0};
    MPI_Win_lock(MPI_LOCK_EXCLUSIVE, 0, 0, window);
    MPI_Put(start, 2, MPI_UINT64_T, 0, claims_at, 2, MPI_UINT64_T, window);
    MPI_Win_unlock(0, window);
    series_open = true;
  }
  // Rank 0 joins only after setting the counters, so nobody claims from the last series'.
  // The halving rule then counts every thread of the job.
  MPI_Allreduce(&team_size, &counters->claimants, 1, MPI_INT32_T, MPI_SUM, MPI_COMM_WORLD);
  // One shared access epoch for the whole series: every claim and report is then a single
  // atomic operation, with no lock to ask for (nobody ever locks exclusively meanwhile).
  MPI_Win_lock(MPI_LOCK_SHARED, 0, MPI_MODE_NOCHECK, window);
}

// The single-process claim rule applied to the job's word; when another thread's claim got
// there first, again from what that one left.
bool job_claim(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  uint64_t seen = 0;
  const uint64_t nothing = 0;
  MPI_Fetch_and_op(&nothing, &seen, MPI_UINT64_T, 0, claims_at, MPI_NO_OP, window);
  MPI_Win_flush(0, window);
  for (;;) {
    unpack(seen, counters->term_count, &counters->next_term, &counters->block_size);
    if (!tly_bbp_claim_block(counters->term_count, counters->claimants, &counters->next_term,
                             &counters->block_size, first, last))
      return false;
    const uint64_t claimed = pack(counters->next_term, counters->block_size);
    uint64_t found = 0;
    MPI_Compare_and_swap(&claimed, &seen, &found, MPI_UINT64_T, 0, claims_at, window);
    MPI_Win_flush(0, window);
    if (found == seen) return true;
    seen = found;
  }
}

uint64_t job_finish(tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t*, uint64_t) {
  const uint64_t terms = last - first;
  if (rank != 0) {
    // Only rank 0 shows the count: the addition needs no answer and may arrive later.
    MPI_Accumulate(&terms, 1, MPI_UINT64_T, 0, terms_done_at, 1, MPI_UINT64_T, MPI_SUM, window);
    MPI_Win_flush_local(0, window);
    return counters->terms_done += terms;
  }
  uint64_t before = 0;
  MPI_Fetch_and_op(&terms, &before, MPI_UINT64_T, 0, terms_done_at, MPI_SUM, window);
  MPI_Win_flush(0, window);
  return counters->terms_done = before + terms;
}

// Cells are digit sums modulo 2^64, so the unsigned sum across ranks is the job's sum.
void job_close(int64_t* out, uint64_t cells) {
  MPI_Win_unlock(0, window);
  const int count = static_cast<int>(cells);
  series_open = false;
  if (rank == 0)
    MPI_Reduce(MPI_IN_PLACE, out, count, MPI_UINT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
  else
    MPI_Reduce(out, nullptr, count, MPI_UINT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
}

tly_bbp_claim_source source = {tly_bbp_mpi_announce, job_open, job_claim, job_finish, job_close, false};

}  // namespace

const tly_bbp_claim_source* tly_bbp_mpi_claims_start() {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  void* counters = nullptr;
  MPI_Win_allocate(rank == 0 ? 2 * sizeof(uint64_t) : 0, sizeof(uint64_t), MPI_INFO_NULL, MPI_COMM_WORLD,
                   &counters, &window);
  source.console = rank == 0;
  if (rank == 0) server = std::thread(serve_claims);
  return &source;
}

void tly_bbp_mpi_claims_stop() {
  if (server.joinable()) {
#pragma omp critical
    job_ended = true;
    server.join();
  }
  MPI_Win_free(&window);
}
