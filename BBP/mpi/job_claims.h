// The claim source of an MPI job: rank 0 holds the block counters, every rank claims from them.
#pragma once
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "../engine/pblock.h"

// This rank's state of the job's claims, behind the claim source's context. On rank 0, while a
// series runs: the counters of its block loop and the sum of every block the job has finished,
// shared by its team and the server thread, which apply the counters' rule to them under `lock`.
// Not the process-wide lock: rank 0's close holds that while it waits for the server.
struct tly_bbp_job_claims {
  int rank = 0;
  std::mutex lock;
  tly_bbp_block_counters* counters = nullptr;
  std::vector<int64_t> sum;
  std::thread server;
  int32_t fewest_threads = 0, most_threads = 0;  // of one rank, in the last series
};

// This rank's claim source over `job`. MPI must allow calls from several threads, one at a
// time (MPI_THREAD_SERIALIZED).
tly_bbp_claim_source tly_bbp_mpi_claims(tly_bbp_job_claims* job);

// On rank 0: the job's ranks, and the fewest and the most threads a rank ran the last series
// with (0 before any series); `context` is the job's tly_bbp_job_claims.
void tly_bbp_mpi_teams(void* context, int32_t* ranks, int32_t* fewest_threads_of_a_rank,
                       int32_t* most_threads_of_a_rank);
