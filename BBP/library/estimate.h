// The run-time estimate of a run: sample blocks timed at the run's place.
#pragma once
#include <cstdint>
#include <vector>

#include "../engine/engine.h"
#include "../engine/pblock.h"

// The run to estimate.
struct tly_bbp_estimate_request {
  int32_t choice;  // 0 Plouffe, 1 Bellard, 2 both
  uint64_t place, digits;
  int32_t threads;  // 0: one per processor; negative: none, the workers alone
  tly_bbp_variant_policy policy;
  // Workers beside the threads (GPUs), each timed through its own compute as a run calls it.
  const tly_bbp_block_worker* workers = nullptr;
  int32_t worker_count = 0;
};

// One worker's part in the prediction.
struct tly_bbp_worker_estimate {
  double terms_per_second;  // alone, over every term of the run
  double share;             // of the run's terms, beside the others
  bool failed;              // its compute failed on a sample: left out of the prediction
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
  // The workers' in the request's order, then the threads' when they compute; the shares of
  // those that did not fail add up to 1.
  std::vector<tly_bbp_worker_estimate> workers;
};

// The processors the run can really use: its affinity mask, capped by its container's CPU
// quota (cgroup version 2 or 1), which may be a fraction.
double tly_bbp_usable_processors();

// Times sample blocks of every series of the run the request describes, spread over each stretch
// of terms whose arithmetic stays the same, on the run's thread team and on each worker, and
// adds up, the rates of the team and the workers added stretch by stretch; seconds -1 when the
// memory for the samples is not there, 0 when no worker is left (the threads do not compute
// and every worker failed).
tly_bbp_estimate tly_bbp_estimate_run_time(const tly_bbp_estimate_request& request);
