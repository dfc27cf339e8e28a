// The 32-bit-limb vector Montgomery prototype against the scalar 64-bit tier's step: ns per lane-step, checked equal first.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/general.h"
#include "limb32.h"

namespace {

constexpr int steps = 64;

struct lanes {
  uint64_t x[limb32_lanes], o[limb32_lanes], o_inverse[limb32_lanes], bits[limb32_lanes];
};

// Odd moduli just below 2^62, the prototype's limit, powers below them, random exponent bits.
lanes random_lanes() {
  std::mt19937_64 rng(62);
  lanes l;
  for (int j = 0; j < limb32_lanes; ++j) {
    l.o[j] = ((uint64_t{1} << 62) - (rng() >> 20)) | 1;
    l.o_inverse[j] = tly_bbp_odd_inverse(l.o[j]);
    l.x[j] = rng() % l.o[j];
    l.bits[j] = rng();
  }
  return l;
}

void scalar_powers(lanes& l) {
  uint64_t bits[limb32_lanes];
  for (int j = 0; j < limb32_lanes; ++j) bits[j] = l.bits[j];
  for (int s = 0; s < steps; ++s)
    for (int j = 0; j < limb32_lanes; ++j) {
      l.x[j] = tly_bbp_general_step<true>(l.x[j], bits[j] >> 63, l.o[j], l.o_inverse[j]);
      bits[j] <<= 1;
    }
}

using powers_fn = void (*)(uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, int);

void vector_powers(benchmark::State& state, powers_fn powers, bool supported) {
  if (!supported) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  lanes l = random_lanes(), expected = l;
  scalar_powers(expected);
  powers(l.x, l.o, l.o_inverse, l.bits, steps);
  for (int j = 0; j < limb32_lanes; ++j)
    if (l.x[j] != expected.x[j]) {
      state.SkipWithError("the prototype's powers differ from the 64-bit tier's");
      return;
    }
  for (auto _ : state) {
    powers(l.x, l.o, l.o_inverse, l.bits, steps);
    benchmark::DoNotOptimize(l.x);
  }
  state.counters["ns_per_lane_step"] = benchmark::Counter(double(state.iterations()) * steps * limb32_lanes,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void scalar(benchmark::State& state) {
  lanes l = random_lanes();
  for (auto _ : state) {
    scalar_powers(l);
    benchmark::DoNotOptimize(l.x);
  }
  state.counters["ns_per_lane_step"] = benchmark::Counter(double(state.iterations()) * steps * limb32_lanes,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(scalar)->Name("64-bit tier step")->Repetitions(3)->ComputeStatistics("min", least);
BENCHMARK_CAPTURE(vector_powers, avx2, tly_bbp_limb32_powers_avx2, __builtin_cpu_supports("avx2"))
    ->Name("32-bit limbs/AVX2")->Repetitions(3)->ComputeStatistics("min", least);
BENCHMARK_CAPTURE(vector_powers, avx512, tly_bbp_limb32_powers_avx512, __builtin_cpu_supports("avx512dq"))
    ->Name("32-bit limbs/AVX-512")->Repetitions(3)->ComputeStatistics("min", least);

}  // namespace

BENCHMARK_MAIN();
