// Nanoseconds per lane-step (one square-and-double step of one lane) of each vector variant.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

// Groups of a Plouffe series at place 10^9 + 1, taken from the middle of its range.
constexpr uint64_t shift = 4000000002;
constexpr uint32_t step = 4, multiplier = 8, offset = 1;
constexpr uint64_t first_term = 500000000;
constexpr uint32_t groups_per_call = 16;  // as the kernel passes them

void lane_steps(benchmark::State& state, const tly_bbp_variant* variant) {
  if (!variant->supported()) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  const uint64_t cells = uint64_t(state.range(0));
  const int threads = int(state.range(1));
  const uint64_t e0 = shift - step * first_term;
  const uint32_t known_zeros = uint32_t(std::countl_zero(e0));
  const uint64_t steps_per_lane = 64 - known_zeros - 5;  // the window takes five bits

  uint64_t calls = 0;
  for (auto _ : state) {
#pragma omp parallel num_threads(threads) reduction(+ : calls)
    {
      alignas(64) uint64_t moduli[8 * groups_per_call];
      std::vector<uint64_t> rows(8 * cells + 8, 0);
      uint64_t* aligned_rows = reinterpret_cast<uint64_t*>((reinterpret_cast<uintptr_t>(rows.data()) + 63) & ~uintptr_t{63});
      uint64_t k = first_term + 1000000 * uint64_t(omp_get_thread_num());
      for (int call = 0; call < 256; ++call, k += 8 * groups_per_call, ++calls) {
        for (uint32_t i = 0; i < 8 * groups_per_call; ++i) moduli[i] = uint64_t{multiplier} * (k + i) + offset;
        variant->groups(aligned_rows, cells, moduli, known_zeros, shift - step * k, step, groups_per_call);
      }
      benchmark::DoNotOptimize(aligned_rows[0]);
    }
  }
  const double lane_steps_done = double(calls) * groups_per_call * 8 * double(steps_per_lane);
  state.counters["ns_per_lane_step"] =
      benchmark::Counter(lane_steps_done, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

const bool registered = [] {
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant* v = &tly_bbp_variants[i];
    for (int threads : {1, 2})
      for (int cells : {4, 131})
        benchmark::RegisterBenchmark(("lane_steps/" + std::string(v->name)).c_str(), lane_steps, v)
            ->Args({cells, threads})
            ->ArgNames({"cells", "threads"})
            ->UseRealTime()
            // On a shared machine the least disturbed repetition is the one to read.
            ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
            ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
