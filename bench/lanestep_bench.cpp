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

// Groups of a Plouffe series (step 4, moduli 8k+1) from the middle of its range, where the
// exponent is half the modulus: by default at place 10^9 + 1, moduli near 4*10^9.
constexpr uint32_t step = 4, multiplier = 8, offset = 1;
constexpr uint64_t place_modulus = 4000000001;
constexpr uint32_t groups_per_call = 16;  // as the kernel passes them

void lane_steps(benchmark::State& state, const tly_bbp_variant* variant, uint64_t first_modulus) {
  if (!variant->supported()) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  const uint64_t cells = uint64_t(state.range(0));
  const int threads = int(state.range(1));
  const uint64_t first_term = (first_modulus - offset) / multiplier, shift = step * first_term + first_modulus / 2;
  const uint64_t e0 = shift - step * first_term;
  const uint32_t known_zeros = uint32_t(std::countl_zero(e0));
  const uint64_t steps_per_lane = 64 - known_zeros - 5;  // the window takes five bits

  // Every call's moduli are formed before the timing, so that only the variant is timed.
  constexpr int calls_per_thread = 256;
  std::vector<std::vector<uint64_t>> moduli(threads);
  for (int t = 0; t < threads; ++t) {
    moduli[t].resize(8 * groups_per_call * calls_per_thread);
    for (size_t i = 0; i < moduli[t].size(); ++i)
      moduli[t][i] = uint64_t{multiplier} * (first_term + 1000000 * uint64_t(t) + i) + offset;
  }
  uint64_t calls = 0;
  for (auto _ : state) {
#pragma omp parallel num_threads(threads) reduction(+ : calls)
    {
      const int t = omp_get_thread_num();
      std::vector<uint64_t> rows(8 * cells + 8, 0);
      uint64_t* aligned_rows = reinterpret_cast<uint64_t*>((reinterpret_cast<uintptr_t>(rows.data()) + 63) & ~uintptr_t{63});
      uint64_t k = first_term + 1000000 * uint64_t(t);
      for (int call = 0; call < calls_per_thread; ++call, k += 8 * groups_per_call, ++calls)
        variant->groups(aligned_rows, cells, moduli[t].data() + 8 * groups_per_call * call, known_zeros,
                        shift - step * k, step, groups_per_call);
      benchmark::DoNotOptimize(aligned_rows[0]);
    }
  }
  const double lane_steps_done = double(calls) * groups_per_call * 8 * double(steps_per_lane);
  state.counters["ns_per_lane_step"] =
      benchmark::Counter(lane_steps_done, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

#if defined(__x86_64__)
// The floor under the IFMA variant's loop on this machine: a lane-step is four 52-bit
// multiply-adds per eight lanes, here issued with nothing else, twelve independent chains
// deep. Set-up, digits and the loop's other operations all come on top of it.
void multiply_add_floor(benchmark::State& state) {
  if (!__builtin_cpu_supports("avx512ifma")) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  constexpr int per_pass = 12, passes = 1 << 20;
  uint64_t multiply_adds = 0;
  for (auto _ : state) {
    for (int pass = 0; pass < passes; ++pass)
      asm volatile(
          "vpmadd52luq %%zmm30, %%zmm31, %%zmm0\n\tvpmadd52huq %%zmm30, %%zmm31, %%zmm1\n\t"
          "vpmadd52luq %%zmm30, %%zmm31, %%zmm2\n\tvpmadd52huq %%zmm30, %%zmm31, %%zmm3\n\t"
          "vpmadd52luq %%zmm30, %%zmm31, %%zmm4\n\tvpmadd52huq %%zmm30, %%zmm31, %%zmm5\n\t"
          "vpmadd52luq %%zmm30, %%zmm31, %%zmm6\n\tvpmadd52huq %%zmm30, %%zmm31, %%zmm7\n\t"
          "vpmadd52luq %%zmm30, %%zmm31, %%zmm8\n\tvpmadd52huq %%zmm30, %%zmm31, %%zmm9\n\t"
          "vpmadd52luq %%zmm30, %%zmm31, %%zmm10\n\tvpmadd52huq %%zmm30, %%zmm31, %%zmm11" ::
              : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11");
    multiply_adds += uint64_t{per_pass} * passes;
  }
  state.counters["ns_per_lane_step"] =
      benchmark::Counter(double(multiply_adds) * 8 / 4, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
#endif
// On a shared machine the least disturbed repetition is the one to read.
double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

#if defined(__x86_64__)
BENCHMARK(multiply_add_floor)->UseRealTime()->Repetitions(3)->ComputeStatistics("min", least);
#endif

const tly_bbp_variant* named(const char* name) {
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (std::string(tly_bbp_variants[i].name) == name) return &tly_bbp_variants[i];
  return nullptr;
}

void add(const std::string& name, const tly_bbp_variant* variant, uint64_t first_modulus, std::vector<int> threads) {
  for (int t : threads)
    for (int cells : {4, 131})
      benchmark::RegisterBenchmark(name.c_str(), lane_steps, variant, first_modulus)
          ->Args({cells, t})
          ->ArgNames({"cells", "threads"})
          ->UseRealTime()
          ->ComputeStatistics("min", least)
          ->Unit(benchmark::kMillisecond);
}

const bool registered = [] {
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    add("lane_steps/" + std::string(tly_bbp_variants[i].name), &tly_bbp_variants[i], place_modulus, {1, 2});
  // Each tier at the far moduli it serves, against the estimates at the end of their range.
  // The moduli of a run span about 2^18 above the first (2^23 with a second thread).
  const struct {
    const char* variant;
    const char* where;
    uint64_t first_modulus;
  } far[] = {{"x64 AVX2", "below 2^47", (uint64_t{1} << 47) - (uint64_t{1} << 24)},
             {"x64 AVX2 exact", "above 2^47", (uint64_t{1} << 47) + 1},
             {"x64 AVX2 exact", "below 2^51", (uint64_t{1} << 51) - (uint64_t{1} << 24)},
             {"x64 AVX-512", "below 2^47", (uint64_t{1} << 47) - (uint64_t{1} << 24)},
             {"x64 AVX-512 exact", "above 2^47", (uint64_t{1} << 47) + 1},
             {"x64 AVX-512 exact", "below 2^51", (uint64_t{1} << 51) - (uint64_t{1} << 24)},
             {"x64 AVX-512 IFMA", "above 2^47", (uint64_t{1} << 47) + 1},
             {"x64 AVX-512 IFMA", "below 2^52", (uint64_t{1} << 52) - (uint64_t{1} << 24)},
             {"x64 AVX-512 IFMA two limbs", "above 2^52", (uint64_t{1} << 52) + 1},
             {"x64 AVX-512 IFMA two limbs", "near 2^60", uint64_t{1} << 60},
             {"x64 AVX-512 IFMA two limbs", "below 2^63", (uint64_t{1} << 63) - (uint64_t{1} << 24)},
             {"x64 AVX-512 IFMA two limbs", "near 2^64", ~uint64_t{0} - (uint64_t{1} << 24)},
             {"x64 64-bit Montgomery", "below 2^47", (uint64_t{1} << 47) - (uint64_t{1} << 24)},
             {"x64 64-bit Montgomery", "below 2^51", (uint64_t{1} << 51) - (uint64_t{1} << 24)},
             {"x64 64-bit Montgomery", "near 2^60", uint64_t{1} << 60},
             {"x64 64-bit Montgomery", "near 2^64", ~uint64_t{0} - (uint64_t{1} << 24)},
             {"arm64 NEON", "below 2^47", (uint64_t{1} << 47) - (uint64_t{1} << 24)},
             {"arm64 64-bit Montgomery", "below 2^47", (uint64_t{1} << 47) - (uint64_t{1} << 24)},
             {"arm64 64-bit Montgomery", "near 2^64", ~uint64_t{0} - (uint64_t{1} << 24)}};
  for (const auto& f : far)
    if (const tly_bbp_variant* v = named(f.variant)) add(std::string("far/") + f.variant + "/" + f.where, v, f.first_modulus, {1});
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
