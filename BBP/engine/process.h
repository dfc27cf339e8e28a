// What a program's process lends the runs of its front ends.
#pragma once

#include "pblock.h"

// Where the series claim their blocks (null: this process's counters), how the process ends at
// once after a fatal message (an MPI job: every process of it), and the memory of its runs
// (null: the system's; tests make it fail); in a job whose runs spread over ranks, how many
// ranks it has and the fewest and the most threads a rank computed its last series with (null
// in a single process).
struct tly_bbp_process {
  const tly_bbp_claim_source* source;
  void (*end)(int code);  // never returns
  const tly_bbp_allocator* allocator;
  void (*teams)(void* context, int32_t* ranks, int32_t* fewest_threads_of_a_rank, int32_t* most_threads_of_a_rank);
  void* teams_context;
};
