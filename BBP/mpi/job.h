// The MPI program's run on one rank.
#pragma once

// A front end: the program's run with its arguments, returning the exit code.
using tly_bbp_front_end = int (*)(int argc, char** argv);

// Rank 0 runs the front end with every rank's threads working on its series; the other ranks
// print nothing and read no input. Returns the rank's exit code.
int tly_bbp_mpi_main(int argc, char** argv, tly_bbp_front_end front_end);
