// A command-line run: the formulas computed with a claim rule that records every finished
// block, a monitor thread for progress, periodic checkpoints and signals, and the output.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../engine/accumulator.h"
#include "../engine/pblock.h"
#include "../engine/system.h"
#include "../formulas/formulas.h"
#include "batch.h"
#include "checkpoint.h"
#include "device_workers.h"
#include "../formulas/run_plan.h"
#include "standard_output.h"

namespace {

// The run's state. What the team's threads and the monitor share is under the process-wide
// lock (tly_bbp_process_lock); the records and the unclaimed ranges also under
// record_mutex, since the claim rule may run outside that lock (rank 0 of an MPI job serves
// the other ranks from a thread of its own); the file under its own mutex.
struct {
  tly_bbp_checkpoint checkpoint;
  const tly_bbp_process* process;
  const tly_bbp_claim_source* inner;
  tly_bbp_claim_source recording;  // the inner source, opening and closing series for the records
  size_t formula;                  // current formula and series
  int series;
  bool series_running;
  bool series_was_done;                  // finished before this process started it
  std::vector<tly_bbp_range> unclaimed;  // of the current series
  std::vector<uint64_t> saved_sum;       // the current series' sum when it opened
  uint64_t series_terms;                 // finished in the current series since it opened
  double series_started;                 // clock when the current series opened
  uint64_t session_terms;                // finished in earlier series since this process started
  double session_started;
  int32_t threads;  // the largest team of this process, its devices' host threads included
} run;

std::mutex record_mutex, file_mutex;
std::atomic<int> stop_signal{0};

tly_bbp_series_record& current_record() { return run.checkpoint.formulas[run.formula].series[run.series]; }

// The checkpoint with the current series' time brought up to now. Under both locks: each
// record's finished ranges and sum then agree.
tly_bbp_checkpoint snapshot() {
  tly_bbp_checkpoint copy = run.checkpoint;
  if (run.series_running && !run.series_was_done)
    copy.formulas[run.formula].seconds[run.series] += tly_bbp_clock_seconds() - run.series_started;
  return copy;
}

void save(const std::string& path, const std::string& bytes) {
  std::string error;
  std::lock_guard<std::mutex> hold(file_mutex);
  if (tly_bbp_write_checkpoint(path, bytes, &error)) return;
  std::fprintf(stderr, "tallyspire-bbp: cannot write the checkpoint %s: %s\n", path.c_str(), error.c_str());
  run.process->end(tly_bbp_exit_fatal);
}

const std::string* checkpoint_path = nullptr;  // null: nothing to save

// Only the terms not finished yet are claimed, wherever the claim comes from.
bool claim_unfinished(void*, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  const std::lock_guard<std::mutex> hold(record_mutex);
  return tly_bbp_claim_unfinished(&run.unclaimed, counters->claimants, &counters->block_size, first, last);
}

// Every finished block of the series is recorded, those of other processes too.
uint64_t record_finished(void*, tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                         const int64_t* block_result, uint64_t cells) {
  const std::lock_guard<std::mutex> hold(record_mutex);
  tly_bbp_record_block(&current_record(), first, last, block_result, cells);
  return run.series_terms = tly_bbp_every_term.finish(nullptr, counters, first, last, block_result, cells);
}

const tly_bbp_claim_rule recording_rule = {nullptr, claim_unfinished, record_finished};

// Before the inner source opens the series: an MPI job's server may claim as soon as it has.
void series_open(void*, tly_bbp_block_counters* counters, int32_t team_size) {
  const tly_bbp_series_record& record = current_record();
  run.unclaimed = tly_bbp_unfinished(record);
  run.saved_sum = record.sum;
  run.series_terms = 0;
  run.series_was_done = run.unclaimed.empty();
  run.series_started = tly_bbp_clock_seconds();
  run.series_running = true;
  run.inner->open(run.inner->context, counters, team_size);
  if (team_size > run.threads) run.threads = team_size;
}

void series_close(void*, int64_t* out, uint64_t cells, bool complete) {
  run.inner->close(run.inner->context, out, cells, complete);  // every block of the series is in then, a job's too
  // A series that failed part-way ends the run; its blocks stay recorded for the last save.
  if (!complete) return;
  const tly_bbp_series_record& record = current_record();
  tly_bbp_acc_add_block(out, reinterpret_cast<const int64_t*>(run.saved_sum.data()), cells);
  // The record is what a checkpoint saves: it must be exactly what the series summed.
  if (!tly_bbp_record_matches(record, out, cells)) {
    std::fputs("tallyspire-bbp: Error in computation. The record of finished blocks differs from the series sum.\n",
               stderr);
    run.process->end(tly_bbp_exit_fatal);
  }
  run.session_terms += run.series_terms;
  run.series_terms = 0;
  if (!run.series_was_done)
    run.checkpoint.formulas[run.formula].seconds[run.series] += tly_bbp_clock_seconds() - run.series_started;
  run.series_running = false;
  if (checkpoint_path) save(*checkpoint_path, tly_bbp_checkpoint_bytes(run.checkpoint));
}

void series_start(void*, int32_t index, int32_t, uint64_t) {
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    run.series = index;
  }
}

