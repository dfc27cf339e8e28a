// The series evaluator and its parallel block loop: blocks of terms claimed on demand,
// summed per thread, and added up once the team has finished.
#include "pblock.h"

#include <omp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "accumulator.h"
#include "kernel.h"
#include "system.h"

namespace {

void local_begin(void*, const tly_bbp_series_call*) {}

void local_open(void*, tly_bbp_block_counters* counters, int32_t team_size) { counters->claimants = team_size; }

bool local_claim(void*, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  return tly_bbp_rule_claim(counters, first, last);
}

uint64_t local_finish(void*, tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                      const int64_t* block_result, uint64_t cells) {
  return tly_bbp_rule_finish(counters, first, last, block_result, cells);
}

bool claim_in_order(void*, tly_bbp_block_counters* c, uint64_t* first, uint64_t* last) {
  return tly_bbp_claim_block(c->term_count, c->claimants, &c->next_term, &c->block_size, first, last);
}

uint64_t count_finished(void*, tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t*,
                        uint64_t) {
  return counters->terms_done += last - first;
}

void local_close(void*, int64_t*, uint64_t, bool) {}

}  // namespace

const tly_bbp_claim_rule tly_bbp_every_term = {nullptr, claim_in_order, count_finished};
const tly_bbp_claim_source tly_bbp_local_claims = {nullptr, local_begin, local_open, local_claim, local_finish,
                                                   local_close};

const char* tly_bbp_status_message(int32_t status) {
  switch (status) {
    case tly_bbp_status_done: return "";
    case tly_bbp_status_cancelled: return "Cancelled.";
    case tly_bbp_status_no_memory: return "Memory Allocation Failure";
    case tly_bbp_status_lane_overflow: return "Error in computation. Expected < 2^56.";
    case tly_bbp_status_worker_failed: return "No worker is left to compute: every device failed.";
  }
  return "Error in computation.";
}

bool tly_bbp_rule_claim(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  return counters->rule->claim(counters->rule->context, counters, first, last);
}

uint64_t tly_bbp_rule_finish(tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                             const int64_t* block_result, uint64_t cells) {
  return counters->rule->finish(counters->rule->context, counters, first, last, block_result, cells);
}

void* tly_bbp_run_alloc(const tly_bbp_engine_run& run, uint64_t bytes) {
  return run.allocator ? run.allocator->allocate(bytes) : tly_bbp_alloc(bytes);
}

void tly_bbp_run_free(const tly_bbp_engine_run& run, void* memory) {
  if (run.allocator)
    run.allocator->release(memory);
  else
    tly_bbp_free(memory);
}

bool tly_bbp_cancelled(const tly_bbp_engine_run& run) {
  return run.cancel && __atomic_load_n(run.cancel, __ATOMIC_RELAXED) != 0;
}

uint64_t tly_bbp_initial_block_size(int32_t threads, uint64_t term_count, uint64_t block_hint) {
  uint64_t block_size = tly_bbp_block_unit;
  while (block_size < block_hint && block_size < term_count / 8) block_size *= 2;
  while (static_cast<uint64_t>(static_cast<int64_t>(threads)) * block_size > term_count) block_size /= 2;
  return block_size < tly_bbp_block_unit ? tly_bbp_block_unit : block_size;
}

bool tly_bbp_claim_block(uint64_t term_count, int32_t team_size, uint64_t* next_term, uint64_t* block_size,
                         uint64_t* first, uint64_t* last) {
  if (*next_term == term_count) return false;
  const uint64_t remaining = term_count - *next_term;
  const uint64_t team = static_cast<uint64_t>(static_cast<int64_t>(team_size));
  while (team * *block_size * 2 > remaining) *block_size /= 2;
  if (*block_size <= tly_bbp_block_unit) *block_size = tly_bbp_block_unit;
  *first = *next_term;
  *last = *next_term + *block_size < term_count ? *next_term + *block_size : term_count;
  *next_term = *last;
  return true;
}

