// Process services without state: the one lock, aligned memory under it, and clocks.
#pragma once
#include <cstdint>
#include <mutex>

// The process-wide lock: claims and finished blocks of every run, and memory. A mutex, not an
// OpenMP critical section, so that runs started from threads of their own (each an OpenMP root)
// share it as any thread shares a mutex.
std::mutex& tly_bbp_process_lock();

// 16-byte aligned allocation and release, each under the process-wide lock; null
// when the memory is not there (the caller returns the failure to its own caller).
void* tly_bbp_alloc(uint64_t bytes);
void tly_bbp_free(void* memory);

// Milliseconds of real time since the process started, wrapping as a signed 32-bit count.
int32_t tly_bbp_clock_ms();

// Seconds of a monotonic clock, for times that may span days.
double tly_bbp_clock_seconds();

// Seconds between two clock readings, as the time lines print them.
double tly_bbp_elapsed_seconds(int32_t t0, int32_t t1);
