// The claim source of an MPI job: rank 0 holds the block counters and the job's sum; the threads
// of the other ranks claim and report blocks by plain messages, which a thread of rank 0 serves.
#include "job_claims.h"

#include <mpi.h>
#include <time.h>

#include "../engine/accumulator.h"
#include "series_relay.h"

namespace {

// Messages to rank 0: a claim (no data), answered by a block [first, last), empty when the
// range is exhausted; and a finished block: first, last and its result cells.
constexpr int claim_tag = 1;
constexpr int block_tag = 2;
constexpr int finish_tag = 3;

bool claim_for_job(tly_bbp_job_claims* job, uint64_t* first, uint64_t* last) {
  const std::lock_guard<std::mutex> hold(job->lock);
  return tly_bbp_rule_claim(job->counters, first, last);
}

// Sums modulo 1, so the sum of all blocks, in any order, is the job's.
uint64_t add_to_job(tly_bbp_job_claims* job, uint64_t first, uint64_t last, const int64_t* result, uint64_t cells) {
  const std::lock_guard<std::mutex> hold(job->lock);
  job->sum.resize(cells);
  tly_bbp_acc_add_block(job->sum.data(), result, cells);
  return tly_bbp_rule_finish(job->counters, first, last, result, cells);
}

// Serves the other ranks until each of their threads has been told that the range is
// exhausted: a thread asks again only after reporting its block, so all blocks are in then.
// Polling, not a blocking receive, which would spin a core the team computes on: the pause is
// short beside a block (30 ms or more). But a report is followed at once by its thread's next
// claim, which is waited for without a pause. Only this thread calls MPI on rank 0 meanwhile.
void serve_series(tly_bbp_job_claims* job, int32_t remote_threads) {
  const timespec pause{0, 250000};
  std::vector<int64_t> message;
  int reporter = MPI_PROC_NULL;
  while (remote_threads > 0) {
    MPI_Status status;
    int arrived = 1, count = 0;
    if (reporter != MPI_PROC_NULL)
      MPI_Probe(reporter, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
    else
      MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &arrived, &status);
    if (!arrived) {
      nanosleep(&pause, nullptr);
      continue;
    }
    MPI_Get_count(&status, MPI_INT64_T, &count);
    message.resize(static_cast<size_t>(count));
    MPI_Recv(message.data(), count, MPI_INT64_T, status.MPI_SOURCE, status.MPI_TAG, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
    reporter = status.MPI_TAG == finish_tag ? status.MPI_SOURCE : MPI_PROC_NULL;
    if (status.MPI_TAG == finish_tag) {
      add_to_job(job, uint64_t(message[0]), uint64_t(message[1]), message.data() + 2, uint64_t(count - 2));
      continue;
    }
    uint64_t block[2] = {0, 0};
    if (!claim_for_job(job, &block[0], &block[1])) --remote_threads;
    MPI_Send(block, 2, MPI_UINT64_T, status.MPI_SOURCE, block_tag, MPI_COMM_WORLD);
  }
}

void job_open(void* context, tly_bbp_block_counters* counters, int32_t team_size) {
  tly_bbp_job_claims* job = static_cast<tly_bbp_job_claims*>(context);
  job->team_size = team_size;
  // The halving rule counts every member of every team. All ranks wait for rank 0 here, so
  // nobody claims a block of this series while rank 0 still serves the last one.
  int32_t claimants = 0;
  MPI_Allreduce(&team_size, &claimants, 1, MPI_INT32_T, MPI_SUM, MPI_COMM_WORLD);
  if (job->rank != 0) return;
  counters->claimants = claimants;
  job->counters = counters;
  job->sum.clear();
  job->server = std::thread(serve_series, job, claimants - team_size);
}

bool job_claim(void* context, tly_bbp_block_counters*, uint64_t* first, uint64_t* last) {
  tly_bbp_job_claims* job = static_cast<tly_bbp_job_claims*>(context);
  if (job->rank == 0) return claim_for_job(job, first, last);
  uint64_t block[2];
  MPI_Send(nullptr, 0, MPI_INT64_T, 0, claim_tag, MPI_COMM_WORLD);
  MPI_Recv(block, 2, MPI_UINT64_T, 0, block_tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  *first = block[0];
  *last = block[1];
  return *first != *last;
}

// Only rank 0 shows the count, so another rank returns only its own.
uint64_t job_finish(void* context, tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                    const int64_t* result, uint64_t cells) {
  tly_bbp_job_claims* job = static_cast<tly_bbp_job_claims*>(context);
  if (job->rank == 0) return add_to_job(job, first, last, result, cells);
  std::vector<int64_t> message{int64_t(first), int64_t(last)};
  message.insert(message.end(), result, result + cells);
  MPI_Send(message.data(), int(message.size()), MPI_INT64_T, 0, finish_tag, MPI_COMM_WORLD);
  job->own_terms += last - first;
  return counters->terms_done += last - first;
}

// Rank 0's result is the job's sum, its own blocks included; the other ranks' is unused.
// A series that stopped early is not the job's: its front end ends the job.
void job_close(void* context, int64_t* out, uint64_t cells, bool) {
  tly_bbp_job_claims* job = static_cast<tly_bbp_job_claims*>(context);
  if (job->rank != 0 || !job->server.joinable()) return;
  job->server.join();
  job->sum.resize(cells);
  for (uint64_t i = 0; i < cells; ++i) out[i] = job->sum[i];
}

void job_begin(void* context, const tly_bbp_series_call* call) {
  tly_bbp_mpi_announce(call, *static_cast<const tly_bbp_job_claims*>(context));
}

}  // namespace

tly_bbp_claim_source tly_bbp_mpi_claims(tly_bbp_job_claims* job) {
  MPI_Comm_rank(MPI_COMM_WORLD, &job->rank);
  return {job, job_begin, job_open, job_claim, job_finish, job_close};
}
