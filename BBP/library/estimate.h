// The run-time estimate of a run: sample blocks timed at the run's place.
#pragma once
#include <cstdint>
#include <vector>

#include "../engine/engine.h"

// The run to estimate.
struct tly_bbp_estimate_request {
  int32_t choice;  // 0 Plouffe, 1 Bellard, 2 both
  uint64_t place, digits;
  int32_t threads;  // 0: one per processor
  tly_bbp_variant_policy policy;
};

struct tly_bbp_formula_estimate {
  int32_t formula;  // 0 Plouffe, 1 Bellard
  std::vector<double> series_seconds;
  double seconds;
};

struct tly_bbp_estimate {
  std::vector<tly_bbp_formula_estimate> formulas;  // in the order a run computes them
  double seconds;                                  // of the whole run
  int32_t threads;
  uint64_t terms;                                  // of every series of the run together
  uint64_t sample_terms;                           // what was timed to predict it
  double sample_seconds;
};

// The processors the run can really use: its affinity mask, capped by its container's CPU
// quota (cgroup version 2 or 1), which may be a fraction.
double tly_bbp_usable_processors();

// Times sample blocks of every series of the run the request describes, spread over each stretch
// of terms whose arithmetic stays the same, on the run's thread team, and adds up; seconds -1
// when the memory for the samples is not there.
tly_bbp_estimate tly_bbp_estimate_run_time(const tly_bbp_estimate_request& request);
