// The console program's run: the dialogue, one timed computation, the digits, and the pause.
#include <csignal>
#include <cstdio>
#include <iostream>

#include "../engine/system.h"
#include "../formulas/display.h"
#include "../formulas/formulas.h"
#include "../formulas/run_values.h"
#include "console.h"

int tly_bbp_console_run() {
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
  const tly_bbp_run_values run = tly_bbp_derive_run_values(start, digits);

  uint32_t* result = static_cast<uint32_t*>(tly_bbp_alloc(run.words * 4));
  const int32_t t0 = tly_bbp_clock_ms();
  if (formula == 0)
    tly_bbp_Pi_Plouffe(result, run.position, run.words, run.block_hint);
  else
    tly_bbp_Pi_Bellard(result, run.position, run.words, run.block_hint);
  const int32_t t1 = tly_bbp_clock_ms();

  std::printf("\n\n");
  std::printf("Time: %g\n", tly_bbp_elapsed_seconds(t0, t1));
  std::printf("\n\n");
  tly_bbp_print_digits(result, digits, run.position);

  tly_bbp_free(result);
  // Digits that never reached their reader are no success.
  tly_bbp_flush_output();
  tly_bbp_pause();
  return 0;
}
