// A command-line run: the formulas computed with a claim source that records every finished
// block, a monitor thread for progress, periodic checkpoints and signals, and the output.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../engine/pblock.h"
#include "../engine/system.h"
#include "../formulas/accumulator.h"
#include "../formulas/formulas.h"
#include "../formulas/series_sum.h"
#include "batch.h"
#include "checkpoint.h"
#include "console.h"

namespace {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The run's state. Everything the team's threads and the monitor share is under the
// process-wide lock (the unnamed critical section); the file under its own mutex.
struct {
  tly_bbp_checkpoint checkpoint;
  const tly_bbp_claim_source* inner;
  // Only this process's own claims can be limited to the unfinished terms and see every
  // finished block; a job's claims are passed through, without checkpoints.
  bool recording;
  size_t formula;  // current formula and series
  int series;
  bool series_running;
  bool series_was_done;                  // finished before this process started it
  std::vector<tly_bbp_range> unclaimed;  // of the current series
  std::vector<uint64_t> saved_sum;       // the current series' sum when it opened
  uint64_t saved_terms;                  // the current series' finished terms when it opened
  uint64_t series_terms;                 // finished in the current series since it opened
  double series_started;                 // clock when the current series opened
  uint64_t session_terms;                // finished in earlier series since this process started
  double session_started;
  int32_t threads;
} run;

std::mutex file_mutex;
std::atomic<int> stop_signal{0};

tly_bbp_series_record& current_record() { return run.checkpoint.formulas[run.formula].series[run.series]; }

// The checkpoint with the current series' time brought up to now. Under the lock.
tly_bbp_checkpoint snapshot() {
  tly_bbp_checkpoint copy = run.checkpoint;
  if (run.series_running && !run.series_was_done)
    copy.formulas[run.formula].seconds[run.series] += now_seconds() - run.series_started;
  return copy;
}

void save(const std::string& path, const std::string& bytes) {
  std::string error;
  std::lock_guard<std::mutex> hold(file_mutex);
  if (tly_bbp_write_checkpoint(path, bytes, &error)) return;
  std::fprintf(stderr, "tallyspire-bbp: cannot write the checkpoint %s: %s\n", path.c_str(), error.c_str());
  std::_Exit(tly_bbp_exit_fatal);
}

const std::string* checkpoint_path = nullptr;  // null: no checkpoint

void series_begin(const tly_bbp_series_call* call) { run.inner->begin(call); }

void series_open(tly_bbp_block_counters* counters, int32_t team_size) {
  run.inner->open(counters, team_size);
  const tly_bbp_series_record& record = current_record();
  run.unclaimed = tly_bbp_unfinished(record);
  run.saved_sum = record.sum;
  run.saved_terms = tly_bbp_finished_terms(record);
  run.series_terms = 0;
  run.series_was_done = run.unclaimed.empty();
  run.series_started = now_seconds();
  run.series_running = true;
  // The source counts every thread that shares the series, those of other processes too.
  if (counters->claimants > run.threads) run.threads = counters->claimants;
}

bool series_claim(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last) {
  if (!run.recording) return run.inner->claim(counters, first, last);
  return tly_bbp_claim_unfinished(&run.unclaimed, counters->claimants, &counters->block_size, first, last);
}

uint64_t series_finish(tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t* block_result,
                       uint64_t cells) {
  if (run.recording) tly_bbp_record_block(&current_record(), first, last, block_result, cells);
  return run.series_terms = run.inner->finish(counters, first, last, block_result, cells);
}

void series_close(int64_t* out, uint64_t cells) {
  run.inner->close(out, cells);
  tly_bbp_series_record& record = current_record();
  if (run.recording) {
    tly_bbp_acc_add_block(out, reinterpret_cast<const int64_t*>(run.saved_sum.data()), cells);
    // The record is what a checkpoint saves: it must be exactly what the series summed. Both
    // are compared carried, as a file may hold its sum uncarried.
    std::vector<int64_t> recorded(cells, 0);
    tly_bbp_acc_add_block(recorded.data(), reinterpret_cast<const int64_t*>(record.sum.data()), cells);
    for (uint64_t i = 0; i < cells; ++i)
      if (recorded[i] != out[i] || tly_bbp_finished_terms(record) != record.term_count)
        tly_bbp_fatal("Error in computation. The record of finished blocks differs from the series sum.");
  } else {
    record.finished = {{0, record.term_count}};
    record.sum.assign(reinterpret_cast<const uint64_t*>(out), reinterpret_cast<const uint64_t*>(out) + cells);
  }
  run.session_terms += run.series_terms;
  run.series_terms = 0;
  if (!run.series_was_done)
    run.checkpoint.formulas[run.formula].seconds[run.series] += now_seconds() - run.series_started;
  run.series_running = false;
  if (checkpoint_path) save(*checkpoint_path, tly_bbp_checkpoint_bytes(run.checkpoint));
}

const tly_bbp_claim_source recording_claims = {series_begin,  series_open,  series_claim,
                                               series_finish, series_close, false};

void series_hook(int index, int, uint64_t) {
#pragma omp critical
  run.series = index;
}

extern "C" void note_signal(int number) { stop_signal.store(number); }

// Wakes every 100 ms: a stop signal saves and ends the process, the interval saves, and the
// progress line is shown every second on a terminal, every minute otherwise.
void monitor(const tly_bbp_options* options, std::atomic<bool>* done) {
  const bool terminal = isatty(STDERR_FILENO);
  const double progress_every = terminal ? 1.0 : 60.0, save_every = options->checkpoint_minutes * 60.0;
  double last_progress = now_seconds(), last_save = last_progress;
  uint64_t total_terms = 0;
#pragma omp critical
  for (const tly_bbp_formula_progress& f : run.checkpoint.formulas)
    for (const tly_bbp_series_record& s : f.series) total_terms += s.term_count;
  while (!done->load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double now = now_seconds();
    if (const int stopped_by = stop_signal.load()) {
#pragma omp critical
      {
        // Holding the lock: no block is recorded while the state is written, and none after.
        save(*checkpoint_path, tly_bbp_checkpoint_bytes(snapshot()));
        if (!options->quiet) tly_bbp_end_progress(terminal);
        std::fprintf(
            stderr,
            "tallyspire-bbp: stopped by signal %d; the state is saved in %s. Run the same command again to resume.\n",
            stopped_by, checkpoint_path->c_str());
        std::fflush(stderr);
        std::_Exit(128 + stopped_by);
      }
    }
    if (checkpoint_path && now - last_save >= save_every) {
      std::string bytes;
#pragma omp critical
      bytes = tly_bbp_checkpoint_bytes(snapshot());
      save(*checkpoint_path, bytes);
      last_save = now;
    }
    if (!options->quiet && now - last_progress >= progress_every) {
      uint64_t done_terms = 0, session_terms;
      int32_t formula;
      int series, count;
#pragma omp critical
      {
        for (const tly_bbp_formula_progress& f : run.checkpoint.formulas)
          for (const tly_bbp_series_record& s : f.series) done_terms += tly_bbp_finished_terms(s);
        // A job's blocks are counted by its claim source, not recorded here.
        if (run.series_running)
          done_terms += run.saved_terms + run.series_terms - tly_bbp_finished_terms(current_record());
        session_terms = run.session_terms + run.series_terms;
        formula = run.checkpoint.formulas[run.formula].formula;
        series = run.series;
        count = int(run.checkpoint.formulas[run.formula].series.size());
      }
      const double rate = session_terms ? double(session_terms) / (now - run.session_started) : -1;
      tly_bbp_show_progress(tly_bbp_progress_line(formula, series, count, double(done_terms) / double(total_terms),
                                                  rate, double(total_terms - done_terms) / rate),
                            terminal);
      last_progress = now;
    }
  }
  if (!options->quiet) tly_bbp_end_progress(terminal);
}

}  // namespace

