// The MPI program: the same dialogue, computation and digits, with the series spread over a job.
#include "../mpi/job.h"
#include "front_end.h"

int main(int argc, char** argv) {
  tly_bbp_start_process();
  return tly_bbp_mpi_main(argc, argv, tly_bbp_front_end_main);
}
