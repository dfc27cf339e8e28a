// The MPI program's run on one rank.
#pragma once

#include "../engine/process.h"

// A front end: the program's run with its arguments in the process lent to it, returning the exit code.
using tly_bbp_front_end = int (*)(int argc, char** argv, const tly_bbp_process& process);

// Rank 0 runs the front end with every rank's threads working on its series; the other ranks
// print nothing but a failure's message and read no input. Every rank's runs take their memory
// from `allocator` (null: the system's). Returns the rank's exit code.
int tly_bbp_mpi_main(int argc, char** argv, tly_bbp_front_end front_end, const tly_bbp_allocator* allocator = nullptr);
