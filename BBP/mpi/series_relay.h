// How the ranks of an MPI job learn which series to evaluate: rank 0 announces each one.
#pragma once
#include "../engine/process.h"

// On rank 0, sends the series about to be evaluated to every other rank; elsewhere nothing.
void tly_bbp_mpi_announce(const tly_bbp_series_call* call);

// On rank 0, once its program is done: tells the others that no series follows.
void tly_bbp_mpi_announce_end();

// On the other ranks: evaluates each announced series with rank 0 until the end, with the
// process's claim source and memory; a failure prints its message and ends the job.
void tly_bbp_mpi_serve(const tly_bbp_process& process);