int32_t tly_bbp_pblock(int64_t* out, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t term_count,
                       uint32_t step, uint32_t multiplier, uint32_t offset, uint64_t block_hint,
                       const tly_bbp_engine_run& run) {
  const tly_bbp_claim_source* source = run.source ? run.source : &tly_bbp_local_claims;
  const tly_bbp_series_call call{cells, shift, term_count, block_hint, alternating, step, multiplier, offset, run.variants,
                                  run.threads};
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    source->begin(source->context, &call);
  }

  const int32_t workers = run.workers ? run.worker_count : 0;
  const int32_t processors = run.threads > 0 ? run.threads : run.threads < 0 && workers > 0 ? 0 : omp_get_num_procs();
  const int32_t threads = processors + workers;
  tly_bbp_block_counters counters{term_count, 0, tly_bbp_initial_block_size(threads, term_count, block_hint), 0, 0,
                                  run.rule ? run.rule : &tly_bbp_every_term};

  const uint64_t array_cells = cells + 8;  // the 8 spare cells keep neighbouring threads' arrays apart
  const uint64_t slice_bytes = cells * 64 + 64;
  int64_t* accumulators = static_cast<int64_t*>(tly_bbp_run_alloc(run, uint64_t(threads) * 2 * array_cells * 8));
  unsigned char* scratch =
      accumulators ? static_cast<unsigned char*>(tly_bbp_run_alloc(run, uint64_t(threads) * slice_bytes)) : nullptr;
  if (!scratch) {
    if (accumulators) tly_bbp_run_free(run, accumulators);
    // The source saw the series begin: it ends with nothing summed.
    for (uint64_t i = 0; i < cells; ++i) out[i] = 0;
    {
      const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
      source->close(source->context, out, cells, false);
    }
    return tly_bbp_status_no_memory;
  }
  std::memset(accumulators, 0, uint64_t(threads) * array_cells * 8);

  int32_t team_size = 0;
  uint64_t reported = 0;  // the terms the last progress report showed
  std::atomic<int32_t> status{tly_bbp_status_done};
  // Blocks a failed worker gave back, taken before new claims; while a worker computes, the
  // others wait for the source's last blocks rather than leave one of them behind. Under the lock.
  std::vector<std::pair<uint64_t, uint64_t>> given_back;
  int32_t workers_computing = 0;
  int32_t in_loop = 0;  // members still claiming; a worker declines only while others go on
  std::vector<tly_bbp_pace> own_pace(run.pace ? 0 : workers + 1, tly_bbp_pace{0, 0.0, 0});
  tly_bbp_pace* pace = run.pace ? run.pace : own_pace.data();
  // Each worker's block in hand, for the idle threads that may take it over. Under the lock.
  struct held_block {
    bool held;
    uint64_t first, last;
    double started;
    tly_bbp_block_hold hold;
  };
  std::vector<held_block> held(workers, held_block{false, 0, 0, 0.0, {0, 0, 0.0}});
  // Whoever waits for the state to change (a worker that declines, a member with nothing left
  // to claim while workers compute, a failed worker owing its last claim) is woken by every
  // claim, finished block and departure; the bound lets it see the caller's flag, which nobody
  // signals.
  std::condition_variable changed;
  constexpr auto longest_wait = std::chrono::milliseconds(10);
  const auto rate = [&](int32_t k) { return pace[k].seconds > 0 ? double(pace[k].terms) / pace[k].seconds : -1.0; };

#pragma omp parallel num_threads(threads)
  {
    const int32_t t = omp_get_thread_num();
    if (t == 0) {
      const int32_t granted = omp_get_num_threads();
      team_size = granted < threads ? granted : threads;
      in_loop = team_size;
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        source->open(source->context, &counters, team_size);
      }
    }
