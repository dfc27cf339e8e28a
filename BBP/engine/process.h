// What a program's process lends the runs of its front ends.
#pragma once

#include <string>
#include <vector>

#include "pblock.h"

// One rank's part in a job's run, for the Result line: its processor threads and the terms
// they summed, and each of its devices, as the Result line names it, with the terms it summed.
struct tly_bbp_rank_part {
  int32_t rank = 0, threads = 0;
  uint64_t thread_terms = 0;
  std::vector<std::string> devices;
  std::vector<uint64_t> device_terms;
};

// A job's side of a process whose runs spread over ranks.
struct tly_bbp_job_link {
  void* context;
  int32_t rank;
  // This process's share of its node's devices: of the devices a run chooses, in the order
  // they are listed, those at positions i with i % node_ranks == node_rank.
  int32_t node_rank, node_ranks;
  // On rank 0, before a run's first series: its --devices and --threads, which the other
  // ranks follow (a front end that never calls it has them use their threads alone).
  void (*choose)(void* context, const char* devices, int32_t threads);
  // On rank 0, after a run: what each other rank computed in it, in rank order.
  void (*parts)(void* context, std::vector<tly_bbp_rank_part>* others);
};

// Where the series claim their blocks (null: this process's counters), how the process ends at
// once after a fatal message (an MPI job: every process of it), the memory of its runs (null:
// the system's; tests make it fail), and the job it is a rank of (null in a single process).
struct tly_bbp_process {
  const tly_bbp_claim_source* source;
  void (*end)(int code);  // never returns
  const tly_bbp_allocator* allocator;
  const tly_bbp_job_link* job;
};