int tly_bbp_batch_run(const tly_bbp_options& o) {
  std::signal(SIGPIPE, SIG_DFL);
  if (o.threads > 0) tly_bbp_thread_request = o.threads;
  if (!o.checkpoint.empty() && tly_bbp_claims != &tly_bbp_local_claims) {
    std::fprintf(stderr, "tallyspire-bbp: --checkpoint: the MPI program cannot save checkpoints yet\n");
    return tly_bbp_exit_bad_arguments;
  }
  run.checkpoint = tly_bbp_fresh_checkpoint(o.choice, o.place, o.digits);
  bool from_checkpoint = false;
  struct sigaction earlier_interrupt {}, earlier_terminate {};
  if (!o.checkpoint.empty()) {
    std::string error;
    const tly_bbp_checkpoint_read read = tly_bbp_read_checkpoint(o.checkpoint, &run.checkpoint, &error);
    if (read == tly_bbp_checkpoint_read::refused) {
      std::fprintf(stderr, "tallyspire-bbp: checkpoint %s refused: %s\n", o.checkpoint.c_str(), error.c_str());
      return tly_bbp_exit_bad_arguments;
    }
    from_checkpoint = read == tly_bbp_checkpoint_read::loaded;
    // An unusable path shows now, not after the first interval of work.
    std::string why;
    if (!tly_bbp_write_checkpoint(o.checkpoint, tly_bbp_checkpoint_bytes(run.checkpoint), &why)) {
      std::fprintf(stderr, "tallyspire-bbp: --checkpoint: cannot write %s: %s\n", o.checkpoint.c_str(), why.c_str());
      return tly_bbp_exit_bad_arguments;
    }
    checkpoint_path = &o.checkpoint;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &earlier_interrupt);
    sigaction(SIGTERM, &action, &earlier_terminate);
  }

  run.inner = tly_bbp_claims;
  run.recording = run.inner == &tly_bbp_local_claims;
  tly_bbp_claims = &recording_claims;
  tly_bbp_series_hook = series_hook;
  run.session_started = now_seconds();
  std::atomic<bool> finished{false};
  std::thread watcher(monitor, &o, &finished);

  const tly_bbp_run_values values = tly_bbp_derive_run_values(o.place, o.digits);
  tly_bbp_batch_result result{o, {}, 0, from_checkpoint, -1};
  for (size_t f = 0; f < run.checkpoint.formulas.size(); ++f) {
    const int32_t formula = run.checkpoint.formulas[f].formula;
#pragma omp critical
    {
      run.formula = f;
      run.series = 0;
    }
    std::vector<uint32_t> words(values.words);
    if (formula == 0)
      tly_bbp_Pi_Plouffe(words.data(), values.position, values.words, values.block_hint);
    else
      tly_bbp_Pi_Bellard(words.data(), values.position, values.words, values.block_hint);
    const std::vector<double>& seconds = run.checkpoint.formulas[f].seconds;
    double total = 0;
    for (double s : seconds) total += s;
    result.formulas.push_back({formula, words, seconds, total});
  }
  finished.store(true);
  watcher.join();
  // Everything is saved: a signal may end the output as it would have before.
  if (checkpoint_path) {
    sigaction(SIGINT, &earlier_interrupt, nullptr);
    sigaction(SIGTERM, &earlier_terminate, nullptr);
  }
  tly_bbp_claims = run.inner;
  tly_bbp_series_hook = nullptr;
  result.threads = run.threads;

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