#pragma omp barrier
    if (t < team_size) {
      int64_t* accumulator = accumulators + uint64_t(t) * array_cells;
      int64_t* block_result = accumulators + uint64_t(threads + t) * array_cells;
      void* slice = scratch + uint64_t(t) * slice_bytes;
      const tly_bbp_block_worker* worker = t < workers ? &run.workers[t] : nullptr;
      const int32_t pace_index = worker ? t : workers;
      const int32_t processors_granted = team_size > workers ? team_size - workers : 0;
      // Each thread claims from the source until it says no, once: a job's source counts on it.
      bool source_exhausted = false, failed = false;
      // Between blocks: a cancelled run or a failed block ends every thread's claims.
      while (status.load(std::memory_order_relaxed) == tly_bbp_status_done) {
        if (tly_bbp_cancelled(run)) {
          int32_t none = tly_bbp_status_done;
          status.compare_exchange_strong(none, tly_bbp_status_cancelled);
          break;
        }
        uint64_t first = 0, last = 0;
        bool claimed = false, waiting = false;
        double started = 0.0;
        {
          std::unique_lock<std::mutex> process_hold(tly_bbp_process_lock());
          started = tly_bbp_clock_seconds();
          // The rates of everybody but this member, in terms per second.
          const auto others_rate = [&] {
            double sum = 0.0;
            for (int32_t k = 0; k < workers; ++k)
              if (k != pace_index && rate(k) > 0) sum += rate(k);
            const double per_thread = rate(workers);
            if (per_thread > 0) sum += per_thread * (processors_granted - (worker ? 0 : 1));
            return sum;
          };
          // A block whose worker, at the pace it is making, would finish it later than the
          // others would finish it and all that is unclaimed: taken over at once, not only when
          // nothing else is left, for a slow device (one on these very processors most of all)
          // would otherwise hold it, and the others wait for it, to the end of the series.
          const auto take_over_slow_block = [&](uint64_t* from, uint64_t* to) {
            const double per_thread = rate(workers);
            if (per_thread <= 0 || processors_granted == 0) return false;
            const double unclaimed = double(counters.term_count - counters.next_term);
            for (int32_t k = 0; k < workers; ++k) {
              held_block& h = held[k];
              if (!h.held || h.hold.abandon) continue;
              const double done = double(__atomic_load_n(&h.hold.progress_terms, __ATOMIC_RELAXED));
              double spent = 0.0;
              __atomic_load(&h.hold.progress_seconds, &spent, __ATOMIC_RELAXED);
              if (done <= 0 || spent <= 0) continue;
              double team = per_thread * processors_granted;
              for (int32_t j = 0; j < workers; ++j)
                if (j != k && rate(j) > 0) team += rate(j);
              const double terms_held = double(h.last - h.first);
              if ((terms_held - done) / (done / spent) <= (unclaimed + terms_held) / team) continue;
              __atomic_store_n(&h.hold.abandon, 1, __ATOMIC_RELAXED);
              *from = h.first;
              *to = h.last;
              return true;
            }
            return false;
          };
          bool declined = false;
          if (worker && in_loop > 1 && given_back.empty() && !source_exhausted && rate(t) >= 0) {
            const uint64_t remaining = counters.term_count - counters.next_term;
            const double block = double(remaining < counters.block_size ? remaining : counters.block_size);
            const double others = others_rate();
            declined = others > 0 && double(remaining) / others < block / (rate(t) > 0 ? rate(t) : 1e-9);
          }
          if (declined) {
            waiting = true;
          } else if (!given_back.empty()) {
            std::tie(first, last) = given_back.back();
            given_back.pop_back();
            claimed = true;
          } else if (!worker && workers_computing > 0 && take_over_slow_block(&first, &last)) {
            claimed = true;
          } else if (!source_exhausted) {
            claimed = source->claim(source->context, &counters, &first, &last);
            source_exhausted = !claimed;
          }
          if (!claimed && !worker && workers_computing > 0) {
            // A block a worker would finish later than this thread: this thread takes it over.
            const double mine = rate(workers);
            for (int32_t k = 0; k < workers && !claimed; ++k) {
              held_block& h = held[k];
              if (!h.held || h.hold.abandon) continue;
              const double terms_held = double(h.last - h.first);
              const double theirs = rate(k) > 0 ? h.started + terms_held / rate(k) : 1e300;
              if (mine > 0 && started + terms_held / mine >= theirs) continue;
              __atomic_store_n(&h.hold.abandon, 1, __ATOMIC_RELAXED);
              first = h.first;
              last = h.last;
              claimed = true;
            }
            waiting = !claimed;
          }
          // A worker computing may yet fail and give its block back: the other workers stay too.
          if (!claimed && worker && workers_computing > 0) waiting = true;
          if (claimed && worker) {
            ++workers_computing;
            held[t] = held_block{true, first, last, started, {0, 0, 0.0}};
          }
          if (claimed) changed.notify_all();
          if (waiting) changed.wait_for(process_hold, longest_wait);
        }
        if (waiting) continue;
        if (!claimed) break;

        const bool computed =
            worker ? worker->compute(worker->context, &call, first, last, block_result, &held[t].hold)
                   : tly_bbp_kernel(block_result, cells, alternating, shift, first, last, step, multiplier, offset,
                                    slice, run.variants);
        bool taken_over = false;
        {
          const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
          tly_bbp_pace& mine = pace[pace_index];
          const double seconds = tly_bbp_clock_seconds() - started;
          if (worker) {
            // A failed worker leaves the series; its block goes to the others. A block taken
            // over is another thread's to sum, even when the worker finished it meanwhile.
            --workers_computing;
            taken_over = held[t].hold.abandon != 0;
            held[t].held = false;
            if (!computed && !taken_over) given_back.emplace_back(first, last);
          }
          // A block left unfinished measures the worker by the part it noted, if any.
          if (computed) {
            mine.terms += last - first;
            mine.seconds += seconds;
          } else if (worker && held[t].hold.progress_terms > 0) {
            mine.terms += held[t].hold.progress_terms;
            mine.seconds += held[t].hold.progress_seconds;
          } else {
            mine.seconds += seconds;
          }
          changed.notify_all();
        }
        if (taken_over) continue;
        if (!computed) {
          if (worker) {
            failed = true;
            break;
          }
          int32_t none = tly_bbp_status_done;
          status.compare_exchange_strong(none, tly_bbp_status_lane_overflow);
          break;
        }
        tly_bbp_acc_add_block(accumulator, block_result, cells);

        {
          const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
          reported = source->finish(source->context, &counters, first, last, block_result, cells);
          pace[pace_index].summed += last - first;
          changed.notify_all();
          if (run.callbacks.progress) run.callbacks.progress(run.callbacks.user, reported, term_count);
        }
      }
      std::unique_lock<std::mutex> process_hold(tly_bbp_process_lock());
      --in_loop;
      changed.notify_all();
      // A failed worker still owes the source its last claim, which a job's source waits for
      // from every member: once the others have left, the source has none left to give. But
      // when blocks went back with nobody left to take them, the series fails anyway (and a
      // job with it), and a block the source still gives goes back the same way.
      if (failed && !source_exhausted) {
        changed.wait(process_hold, [&] { return in_loop == 0; });
        uint64_t first = 0, last = 0;
        if (given_back.empty() && source->claim(source->context, &counters, &first, &last))
          given_back.emplace_back(first, last);
      }
    }
  }

  // Blocks given back that nobody was left to compute: the series is incomplete.
  if (!given_back.empty()) {
    int32_t none = tly_bbp_status_done;
    status.compare_exchange_strong(none, tly_bbp_status_worker_failed);
  }
  const int32_t ended = status.load();
  for (uint64_t i = 0; i < cells; ++i) out[i] = 0;
  for (int32_t t = 0; t < team_size; ++t) tly_bbp_acc_add_block(out, accumulators + uint64_t(t) * array_cells, cells);
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    source->close(source->context, out, cells, ended == tly_bbp_status_done);
  }
  // Blocks of other processes may have ended the series after this one's last report.
  if (ended == tly_bbp_status_done && run.callbacks.progress && reported != term_count)
    run.callbacks.progress(run.callbacks.user, term_count, term_count);

  tly_bbp_run_free(run, accumulators);
  tly_bbp_run_free(run, scratch);
  return ended;
}
