// How the ranks of an MPI job learn which series to evaluate: rank 0 announces each one.
#include "series_relay.h"

#include <mpi.h>
#include <time.h>

#include <cstdio>

#include "../engine/engine.h"
#include "../engine/system.h"

namespace {

// A series, the variant choice rank 0's user made (--isa, --variant) and the threads asked for
// (--threads), which every rank follows; without them each rank takes its own processor's
// fastest variant and one thread per processor.
struct announcement {
  tly_bbp_series_call call;
  tly_bbp_choice choice;
  int32_t threads;
};

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
  announcement copy{*call, tly_bbp_user_choice(), tly_bbp_thread_request};
  broadcast(&copy, false);
}

void tly_bbp_mpi_announce_end() {
  announcement end{};  // no cells: no series
  broadcast(&end, false);
}

// Takes rank 0's choice; a processor that cannot follow it ends the job.
void follow(const tly_bbp_choice& choice) {
  const char* lacking = nullptr;
  if (choice.isa >= 0 && !tly_bbp_limit_isa(choice.isa)) lacking = tly_bbp_isa_classes[choice.isa];
  if (!lacking && choice.variant >= 0 && !tly_bbp_use_variant(tly_bbp_variants[choice.variant].name))
    lacking = tly_bbp_variants[choice.variant].name;
  if (!lacking) return;
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  std::fprintf(stderr, "tallyspire-bbp-mpi: rank %d: this processor cannot run %s, which rank 0 was told to use\n",
               rank, lacking);
  tly_bbp_exit_now(1);
}

void tly_bbp_mpi_serve() {
  for (;;) {
    announcement a{};
    broadcast(&a, true);
    const tly_bbp_series_call& call = a.call;
    if (call.cells == 0) return;
    follow(a.choice);
    tly_bbp_thread_request = a.threads;
    // This rank's share of the sum; rank 0 receives the whole in its own accumulator.
    int64_t* out = static_cast<int64_t*>(tly_bbp_alloc(call.cells * 8));
    tly_bbp_pblock(out, call.cells, call.alternating, call.shift, call.term_count, call.step, call.multiplier,
                   call.offset, call.block_hint);
    tly_bbp_free(out);
  }
}