// The first stop signal is the one reported.
extern "C" void note_signal(int number) {
  int none = 0;
  stop_signal.compare_exchange_strong(none, number);
}

// Wakes every 100 ms: a stop signal saves and ends the process, the interval saves, and the
// progress line is shown every second on a terminal, every minute otherwise.
void monitor(const tly_bbp_options* options, std::atomic<bool>* done) {
  const bool terminal = isatty(STDERR_FILENO);
  const double progress_every = terminal ? 1.0 : 60.0, save_every = options->checkpoint_minutes * 60.0;
  double last_progress = tly_bbp_clock_seconds(), last_save = last_progress;
  uint64_t total_terms = 0;
  {
    const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
    for (const tly_bbp_formula_progress& f : run.checkpoint.formulas)
      for (const tly_bbp_series_record& s : f.series) total_terms += s.term_count;
  }
  while (!done->load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double now = tly_bbp_clock_seconds();
    if (const int stopped_by = stop_signal.load()) {
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        // Holding both locks: no block is recorded while the state is written, and none after.
        const std::lock_guard<std::mutex> hold(record_mutex);
        save(*checkpoint_path, tly_bbp_checkpoint_bytes(snapshot()));
        if (!options->quiet) tly_bbp_end_progress(terminal);
        std::fprintf(
            stderr,
            "tallyspire-bbp: stopped by signal %d; the state is saved in %s. Run the same command again to resume.\n",
            stopped_by, options->checkpoint.c_str());
        std::fflush(stderr);
        run.process->end(128 + stopped_by);
      }
    }
    if (checkpoint_path && now - last_save >= save_every) {
      std::string bytes;
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        const std::lock_guard<std::mutex> hold(record_mutex);
        bytes = tly_bbp_checkpoint_bytes(snapshot());
      }
      save(*checkpoint_path, bytes);
      last_save = now;
    }
    if (!options->quiet && now - last_progress >= progress_every) {
      uint64_t done_terms = 0, session_terms;
      int32_t formula;
      int series, count;
      {
        const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
        const std::lock_guard<std::mutex> hold(record_mutex);
        for (const tly_bbp_formula_progress& f : run.checkpoint.formulas)
          for (const tly_bbp_series_record& s : f.series) done_terms += tly_bbp_finished_terms(s);
        session_terms = run.session_terms + run.series_terms;
        formula = run.checkpoint.formulas[run.formula].formula;
        series = run.series;
        count = int(run.checkpoint.formulas[run.formula].series.size());
      }
      const double rate = session_terms ? double(session_terms) / (now - run.session_started) : -1;
      tly_bbp_show_progress(tly_bbp_progress_line(formula, series, count, double(done_terms) / double(total_terms),
                                                  rate, double(total_terms - done_terms) / rate,
                                                  terminal ? tly_bbp_terminal_columns() : 0),
                            terminal);
      last_progress = now;
    }
  }
  if (!options->quiet) tly_bbp_end_progress(terminal);
}

