// The run-time estimate: sample blocks of every series timed on the run's thread team and on
// each worker at the run's place, the team's schedule of blocks played through with its costs,
// and the rates of the team and the workers added.
#include "estimate.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "../engine/kernel.h"
#include "../engine/pblock.h"
#include "../engine/system.h"
#include "../formulas/run_plan.h"

namespace {

// Each point is timed for about this long: long enough to see through a busy machine, short
// enough that both formulas at a far place answer within seconds.
constexpr double seconds_per_point = 0.1;
constexpr uint64_t fewest_terms = 8, most_terms = uint64_t{1} << 22;  // per thread and point
// The cost of a term follows its exponent's length, smooth between the moduli where the
// arithmetic changes: a few midpoints per stretch between them integrate it well.
constexpr uint64_t points_per_stretch = 4;
// Beyond this many equal blocks the schedule's start is shared out evenly instead of played
// block by block: one block more or less on a thread no longer shows.
constexpr uint64_t blocks_played = 100000;

struct sampler {
  uint64_t cells, slice_bytes;
  int32_t threads;         // asked for
  int32_t team;            // granted by the runtime
  double processors;       // the run can use
  int32_t lanes;           // threads that run at once: the team, or the processors it shares
  unsigned char* scratch;  // a slice per thread, as the series evaluator gives them
  int64_t* results;        // a block result per thread
  uint64_t terms_per_thread;
  tly_bbp_variant_policy policy;
  std::vector<double> start_ups;  // per sample: the team's time beyond its slowest thread's work
  uint64_t sample_terms;
  double sample_seconds;
};

// One lane's seconds per term at `first`: the team evaluates a block per thread side by side,
// as in the run, and each thread times its own from a common start. The team's start and end
// are timed apart: on a busy machine they can take longer than the sample, but a run pays
// them once per series. A team larger than its processors shares them: its threads take turns,
// so what counts is the terms the whole team finishes per second, spread over the processors.
double seconds_per_term(sampler* z, const tly_bbp_series& s, uint64_t shift, uint64_t first) {
  const uint64_t per = z->terms_per_thread;
  std::vector<double> began(size_t(z->threads), 0.0), ended(size_t(z->threads), 0.0);
  int32_t team = 0;
  const double t0 = tly_bbp_clock_seconds();
#pragma omp parallel num_threads(z->threads)
  {
    const int32_t t = omp_get_thread_num();
    if (t == 0) team = omp_get_num_threads();
    const uint64_t a = first + uint64_t(t) * per;
#pragma omp barrier
    began[size_t(t)] = tly_bbp_clock_seconds();
    // Only the time counts here: a failed lane check shows in the run itself.
    (void)tly_bbp_kernel(z->results + uint64_t(t) * z->cells, z->cells, s.alternating, shift, a, a + per, s.step,
                         s.multiplier, s.offset, z->scratch + uint64_t(t) * z->slice_bytes, z->policy);
    ended[size_t(t)] = std::max(tly_bbp_clock_seconds(), began[size_t(t)] + 1e-9);
  }
  const double wall = tly_bbp_clock_seconds() - t0;
  z->team = team;
  z->lanes = std::max(1, std::min(team, int32_t(std::ceil(z->processors))));
  double total = 0, longest = 0, start = ended[0], end = 0;
  for (int32_t t = 0; t < team; ++t) {
    total += ended[size_t(t)] - began[size_t(t)];
    longest = std::max(longest, ended[size_t(t)] - began[size_t(t)]);
    start = std::min(start, began[size_t(t)]);
    end = std::max(end, ended[size_t(t)]);
  }
  const double busy = team > z->lanes ? end - start : longest;
  z->start_ups.push_back(std::max(wall - busy, 0.0));
  z->sample_terms += uint64_t(team) * per;
  z->sample_seconds += wall;
  const double next = double(per) * seconds_per_point / busy;
  z->terms_per_thread = uint64_t(std::clamp(next, double(fewest_terms), double(most_terms))) & ~uint64_t{7};
  if (team > z->lanes) return (end - start) * double(z->lanes) / (double(team) * double(per));
  return total / (double(team) * double(per));
}

// One thread's cost of one series' terms, piece by piece: from term `begin` on, `per_term`
// seconds a term; `before` is the cost of all earlier terms.
struct cost_piece {
  uint64_t begin;
  double per_term, before;
};

// One thread's seconds for the terms [0, k).
double cost_to(const std::vector<cost_piece>& pieces, uint64_t k) {
  auto after = std::upper_bound(pieces.begin(), pieces.end(), k,
                                [](uint64_t term, const cost_piece& p) { return term < p.begin; });
  if (after == pieces.begin()) return 0;
  const cost_piece& p = *(after - 1);
  return p.before + double(k - p.begin) * p.per_term;
}

// Where one series' cost per term may jump: the moduli bounds of the variants, and the end
// of the powers (the later terms are plain fractions).
std::vector<uint64_t> stretch_ends(const tly_bbp_variant_policy& policy, const tly_bbp_series& s, uint64_t position,
                                   uint64_t term_count) {
  std::vector<uint64_t> ends{term_count, tly_bbp_power_count(s, position, term_count)};
  for (uint64_t bound : tly_bbp_moduli_bounds(policy))
    if (bound > s.offset) ends.push_back(std::min(term_count, (bound - s.offset + s.multiplier - 1) / s.multiplier));
  std::sort(ends.begin(), ends.end());
  ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
  return ends;
}

// A piece [first, last) of one series' terms that one sample stands for.
struct piece {
  uint64_t first, last;
};

// A few pieces per stretch, each timed in its middle.
std::vector<piece> sample_pieces(const tly_bbp_variant_policy& policy, const tly_bbp_series& s, uint64_t position,
                                 uint64_t term_count) {
  std::vector<piece> pieces;
  uint64_t begin = 0;
  for (uint64_t end : stretch_ends(policy, s, position, term_count)) {
    const uint64_t length = end - begin;
    const uint64_t points = std::min(points_per_stretch, std::max<uint64_t>(length / 1024, 1));
    for (uint64_t i = 0; i < points; ++i) {
      const uint64_t u = begin + length * i / points, v = begin + length * (i + 1) / points;
      if (v > u) pieces.push_back({u, v});
    }
    begin = end;
  }
  return pieces;
}

std::vector<cost_piece> series_costs(sampler* z, const tly_bbp_series& s, uint64_t shift,
                                     const std::vector<piece>& pieces) {
  std::vector<cost_piece> costs;
  double before = 0;
  for (const auto [u, v] : pieces) {
    // The team's sample in the middle of [u, v), on an even term as the run's blocks start.
    const uint64_t width = std::min<uint64_t>(uint64_t(z->team) * z->terms_per_thread, v - u);
    z->terms_per_thread = std::max(fewest_terms, width / uint64_t(z->team));
    const uint64_t first = (u + (v - u - width) / 2) & ~uint64_t{1};
    const double per_term = seconds_per_term(z, s, shift, first);
    costs.push_back({u, per_term, before});
    before += per_term * double(v - u);
  }
  return costs;
}

// A worker's samples: one block per piece, alone, through the compute a run calls. Short, so
// that a slow device spends a fraction of a second on a stretch; grown where a block too short
// to time or to fill a device is seen.
constexpr double worker_seconds_per_point = 0.025;
constexpr uint64_t fewest_worker_terms = 64, most_worker_terms = uint64_t{1} << 32;

struct worker_sampler {
  const tly_bbp_block_worker* worker;
  int64_t* result;
  uint64_t terms;  // in the next sample
  bool failed;
  uint64_t sample_terms;
  double sample_seconds;
};

// The worker's seconds per term on each piece of one series; empty once it has failed.
std::vector<double> worker_costs(worker_sampler* w, const tly_bbp_series_call& call, const std::vector<piece>& pieces) {
  const auto block = [&](uint64_t first, uint64_t last) {
    tly_bbp_block_hold hold{0, 0, 0.0};  // nobody takes a sample over
    w->failed = w->failed || !w->worker->compute(w->worker->context, &call, first, last, w->result, &hold);
    return !w->failed;
  };
  // A first block prepares the pass (a device chooses its arithmetic for it): not counted.
  const uint64_t middle = call.term_count / 2 & ~uint64_t{1};
  if (!block(middle, std::min(middle + fewest_worker_terms, call.term_count))) return {};
  std::vector<double> per_term;
  for (const auto [u, v] : pieces)
    for (int tries = 0;; ++tries) {
      const uint64_t width = std::min(w->terms, v - u);
      const uint64_t first = (u + (v - u - width) / 2) & ~uint64_t{1};
      const double t0 = tly_bbp_clock_seconds();
      if (!block(first, first + width)) return {};
      const double seconds = std::max(tly_bbp_clock_seconds() - t0, 1e-9);
      w->sample_terms += width;
      w->sample_seconds += seconds;
      const double next = double(width) * std::min(worker_seconds_per_point / seconds, 64.0);
      w->terms = uint64_t(std::clamp(next, double(fewest_worker_terms), double(most_worker_terms))) & ~uint64_t{1};
      if (seconds >= worker_seconds_per_point / 4 || width == v - u || tries == 6) {
        per_term.push_back(seconds / double(width));
        break;
      }
    }
  return per_term;
}

// The series' time on the team: the run's own claims handed to whichever lane is free first,
// as the block loop hands them out; threads beyond the processors wait for a lane.
double schedule_seconds(const std::vector<cost_piece>& pieces, uint64_t term_count, int32_t threads, int32_t team,
                        int32_t lanes, uint64_t block_hint) {
  uint64_t size = tly_bbp_initial_block_size(threads, term_count, block_hint), next = 0, first, last;
  std::vector<double> free_at(size_t(lanes), 0.0);
  // The claims keep their size while the rest is at least two blocks per thread.
  const uint64_t keep = 2 * uint64_t(team) * size;
  if (term_count >= keep && (term_count - keep) / size + 1 > blocks_played) {
    next = ((term_count - keep) / size + 1) * size;
    std::fill(free_at.begin(), free_at.end(), cost_to(pieces, next) / lanes);
  }
  while (tly_bbp_claim_block(term_count, team, &next, &size, &first, &last))
    *std::min_element(free_at.begin(), free_at.end()) += cost_to(pieces, last) - cost_to(pieces, first);
  return *std::max_element(free_at.begin(), free_at.end());
}

}  // namespace

