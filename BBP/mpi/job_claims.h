// The claim source of an MPI job: rank 0 holds the block counters, every rank claims from them.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
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
  // On rank 0: its run's --devices and --threads, which each series' announcement passes on
  // (not chosen: the others use their threads alone, one per processor).
  bool chosen = false;
  std::string devices;
  int32_t threads = 0;
  // This rank's team in its last series; on the other ranks, the terms it summed so far.
  int32_t team_size = 0;
  uint64_t own_terms = 0;
};

// This rank's claim source over `job`. MPI must allow calls from several threads, one at a
// time (MPI_THREAD_SERIALIZED).
tly_bbp_claim_source tly_bbp_mpi_claims(tly_bbp_job_claims* job);
