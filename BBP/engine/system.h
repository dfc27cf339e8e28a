// Process-wide services: aligned memory under the one lock, fatal exit, pause, clock.
#pragma once
#include <cstdint>

// 16-byte aligned allocation and release, each inside the process-wide
// critical section; a failed allocation is fatal ("Memory Allocation Failure").
void* tly_bbp_alloc(uint64_t bytes);
void tly_bbp_free(void* memory);

// Tests replace the allocator to drive the failure path; null means the system's.
extern void* (*tly_bbp_alloc_hook)(uint64_t bytes);

// Prints the message with no line end, pauses, and ends the process with code 1.
[[noreturn]] void tly_bbp_fatal(const char* message);

// Ends the process at once with `code`, running no destructors under threads that may still
// be computing: after a fatal message, or a stop by signal once the state is saved.
[[noreturn]] void tly_bbp_exit_now(int code);

// Runs first in tly_bbp_exit_now: a program of several processes sets it to end all of them
// with the code.
extern void (*tly_bbp_exit_hook)(int code);

// Set by the command line: standard output carries only results there (one JSON object with
// --json), so the message goes to standard error as a line of its own, with no pause.
extern bool tly_bbp_fatal_on_stderr;

// Waits for Enter when a person is at the terminal; never blocks on piped input.
void tly_bbp_pause();

// Flushes standard output. Once it cannot be written (closed, a full disk, a reader that
// went away) nobody can see the digits: says so on standard error and ends with code 1.
void tly_bbp_flush_output();

// Milliseconds of real time since the process started, wrapping as a signed 32-bit count.
int32_t tly_bbp_clock_ms();

// Seconds of a monotonic clock, for times that may span days.
double tly_bbp_clock_seconds();

// Seconds between two clock readings, as the time lines print them.
double tly_bbp_elapsed_seconds(int32_t t0, int32_t t1);
