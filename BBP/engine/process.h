// What a program's process lends the runs of its front ends.
#pragma once

#include "pblock.h"

// Where the series claim their blocks (null: this process's counters), how the process ends at
// once after a fatal message (an MPI job: every process of it), and the memory of its runs
// (null: the system's; tests make it fail).
struct tly_bbp_process {
  const tly_bbp_claim_source* source;
  void (*end)(int code);  // never returns
  const tly_bbp_allocator* allocator;
};
