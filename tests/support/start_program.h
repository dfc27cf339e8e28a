// Test support: starts the built program in the background, to be stopped by a signal.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

// Starts the program with `arguments`, standard output discarded and standard error into the
// file `errors` (or discarded when empty).
pid_t tly_bbp_start_program(const std::vector<std::string>& arguments, const std::string& errors = "");

// Waits for the process and returns its exit code, or 128 + the signal that ended it.
int tly_bbp_wait_program(pid_t pid);
