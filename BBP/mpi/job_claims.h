// The claim source of an MPI job: rank 0 holds the block counters, every rank claims from them.
#pragma once
#include "../engine/pblock.h"

// This rank's claim source, which prints progress and time on rank 0 only. MPI must allow
// calls from several threads, one at a time (MPI_THREAD_SERIALIZED).
const tly_bbp_claim_source* tly_bbp_mpi_claims();
