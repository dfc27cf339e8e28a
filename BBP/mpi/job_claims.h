// The claim source of an MPI job: rank 0 holds the block counters, every rank claims from them.
#pragma once
#include <cstdint>

#include "../engine/pblock.h"

// This rank's claim source, which prints progress and time on rank 0 only. MPI must allow
// calls from several threads, one at a time (MPI_THREAD_SERIALIZED).
const tly_bbp_claim_source* tly_bbp_mpi_claims();

// On rank 0: the job's ranks, and the fewest and the most threads a rank ran the last series
// with (0 before any series).
void tly_bbp_mpi_teams(int32_t* ranks, int32_t* fewest_threads_of_a_rank, int32_t* most_threads_of_a_rank);
