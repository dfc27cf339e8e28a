// Whole formulas in-process, with the baseline and the fastest variants in one run.
//
//   formula_bench [--benchmark_filter=...]   (progress text is sent to /dev/null)
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "formulas/formulas.h"
#include "formulas/run_values.h"
#include "Main/console.h"

namespace {

void formula(benchmark::State& state, int which, const tly_bbp_variant* variant) {
  tly_bbp_engine_run engine{};
  engine.variants = tly_bbp_engine_choice;
  engine.callbacks = tly_bbp_console_callbacks;  // as the console run reports
  if (!variant->supported() || !tly_bbp_use_variant(&engine.variants, variant->name)) {
    state.SkipWithError("not supported on this processor");
    return;
  }
  const uint64_t start = uint64_t(state.range(0));
  const uint64_t digits = uint64_t(state.range(1));
  const tly_bbp_run_values run = tly_bbp_derive_run_values(start, digits);
  std::vector<uint32_t> result(run.words);
  for (auto _ : state) {
    (which == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(result.data(), run.position, run.words, run.block_hint,
                                                           engine);
  }
  char top[9];
  std::snprintf(top, sizeof top, "%08x", result[run.words - 1]);
  state.SetLabel(top);
}

const bool registered = [] {
  // The baseline, the fastest variant of the estimate arithmetic and the fastest of all.
  const tly_bbp_variant* baseline = &tly_bbp_variants[0];
  const tly_bbp_variant* best = tly_bbp_active_variant(tly_bbp_engine_choice);
  const tly_bbp_variant* best_estimate = baseline;
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (tly_bbp_variants[i].reference == baseline->reference && tly_bbp_variants[i].supported())
      best_estimate = &tly_bbp_variants[i];
  const std::vector<std::vector<int64_t>> places = {
      {1000001, 8}, {100000001, 8}, {1000000001, 8}, {100000001, 1024}};
  std::vector<const tly_bbp_variant*> variants = {baseline};
  for (const tly_bbp_variant* v : {best_estimate, best})
    if (v != variants.back()) variants.push_back(v);
  for (const tly_bbp_variant* v : variants) {
    for (int which : {0, 1}) {
      for (const auto& p : places) {
        const std::string name = std::string(which == 0 ? "Plouffe/" : "Bellard/") + v->name;
        benchmark::RegisterBenchmark(name.c_str(), formula, which, v)
            ->Args(p)
            ->ArgNames({"place", "digits"})
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kSecond);
      }
    }
  }
  return true;
}();

}  // namespace

int main(int argc, char** argv) {
  // The formulas report progress on standard output; the benchmark's table goes to stderr.
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
