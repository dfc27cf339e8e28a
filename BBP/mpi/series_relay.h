// How the ranks of an MPI job learn which series to evaluate: rank 0 announces each one.
#pragma once
#include <vector>

#include "job.h"
#include "job_claims.h"

// On rank 0, sends the series about to be evaluated, with its run's choices in `job`, to every
// other rank; elsewhere nothing.
void tly_bbp_mpi_announce(const tly_bbp_series_call* call, const tly_bbp_job_claims& job);

// On rank 0, once its program is done: tells the others that no series follows.
void tly_bbp_mpi_announce_end();

// On rank 0 after a run: what every other rank computed, in rank order.
void tly_bbp_mpi_gather_parts(std::vector<tly_bbp_rank_part>* others);

// On the other ranks: evaluates each announced series with rank 0 until the end, with the
// process's claim source and memory and this rank's share of the devices rank 0's run chose
// (opened by `devices`; null: none); a failure prints its message and ends the job.
void tly_bbp_mpi_serve(const tly_bbp_process& process, tly_bbp_job_claims* job,
                      const tly_bbp_mpi_device_hooks* devices);
