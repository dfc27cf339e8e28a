// The MPI program's run on one rank.
#pragma once

// Rank 0 runs the console program with every rank's threads working on its series; the
// other ranks print nothing and read no input. Returns the rank's exit code.
int tly_bbp_mpi_main(int argc, char** argv);
