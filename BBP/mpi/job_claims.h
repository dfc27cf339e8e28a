// The claim source of an MPI job: rank 0 holds the block counters, every rank claims from them.
#pragma once
#include "../engine/pblock.h"

// Collective: creates the window of the counters and returns this rank's claim source,
// which prints progress and time on rank 0 only.
const tly_bbp_claim_source* tly_bbp_mpi_claims_start();

// Collective: frees the window.
void tly_bbp_mpi_claims_stop();