// Who computed the run, for the Result line: the processor threads of every rank and each
// device, with the terms each summed. `team` is this process's largest team, its devices'
// host threads included; its threads summed what no one else is known to have.
void share_terms(const tly_bbp_process& process, const tly_bbp_device_workers& workers, int32_t team,
                 uint64_t all_terms, tly_bbp_batch_result* r) {
  const int32_t own_devices = int32_t(workers.workers.size());
  const int32_t own_threads = team > own_devices ? team - own_devices : 0;
  std::vector<tly_bbp_rank_part> others;
  if (process.job) process.job->parts(process.job->context, &others);
  r->ranks = int32_t(others.size()) + 1;
  r->threads = own_threads;
  int32_t fewest = own_threads, most = own_threads;
  uint64_t thread_terms = 0, known = 0;
  bool any_device = own_devices > 0;
  for (const tly_bbp_rank_part& p : others) {
    r->threads += p.threads;
    fewest = std::min(fewest, p.threads);
    most = std::max(most, p.threads);
    thread_terms += p.thread_terms;
    known += p.thread_terms;
    for (uint64_t terms : p.device_terms) known += terms;
    any_device = any_device || !p.devices.empty();
  }
  r->threads_per_rank = fewest == most ? most : 0;
  if (!any_device) return;
  for (int32_t k = 0; k < own_devices; ++k) {
    r->devices.push_back(tly_bbp_device_label(workers, size_t(k)));
    r->device_terms.push_back(workers.pace[size_t(k)].summed);
    r->device_ranks.push_back(process.job ? process.job->rank : -1);
    known += workers.pace[size_t(k)].summed;
  }
  for (const tly_bbp_rank_part& p : others)
    for (size_t k = 0; k < p.devices.size(); ++k) {
      r->devices.push_back(p.devices[k]);
      r->device_terms.push_back(p.device_terms[k]);
      r->device_ranks.push_back(p.rank);
    }
  if (r->threads > 0) {
    r->devices.push_back("cpu");
    r->device_terms.push_back(thread_terms + (all_terms > known ? all_terms - known : 0));
    r->device_ranks.push_back(-1);
  }
}

}  // namespace

