// Process services without state: the one lock, aligned memory under it, and clocks.
#include "system.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

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

std::mutex& tly_bbp_process_lock() {
  static std::mutex lock;
  return lock;
}

void* tly_bbp_alloc(uint64_t bytes) {
  void* memory;
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    memory = system_alloc(bytes);
  }
  return memory;
}

void tly_bbp_free(void* memory) {
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    std::free(memory);
  }
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
