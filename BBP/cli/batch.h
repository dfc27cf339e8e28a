// Command-line runs: their results, output, progress lines and the claim source that records
// finished blocks for checkpoints.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "../library/estimate.h"

struct tly_bbp_formula_result {
  int32_t formula;              // 0 Plouffe, 1 Bellard
  std::vector<uint32_t> words;  // the Result words
  std::vector<double> series_seconds;
  double seconds;  // computing time of all its series, earlier runs of a resumed one included
};

struct tly_bbp_batch_result {
  tly_bbp_options options;
  std::vector<tly_bbp_formula_result> formulas;  // in the order computed
  int32_t threads;                               // the largest thread team that computed
  int32_t ranks;                                 // processes of the job: 1 but under MPI
  int32_t threads_per_rank;                      // each rank's, 0 when the ranks' differ
  bool from_checkpoint;                          // the run started from a saved state
  int64_t first_difference;                      // both formulas: index of the first differing digit, or -1
  std::vector<std::string> devices;              // the workers beside or instead of the threads ("cpu" for them);
  std::vector<uint64_t> device_terms;            // empty with the processor threads alone; terms each computed
  std::vector<int32_t> device_ranks;             // in a job, each device's rank (-1 for the threads of all ranks)
};

extern const char* const tly_bbp_formula_names[2];  // "plouffe", "bellard"

// The window's digits as text, most significant first.
std::string tly_bbp_hex_string(const uint32_t* result, uint64_t digits);
std::string tly_bbp_binary_string(const uint32_t* result, uint64_t digits);

// The digit blocks (under a heading per formula when there are two), the agreement line and
// the summary line on standard output.
void tly_bbp_print_batch_text(const tly_bbp_batch_result& result);

// One JSON object on standard output.
void tly_bbp_print_batch_json(const tly_bbp_batch_result& result);

// The progress line: formula and series, share of the whole run done, speed and time left
// (negative speed: not measured yet); shortened to fit `columns` (0: any length).
std::string tly_bbp_progress_line(int32_t formula, int series, int count, double done, double terms_per_second,
                                  double seconds_left, size_t columns);

// The width of the terminal on standard error, 0 when unknown.
size_t tly_bbp_terminal_columns();

// Shows a progress line on standard error: on a terminal it replaces the previous one.
void tly_bbp_show_progress(const std::string& line, bool terminal);
// Ends the progress display before other output (clears the terminal line).
void tly_bbp_end_progress(bool terminal);

// 2305843009213693951 as "2,305,843,009,213,693,951".
std::string tly_bbp_thousands(uint64_t value);

// "3 h 12 min", "4 min 5 s", "2.35 s", "0.3 s", "under 0.1 s": a time as people read it.
std::string tly_bbp_duration_text(double seconds);

// The estimate of a run as one line ("Estimated time: ..."), or as one JSON object.
// `workers` names the estimate's workers as the Result line does ("cpu" for the threads); with
// workers beside or instead of the threads, a line for each follows: its rate and share.
void tly_bbp_print_estimate_text(const tly_bbp_options& options, const tly_bbp_estimate& estimate,
                                 const std::vector<std::string>& workers);
void tly_bbp_print_estimate_json(const tly_bbp_options& options, const tly_bbp_estimate& estimate,
                                 const std::vector<std::string>& workers);

// Whether `count` threads can run at once now; false with the reason in `error` when one of
// them cannot start (thread_start.cpp).
bool tly_bbp_threads_start(int32_t count, std::string* error);
