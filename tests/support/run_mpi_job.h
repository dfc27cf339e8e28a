// Test support: runs an MPI program as a job of several ranks on this machine.
#pragma once
#include <string>
#include <vector>

#include "run_program.h"

// Runs `program` under mpiexec as `ranks` processes, shared memory only, with `input` on
// rank 0's standard input and `arguments` on every rank's command line; otherwise as
// tly_bbp_run_program.
tly_bbp_program_run tly_bbp_run_mpi_job(const char* program, int ranks, const std::string& input, double seconds,
                                        std::vector<std::string> environment = {},
                                        const std::vector<std::string>& arguments = {});

// The output without its progress reports (how many rank 0 shows depends on timing) and with
// every time masked.
std::string tly_bbp_without_progress(const std::string& output);

// Every series' progress reports grow and end with 100 just before its time line.
void tly_bbp_expect_progress_well_formed(const std::string& output);

// The job prints the same text and digits as the single-process program for `input`.
void tly_bbp_expect_job_as_one_process(const std::string& input, int ranks,
                                       const std::vector<std::string>& environment = {});
