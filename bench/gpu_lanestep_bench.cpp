// Lane-steps per second of each GPU arithmetic on each device of each runtime found, beside the processor's variant in use.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "gpu.h"

namespace {

// Terms near these moduli: place 10^9 + 1 of the Plouffe formula, and the far end of the exact
// double arithmetic.
constexpr uint64_t place_modulus = 4000000001, far_modulus = (uint64_t{1} << 52) - (uint64_t{1} << 30);

tly_bbp_gpu* gpu = nullptr;

void device_lane_steps(benchmark::State& state, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t modulus) {
  const uint64_t cells = uint64_t(state.range(0));
  const tly_bbp_gpu_device_info* info = tly_bbp_gpu_device(gpu, device);
  // About half a second of work on a processor's OpenCL, a few launches on a GPU.
  const uint64_t terms = uint64_t{info->compute_units} * (info->is_gpu ? 1 << 20 : 1 << 17);
  double rate = 0, rates = 0, samples = 0;
  for (auto _ : state) {
    tly_bbp_gpu_error error{};
    if (!tly_bbp_gpu_rate(gpu, device, arithmetic, modulus, cells, terms, &rate, &error)) {
      state.SkipWithError(error.message);
      return;
    }
    rates += rate;
    samples += 1;
  }
  state.counters["lane_steps_per_s"] = rates / std::max(samples, 1.0);
}

// The processor's variant in use with every thread, on the same sample: the engine's whole
// block kernel, set-up and digits included, as the devices' figures are.
void processor_lane_steps(benchmark::State& state) {
  const uint64_t cells = uint64_t(state.range(0));
  const uint64_t first = (place_modulus - 1) / 8, shift = 4 * first + place_modulus / 2, terms = 1 << 21;
  const uint64_t steps_per_term = 64 - __builtin_clzll(place_modulus / 2) - 5;
  uint64_t steps = 0;
  for (auto _ : state) {
#pragma omp parallel reduction(+ : steps)
    {
      std::vector<int64_t> block(cells);
      std::vector<uint64_t> scratch(8 * cells + 64);
      const uint64_t per_thread = terms / omp_get_num_threads(), start = first + per_thread * omp_get_thread_num();
      tly_bbp_kernel(block.data(), cells, 0, shift, start, start + per_thread, 4, 8, 1, scratch.data());
      steps += per_thread * steps_per_term;
    }
  }
  state.counters["lane_steps_per_s"] = benchmark::Counter(double(steps), benchmark::Counter::kIsRate);
}

// On a shared machine the least disturbed repetition is the one to read: the highest rate.
double most(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

const bool registered = [] {
  benchmark::RegisterBenchmark((std::string("cpu/") + tly_bbp_active_variant()->name).c_str(), processor_lane_steps)
      ->Arg(4)
      ->ArgName("cells")
      ->UseRealTime()
      ->Repetitions(3)
      ->ComputeStatistics("max", most)
      ->Unit(benchmark::kMillisecond);
  tly_bbp_gpu_error error{};
  gpu = tly_bbp_gpu_open(&error);
  for (int d = 0; d < tly_bbp_gpu_device_count(gpu); ++d) {
    const tly_bbp_gpu_device_info* info = tly_bbp_gpu_device(gpu, d);
    char device[32];
    tly_bbp_gpu_device_name(info, device, sizeof device);
    for (tly_bbp_gpu_arithmetic a : {tly_bbp_gpu_fp64_exact, tly_bbp_gpu_montgomery64}) {
      if (a == tly_bbp_gpu_fp64_exact && info->fp64 == tly_bbp_gpu_fp64_none) continue;
      for (const auto& [where, modulus] : {std::pair{"4e9", place_modulus}, std::pair{"2^52", far_modulus}})
        benchmark::RegisterBenchmark((std::string(device) + "/" + tly_bbp_gpu_arithmetic_name(a) + "/" + where).c_str(),
                                     device_lane_steps, d, a, modulus)
            ->Args({4})
            ->ArgName("cells")
            ->Iterations(1)
            ->Repetitions(3)
            ->ComputeStatistics("max", most)
            ->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
