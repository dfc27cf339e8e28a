// The MPI program's run on one rank: rank 0 runs the front end it is handed, the others serve it.
#include "job.h"

#include <mpi.h>

#include <time.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "job_claims.h"
#include "series_relay.h"

namespace {

// A fatal error on any rank, or rank 0 stopped by a signal once it has saved, ends the whole
// job at once, not only when mpirun notices. The message is out of the process by then, but
// MPICH's launcher may drop what it has not yet passed on when the abort reaches it: a pause
// gives it time.
void end_job(int code) {
  const timespec pause{0, 200000000};
  nanosleep(&pause, nullptr);
  MPI_Abort(MPI_COMM_WORLD, code);
  std::_Exit(code);
}

void choose(void* context, const char* devices, int32_t threads) {
  tly_bbp_job_claims* job = static_cast<tly_bbp_job_claims*>(context);
  job->chosen = true;
  job->devices = devices;
  job->threads = threads;
}

void parts(void*, std::vector<tly_bbp_rank_part>* others) { tly_bbp_mpi_gather_parts(others); }

}  // namespace

int tly_bbp_mpi_main(int argc, char** argv, tly_bbp_front_end front_end, const tly_bbp_allocator* allocator,
                     const tly_bbp_mpi_device_hooks* devices) {
  // Team threads call MPI one at a time under the process-wide lock, and rank 0's server thread
  // only while nothing else on rank 0 does; a fatal error or a stop, though, may end the job from
  // any thread.
  int provided = MPI_THREAD_SINGLE;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
  if (provided < MPI_THREAD_SERIALIZED) {
    std::fputs("tallyspire-bbp-mpi: this MPI library does not allow calls from several threads "
               "(MPI_THREAD_SERIALIZED)\n",
               stderr);
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);

  // The ranks that share this rank's node share its devices.
  MPI_Comm node;
  int node_rank = 0, node_ranks = 1;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node);
  MPI_Comm_rank(node, &node_rank);
  MPI_Comm_size(node, &node_ranks);
  MPI_Comm_free(&node);

  tly_bbp_job_claims job;
  const tly_bbp_claim_source claims = tly_bbp_mpi_claims(&job);
  const tly_bbp_job_link link{&job, rank, node_rank, node_ranks, choose, parts};
  const tly_bbp_process process{&claims, end_job, allocator, &link};
  int code = 0;
  if (rank == 0) {
    // Only rank 0 reads the input or the arguments and reports.
    code = front_end(argc, argv, process);
    tly_bbp_mpi_announce_end();
  } else {
    // mpirun passes a stop signal (SIGINT, SIGTERM, SIGHUP) on to every rank: rank 0 saves its
    // checkpoint, if it keeps one, and ends the job; were the others to end first, the job
    // would end before it saved.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    tly_bbp_mpi_serve(process, &job, devices);
  }
  // Into MPI_Finalize together: Debian 12's MPICH over TCP (UCX) may hang there when one rank
  // finalizes while another, already done, no longer answers.
  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Finalize();
  return code;
}