int tly_bbp_batch_run(const tly_bbp_options& o, const tly_bbp_process& process) {
  std::signal(SIGPIPE, SIG_DFL);
  run.process = &process;
  run.checkpoint = tly_bbp_fresh_checkpoint(o.choice, o.place, o.digits);
  bool from_checkpoint = false;
  std::string saves_to;  // the file saves go to: none without a checkpoint or once it is finished
  // A closed terminal or SSH session (SIGHUP) stops the run as SIGINT and SIGTERM do, unless
  // it was started to outlive them (nohup).
  const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction earlier[3] {};
  // The devices first: one asked for and not there is a bad argument, before anything is written.
  tly_bbp_device_choice devices;
  tly_bbp_device_workers workers;
  // A rank takes its share of its node's devices; the other ranks follow its choice.
  if (process.job) devices = tly_bbp_rank_device_choice(process.job->rank, process.job->node_rank, process.job->node_ranks);
  if (std::string error; !tly_bbp_open_option_workers(o, &stop_signal, &devices, &workers, &error)) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", error.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  if (process.job) process.job->choose(process.job->context, tly_bbp_device_choice_text(o).c_str(), o.threads);
  if (!o.checkpoint.empty()) {
    const int code = tly_bbp_start_checkpoint(o.checkpoint, &run.checkpoint, &saves_to, &from_checkpoint);
    if (code >= 0) return code;
  }
  if (!saves_to.empty()) {
    checkpoint_path = &saves_to;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
      sigaction(stop_signals[i], nullptr, &earlier[i]);
      if (stop_signals[i] != SIGHUP || earlier[i].sa_handler != SIG_IGN) sigaction(stop_signals[i], &action, nullptr);
    }
  }

  run.inner = process.source ? process.source : &tly_bbp_local_claims;
  run.recording = *run.inner;
  run.recording.open = series_open;
  run.recording.close = series_close;
  // Without the processor threads the devices compute alone.
  const int32_t threads = devices.cpu || workers.workers.empty() ? o.threads : -1;
  const tly_bbp_engine_run engine{threads, o.policy, &run.recording, &recording_rule,
                                  workers.workers.data(), int32_t(workers.workers.size()),
                                  {nullptr, series_start, nullptr, nullptr}, process.allocator, nullptr,
                                  workers.workers.empty() ? nullptr : workers.pace.data()};
  run.session_started = tly_bbp_clock_seconds();
  std::atomic<bool> finished{false};
  std::thread watcher(monitor, &o, &finished);

  const tly_bbp_run_values values = tly_bbp_command_line_run_values(o.place, o.digits);
  tly_bbp_batch_result result{o, {}, 0, 1, 0, from_checkpoint, -1, {}, {}, {}};
  for (size_t f = 0; f < run.checkpoint.formulas.size(); ++f) {
    const int32_t formula = run.checkpoint.formulas[f].formula;
    {
      const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
      run.formula = f;
      run.series = 0;
    }
    std::vector<uint32_t> all(values.words);
    const int32_t status = (formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(
        all.data(), values.position, values.words, values.block_hint, engine);
    if (status != tly_bbp_status_done) {
      // A signal stopped the devices: the monitor saves and ends the run.
      while (stop_signal.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::fprintf(stderr, "tallyspire-bbp: %s\n", tly_bbp_status_message(status));
      // Every finished block is kept: the run resumes from there.
      if (checkpoint_path) {
        std::string bytes;
        {
          const std::lock_guard<std::mutex> process_hold(tly_bbp_process_lock());
          const std::lock_guard<std::mutex> hold(record_mutex);
          bytes = tly_bbp_checkpoint_bytes(snapshot());
        }
        save(*checkpoint_path, bytes);
      }
      process.end(tly_bbp_exit_fatal);
    }
    // The output reads the console's layout: three guard words below the digits.
    std::vector<uint32_t> words((o.digits + 7) / 8 + tly_bbp_display_guard_words);
    const uint64_t extra_guard_words = values.words - words.size();
    for (uint64_t i = 0; i < words.size(); ++i) words[i] = all[extra_guard_words + i];
    const std::vector<double>& seconds = run.checkpoint.formulas[f].seconds;
    double total = 0;
    for (double s : seconds) total += s;
    result.formulas.push_back({formula, words, seconds, total});
  }
  finished.store(true);
  watcher.join();
  // Everything is saved: a signal may end the output as it would have before.
  if (checkpoint_path)
    for (int i = 0; i < 3; ++i) sigaction(stop_signals[i], &earlier[i], nullptr);
  checkpoint_path = nullptr;
  share_terms(process, workers, run.threads, run.session_terms, &result);
  tly_bbp_close_device_workers(&workers);

  if (result.formulas.size() == 2) {
    const std::string a = tly_bbp_hex_string(result.formulas[0].words.data(), o.digits);
    const std::string b = tly_bbp_hex_string(result.formulas[1].words.data(), o.digits);
    for (size_t i = 0; i < a.size() && result.first_difference < 0; ++i)
      if (a[i] != b[i]) result.first_difference = int64_t(i);
  }
  if (o.json)
    tly_bbp_print_batch_json(result);
  else
    tly_bbp_print_batch_text(result);
  tly_bbp_flush_output();
  return result.first_difference < 0 ? tly_bbp_exit_done : tly_bbp_exit_disagree;
}
