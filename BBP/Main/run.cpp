// The console program's run: the dialogue, one timed computation, the digits, and the pause.
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "../cli/display.h"
#include "../cli/standard_output.h"
#include "../engine/system.h"
#include "../formulas/formulas.h"
#include "../formulas/run_values.h"
#include "console.h"

namespace {

// The console's lines around each series, on the stream in `user` (null: standard output):
// the term count before the first, a line per series, the share done after every block, the
// series' time.
FILE* stream(void* user) { return user ? static_cast<FILE*>(user) : stdout; }

// Shows what was written while the work runs, and stops at once when nobody can see it any more.
void flush(FILE* out) {
  if (out == stdout) {
    tly_bbp_flush_output();
  } else if (std::fflush(out) != 0 || std::ferror(out)) {
    std::fputs("tallyspire-bbp: the output cannot be written\n", stderr);
    std::_Exit(1);
  }
}

void series_start(void* user, int32_t index, int32_t count, uint64_t term_count) {
  FILE* out = stream(user);
  if (index == 0) {
    std::fprintf(out, "Terms Needed = %" PRIu64 "\n", term_count);
    flush(out);
    std::fprintf(out, "\n\n");
  }
  std::fprintf(out, "Term: %d / %d\n", index + 1, count);
}

// Blanks the console line and shows the share of the series done.
void progress(void* user, uint64_t terms_done, uint64_t term_count) {
  FILE* out = stream(user);
  const double reciprocal = 1.0 / static_cast<double>(term_count);
  std::fprintf(out, "\r%79s\r", "");
  std::fprintf(out, "Progress: %g%%", (static_cast<double>(terms_done) * 100.0) * reciprocal);
  flush(out);
}

void series_end(void* user, int32_t, int32_t, double seconds) { std::fprintf(stream(user), "    Time: %g\n", seconds); }

// A failed run: the message with no line end, the pause, and the end of the process.
[[noreturn]] void fail(const tly_bbp_process& process, int32_t status) {
  std::fputs(tly_bbp_status_message(status), stdout);
  std::fflush(stdout);
  tly_bbp_pause();
  process.end(1);
  std::_Exit(1);  // end never returns; this keeps the promise if one did
}

}  // namespace

const tly_bbp_run_callbacks tly_bbp_console_callbacks = {nullptr, series_start, progress, series_end};

int tly_bbp_console_run(const tly_bbp_process& process) {
  // A parent that ignores SIGPIPE would pass that on: a reader that went away must still
  // end the run at the next write instead of leaving it computing for nobody.
  std::signal(SIGPIPE, SIG_DFL);

  int32_t formula;
  uint64_t start, digits;
  if (!tly_bbp_dialogue(std::cin, stdout, &formula, &start, &digits)) {
    std::printf("\nInput ended before all answers were given.\n");
    tly_bbp_flush_output();
    return 1;
  }
  // Output that already failed (closed, a full disk) would make the whole computation wasted.
  tly_bbp_flush_output();
  const tly_bbp_run_values values = tly_bbp_derive_run_values(start, digits);
  const tly_bbp_engine_run run{0,       tly_bbp_engine_choice,      process.source,    nullptr, nullptr, 0,
                               tly_bbp_console_callbacks, process.allocator, nullptr, nullptr};

  uint32_t* result = static_cast<uint32_t*>(tly_bbp_run_alloc(run, values.words * 4));
  if (!result) fail(process, tly_bbp_status_no_memory);
  const int32_t t0 = tly_bbp_clock_ms();
  const int32_t status = (formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(
      result, values.position, values.words, values.block_hint, run);
  if (status != tly_bbp_status_done) fail(process, status);
  const int32_t t1 = tly_bbp_clock_ms();

  std::printf("\n\n");
  std::printf("Time: %g\n", tly_bbp_elapsed_seconds(t0, t1));
  std::printf("\n\n");
  tly_bbp_print_digits(result, digits, values.position);

  tly_bbp_run_free(run, result);
  // Digits that never reached their reader are no success.
  tly_bbp_flush_output();
  tly_bbp_pause();
  return 0;
}
