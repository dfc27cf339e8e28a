// The MPI program: the same dialogue, computation and digits, with the series spread over a job.
#include "../mpi/job.h"
#include "../mpi/job_claims.h"
#include "front_end.h"

int main(int argc, char** argv) {
  tly_bbp_start_process();
  tly_bbp_job_teams = tly_bbp_mpi_teams;
  return tly_bbp_mpi_main(argc, argv, tly_bbp_front_end_main);
}
