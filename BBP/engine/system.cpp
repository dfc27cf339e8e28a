// Process-wide services: aligned memory under the one lock, fatal exit, pause, clock.
#include "system.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

void* (*tly_bbp_alloc_hook)(uint64_t bytes) = nullptr;
void (*tly_bbp_exit_hook)(int code) = nullptr;
bool tly_bbp_fatal_on_stderr = false;

namespace {

void* system_alloc(uint64_t bytes) {
  // aligned_alloc wants a multiple of the alignment; a size that would wrap when rounded up
  // must fail, not come back as a block of a few bytes.
  if (bytes > SIZE_MAX - 15) return nullptr;
  return std::aligned_alloc(16, (bytes + 15) & ~uint64_t{15});
}

int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

const int64_t process_start_ms = monotonic_ms();

}  // namespace

void* tly_bbp_alloc(uint64_t bytes) {
  void* memory;
#pragma omp critical
  {
    memory = tly_bbp_alloc_hook ? tly_bbp_alloc_hook(bytes) : system_alloc(bytes);
    if (!memory) tly_bbp_fatal("Memory Allocation Failure");
  }
  return memory;
}

void tly_bbp_free(void* memory) {
#pragma omp critical
  std::free(memory);
}

void tly_bbp_fatal(const char* message) {
  if (tly_bbp_fatal_on_stderr) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", message);
  } else {
    std::fputs(message, stdout);
    std::fflush(stdout);
    tly_bbp_pause();
  }
  tly_bbp_exit_now(1);
}

void tly_bbp_exit_now(int code) {
  if (tly_bbp_exit_hook) tly_bbp_exit_hook(code);
  std::_Exit(code);
}

void tly_bbp_pause() {
  std::cout.flush();
  std::fflush(stdout);
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
  std::fputs("Press Enter to continue . . . ", stdout);
  std::fflush(stdout);
  // What the user typed after the last answer belongs to that answer, not to this wait.
  __fpurge(stdin);
  int c;
  do c = std::getchar();
  while (c != '\n' && c != EOF);
}

void tly_bbp_flush_output() {
  std::cout.flush();
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !std::cout.bad()) return;
  std::fputs("tallyspire-bbp: standard output cannot be written\n", stderr);
  // May run on a worker thread while others compute, as the fatal path does.
  std::_Exit(1);
}

int32_t tly_bbp_clock_ms() {
  return static_cast<int32_t>(static_cast<uint32_t>(monotonic_ms() - process_start_ms));
}

double tly_bbp_clock_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double tly_bbp_elapsed_seconds(int32_t t0, int32_t t1) {
  const int32_t elapsed = static_cast<int32_t>(static_cast<uint32_t>(t1) - static_cast<uint32_t>(t0));
  return static_cast<double>(elapsed) * 0.001;
}