tly_bbp_estimate tly_bbp_estimate_run_time(const tly_bbp_estimate_request& o) {
  const tly_bbp_run_values values = tly_bbp_command_line_run_values(o.place, o.digits);
  const bool on_threads = o.threads >= 0;
  sampler z{};
  z.cells = values.words;
  z.slice_bytes = values.words * 64 + 64;
  z.threads = !on_threads ? 0 : o.threads > 0 ? o.threads : omp_get_num_procs();
  z.team = z.threads;
  z.processors = tly_bbp_usable_processors();
  z.policy = o.policy;
  if (on_threads) {
    z.scratch = static_cast<unsigned char*>(tly_bbp_alloc(uint64_t(z.threads) * z.slice_bytes));
    z.results = static_cast<int64_t*>(tly_bbp_alloc(uint64_t(z.threads) * z.cells * 8));
  }
  int64_t* worker_result = static_cast<int64_t*>(tly_bbp_alloc(z.cells * 8));
  if ((on_threads && (!z.scratch || !z.results)) || !worker_result) {
    tly_bbp_free(z.scratch);
    tly_bbp_free(z.results);
    tly_bbp_free(worker_result);
    return {{}, -1, z.threads, 0, 0, 0, {}};
  }

  const std::vector<tly_bbp_run_formula> formulas = tly_bbp_run_formulas(o.choice, o.place, o.digits);
  if (on_threads) {
    // A first sample wakes the team and sizes the next; it is not counted.
    const tly_bbp_series& s0 = formulas[0].series[0];
    z.terms_per_thread = 1024;
    seconds_per_term(&z, s0, tly_bbp_series_shift(s0, values.position), formulas[0].term_count / 2 & ~uint64_t{1});
    z.start_ups.clear();
    z.sample_terms = 0;
    z.sample_seconds = 0;
  }
  std::vector<worker_sampler> workers;
  for (int32_t k = 0; k < o.worker_count; ++k)
    workers.push_back({&o.workers[k], worker_result, fewest_worker_terms, false, 0, 0.0});

  // Per formula and series: the pieces timed, the team's costs and each worker's.
  std::vector<std::vector<std::vector<piece>>> pieces;
  std::vector<std::vector<std::vector<cost_piece>>> costs;
  std::vector<std::vector<std::vector<std::vector<double>>>> worker_costs_of(workers.size());
  for (const tly_bbp_run_formula& f : formulas) {
    pieces.emplace_back();
    costs.emplace_back();
    for (auto& w : worker_costs_of) w.emplace_back();
    for (int i = 0; i < f.count; ++i) {
      const tly_bbp_series& s = f.series[i];
      const uint64_t shift = tly_bbp_series_shift(s, values.position);
      pieces.back().push_back(sample_pieces(o.policy, s, values.position, f.term_count));
      if (on_threads) costs.back().push_back(series_costs(&z, s, shift, pieces.back().back()));
      const tly_bbp_series_call call{values.words, shift,        f.term_count, values.block_hint, s.alternating,
                                     s.step,       s.multiplier, s.offset,     o.policy,          o.threads};
      for (size_t k = 0; k < workers.size(); ++k)
        worker_costs_of[k].back().push_back(worker_costs(&workers[k], call, pieces.back().back()));
    }
  }
  double start_up = 0;
  if (on_threads) {
    // The median start and end of a team: a few samples meet a busy moment.
    std::nth_element(z.start_ups.begin(), z.start_ups.begin() + z.start_ups.size() / 2, z.start_ups.end());
    start_up = z.start_ups[z.start_ups.size() / 2];
  }
  bool any_worker = false;
  for (const worker_sampler& w : workers) any_worker = any_worker || !w.failed;

  tly_bbp_estimate e{{}, 0, z.team, 0, z.sample_terms, z.sample_seconds, {}};
  // Each one's seconds alone and terms beside the others: the workers', then the team's.
  const size_t team_entry = workers.size();
  std::vector<double> alone(workers.size() + 1, 0.0), terms_of(workers.size() + 1, 0.0);
  for (size_t f = 0; f < formulas.size(); ++f) {
    tly_bbp_formula_estimate fe{formulas[f].formula, {}, 0};
    for (size_t i = 0; i < pieces[f].size(); ++i) {
      const uint64_t term_count = formulas[f].term_count;
      double seconds = 0, efficiency = 0;
      if (on_threads) {
        const double scheduled =
            schedule_seconds(costs[f][i], term_count, z.threads, z.team, z.lanes, values.block_hint);
        // What the run's claims leave the team of its full rate.
        efficiency = cost_to(costs[f][i], term_count) / double(z.lanes) / std::max(scheduled, 1e-12);
        alone[team_entry] += start_up + scheduled;
        seconds = start_up + scheduled;
      }
      if (any_worker) {
        // Every one computes at its own pace all along the series: their rates add piece by piece.
        seconds = on_threads ? start_up : 0;
        for (size_t j = 0; j < pieces[f][i].size(); ++j) {
          const double length = double(pieces[f][i][j].last - pieces[f][i][j].first);
          std::vector<double> rates(alone.size(), 0.0);
          if (on_threads) rates[team_entry] = efficiency * double(z.lanes) / costs[f][i][j].per_term;
          for (size_t k = 0; k < workers.size(); ++k)
            if (!workers[k].failed) {
              rates[k] = 1 / worker_costs_of[k][f][i][j];
              alone[k] += length * worker_costs_of[k][f][i][j];
            }
          double total = 0;
          for (double rate : rates) total += rate;
          seconds += length / total;
          for (size_t k = 0; k < rates.size(); ++k) terms_of[k] += length * rates[k] / total;
        }
      } else {
        terms_of[team_entry] += double(term_count);
      }
      fe.series_seconds.push_back(seconds);
      fe.seconds += seconds;
      e.terms += term_count;
    }
    e.seconds += fe.seconds;
    e.formulas.push_back(fe);
  }
  for (size_t k = 0; k < alone.size(); ++k) {
    if (k == team_entry && !on_threads) break;
    const bool failed = k < workers.size() && workers[k].failed;
    e.workers.push_back({failed || alone[k] <= 0 ? 0 : double(e.terms) / alone[k],
                         failed ? 0 : terms_of[k] / double(e.terms), failed});
    if (k < workers.size()) {
      e.sample_terms += workers[k].sample_terms;
      e.sample_seconds += workers[k].sample_seconds;
    }
  }
  if (!on_threads && !any_worker) e.seconds = 0;
  tly_bbp_free(z.scratch);
  tly_bbp_free(z.results);
  tly_bbp_free(worker_result);
  return e;
}
