// How the ranks of an MPI job learn which series to evaluate: rank 0 announces each one.
#include "series_relay.h"

#include <mpi.h>
#include <time.h>

#include <cstdio>

#include "../engine/engine.h"

namespace {

// A series with the variant choice rank 0's user made (--isa, --variant) and the threads asked
// for (--threads), which every rank follows; without them each rank takes its own processor's
// fastest variant and one thread per processor.
using announcement = tly_bbp_series_call;

// Nonblocking on every rank (a nonblocking broadcast matches only its like): the other ranks
// wait for rank 0 through its whole dialogue and should not spin a core while they do.
void broadcast(announcement* call, bool idle_while_waiting) {
  MPI_Request request;
  MPI_Ibcast(call, sizeof *call, MPI_BYTE, 0, MPI_COMM_WORLD, &request);
  if (!idle_while_waiting) {
    MPI_Wait(&request, MPI_STATUS_IGNORE);
    return;
  }
  int arrived = 0;
  const timespec pause{0, 1000000};
  for (MPI_Test(&request, &arrived, MPI_STATUS_IGNORE); !arrived; MPI_Test(&request, &arrived, MPI_STATUS_IGNORE))
    nanosleep(&pause, nullptr);
}

}  // namespace

void tly_bbp_mpi_announce(const tly_bbp_series_call* call) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank != 0) return;
  // What rank 0 printed so far goes out before another rank can fail on this series.
  std::fflush(stdout);
  announcement copy = *call;
  broadcast(&copy, false);
}

void tly_bbp_mpi_announce_end() {
  announcement end{};  // no cells: no series
  broadcast(&end, false);
}

namespace {

// Why this processor cannot follow rank 0's choice, or null when it can.
const char* lacking(const tly_bbp_variant_policy& choice) {
  tly_bbp_variant_policy policy = tly_bbp_engine_choice;
  if (choice.isa >= 0 && !tly_bbp_limit_isa(&policy, choice.isa)) return tly_bbp_isa_classes[choice.isa];
  if (choice.variant >= 0 && !tly_bbp_use_variant(&policy, tly_bbp_variants[choice.variant].name))
    return tly_bbp_variants[choice.variant].name;
  return nullptr;
}

}  // namespace

void tly_bbp_mpi_serve(const tly_bbp_process& process) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  for (;;) {
    announcement call{};
    broadcast(&call, true);
    if (call.cells == 0) return;
    if (const char* missing = lacking(call.variants)) {
      std::fprintf(stderr, "tallyspire-bbp-mpi: rank %d: this processor cannot run %s, which rank 0 was told to use\n",
                   rank, missing);
      process.end(1);
    }
    const tly_bbp_engine_run run{call.threads, call.variants, process.source, nullptr, nullptr, 0, {}, process.allocator, nullptr, nullptr};
    // This rank's share of the sum; rank 0 receives the whole in its own accumulator.
    int64_t* out = static_cast<int64_t*>(tly_bbp_run_alloc(run, call.cells * 8));
    const int32_t status = out ? tly_bbp_pblock(out, call.cells, call.alternating, call.shift, call.term_count,
                                                call.step, call.multiplier, call.offset, call.block_hint, run)
                               : int32_t{tly_bbp_status_no_memory};
    if (status != tly_bbp_status_done) {
      // As the console shows a failure: the message on standard output, no line end.
      std::fputs(tly_bbp_status_message(status), stdout);
      std::fflush(stdout);
      process.end(1);
    }
    tly_bbp_run_free(run, out);
  }
}
