// How the ranks of an MPI job learn which series to evaluate: rank 0 announces each one.
#include "series_relay.h"

#include <mpi.h>
#include <time.h>

#include <cstdio>

#include "../engine/system.h"

namespace {

// Nonblocking on every rank (a nonblocking broadcast matches only its like): the other ranks
// wait for rank 0 through its whole dialogue and should not spin a core while they do.
void broadcast(tly_bbp_series_call* call, bool idle_while_waiting) {
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
  tly_bbp_series_call copy = *call;
  broadcast(&copy, false);
}

void tly_bbp_mpi_announce_end() {
  tly_bbp_series_call end{};  // no cells: no series
  broadcast(&end, false);
}

void tly_bbp_mpi_serve() {
  for (;;) {
    tly_bbp_series_call call{};
    broadcast(&call, true);
    if (call.cells == 0) return;
    // This rank's share of the sum; rank 0 receives the whole in its own accumulator.
    int64_t* out = static_cast<int64_t*>(tly_bbp_alloc(call.cells * 8));
    tly_bbp_pblock(out, call.cells, call.alternating, call.shift, call.term_count, call.step, call.multiplier,
                   call.offset, call.block_hint);
    tly_bbp_free(out);
  }
}
