// How the ranks of an MPI job learn which series to evaluate: rank 0 announces each one.
#include "series_relay.h"

#include <mpi.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "../engine/engine.h"

namespace {

// What rank 0 broadcasts: a series, with the variant choice its user made (--isa, --variant)
// and the threads asked for (--threads), which every rank follows (without them each rank takes
// its own processor's fastest variant and one thread per processor), and the length of the
// run's --devices, whose text a second broadcast brings (none: threads alone); a request for
// each rank's part in the run; or the end of the job.
enum announcement_kind : int32_t { job_ends = 0, series = 1, parts = 2 };

struct announcement {
  tly_bbp_series_call call;
  int32_t kind;
  int32_t devices_length;
};

static_assert(sizeof(announcement) == 72, "docs/mpi.md gives the announcement's size");

// A rank's part in a run, sent to rank 0 as text (the job's claim messages use tags 1 to 3).
constexpr int part_tag = 4;

// Nonblocking on every rank (a nonblocking broadcast matches only its like): the other ranks
// wait for rank 0 through its whole dialogue and should not spin a core while they do.
void broadcast(void* data, int bytes, bool idle_while_waiting) {
  MPI_Request request;
  MPI_Ibcast(data, bytes, MPI_BYTE, 0, MPI_COMM_WORLD, &request);
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

void tly_bbp_mpi_announce(const tly_bbp_series_call* call, const tly_bbp_job_claims& job) {
  if (job.rank != 0) return;
  // What rank 0 printed so far goes out before another rank can fail on this series.
  std::fflush(stdout);
  announcement copy{*call, series, 0};
  std::string devices;
  if (job.chosen) {
    // Rank 0's own team may leave its threads out for its devices; the others follow --threads.
    copy.call.threads = job.threads;
    devices = job.devices;
    copy.devices_length = int32_t(devices.size());
  }
  broadcast(&copy, sizeof copy, false);
  if (copy.devices_length > 0) broadcast(devices.data(), copy.devices_length, false);
}

void tly_bbp_mpi_announce_end() {
  announcement end{{}, job_ends, 0};
  broadcast(&end, sizeof end, false);
}

void tly_bbp_mpi_gather_parts(std::vector<tly_bbp_rank_part>* others) {
  announcement request{{}, parts, 0};
  broadcast(&request, sizeof request, false);
  int ranks = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  others->clear();
  for (int rank = 1; rank < ranks; ++rank) {
    MPI_Status status;
    int bytes = 0;
    MPI_Probe(rank, part_tag, MPI_COMM_WORLD, &status);
    MPI_Get_count(&status, MPI_CHAR, &bytes);
    std::string text(size_t(bytes), '\0');
    MPI_Recv(text.data(), bytes, MPI_CHAR, rank, part_tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    // "THREADS TERMS\n", then "TERMS NAME\n" for each device.
    tly_bbp_rank_part part;
    part.rank = rank;
    int used = 0;
    std::sscanf(text.c_str(), "%" SCNd32 " %" SCNu64 "\n%n", &part.threads, &part.thread_terms, &used);
    for (size_t at = size_t(used); at < text.size();) {
      uint64_t terms = 0;
      used = 0;
      if (std::sscanf(text.c_str() + at, "%" SCNu64 " %n", &terms, &used) != 1 || used == 0) break;
      const size_t end = text.find('\n', at);
      part.devices.push_back(text.substr(at + size_t(used), end - at - size_t(used)));
      part.device_terms.push_back(terms);
      at = end == std::string::npos ? text.size() : end + 1;
    }
    others->push_back(part);
  }
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

// This rank's part so far: the threads of its last series and what they and its devices summed.
void send_part(const tly_bbp_job_claims& job, const tly_bbp_rank_devices& devices,
               const tly_bbp_mpi_device_hooks* hooks) {
  std::vector<std::string> names;
  std::vector<uint64_t> terms;
  if (devices.opened) hooks->shares(devices, &names, &terms);
  uint64_t on_devices = 0;
  for (uint64_t t : terms) on_devices += t;
  const int32_t threads = job.team_size > devices.count ? job.team_size - devices.count : 0;
  std::string text = std::to_string(threads) + " " +
                     std::to_string(job.own_terms > on_devices ? job.own_terms - on_devices : 0) + "\n";
  for (size_t k = 0; k < names.size(); ++k) {
    for (char& c : names[k])
      if (c == '\n') c = ' ';
    text += std::to_string(terms[k]) + " " + names[k] + "\n";
  }
  MPI_Send(text.data(), int(text.size()), MPI_CHAR, 0, part_tag, MPI_COMM_WORLD);
}

}  // namespace

void tly_bbp_mpi_serve(const tly_bbp_process& process, tly_bbp_job_claims* job, const tly_bbp_mpi_device_hooks* hooks) {
  const int rank = job->rank;
  tly_bbp_rank_devices devices;
  std::string opened_for;  // the --devices that `devices` were opened for
  for (;;) {
    announcement a{};
    broadcast(&a, sizeof a, true);
    if (a.kind == job_ends) break;
    if (a.kind == parts) {
      send_part(*job, devices, hooks);
      continue;
    }
    const tly_bbp_series_call& call = a.call;
    std::string choice(size_t(a.devices_length), '\0');
    if (a.devices_length > 0) broadcast(choice.data(), a.devices_length, false);
    if (const char* missing = lacking(call.variants)) {
      std::fprintf(stderr, "tallyspire-bbp-mpi: rank %d: this processor cannot run %s, which rank 0 was told to use\n",
                   rank, missing);
      process.end(1);
    }
    if (hooks && choice != opened_for) {
      if (devices.opened) hooks->close(&devices);
      devices = {};
      opened_for = choice;
      // As the single program refuses a device that is not there: a bad argument.
      if (std::string error; !choice.empty() && !hooks->open(choice.c_str(), rank, process.job->node_rank,
                                                               process.job->node_ranks, &devices, &error)) {
        std::fprintf(stderr, "tallyspire-bbp-mpi: rank %d: %s\n", rank, error.c_str());
        std::fflush(stderr);
        process.end(2);
      }
    }
    // A rank left without a device computes with its threads.
    const int32_t threads = devices.count == 0 || devices.cpu ? call.threads : -1;
    const tly_bbp_engine_run run{threads, call.variants, process.source, nullptr, devices.workers, devices.count, {},
                                 process.allocator, nullptr, devices.count ? devices.pace : nullptr};
    // This rank's share of the sum; rank 0 receives the whole in its own accumulator.
    int64_t* out = static_cast<int64_t*>(tly_bbp_run_alloc(run, call.cells * 8));
    const int32_t status = out ? tly_bbp_pblock(out, call.cells, call.alternating, call.shift, call.term_count,
                                                call.step, call.multiplier, call.offset, call.block_hint, run)
                               : int32_t{tly_bbp_status_no_memory};
    if (status == tly_bbp_status_worker_failed) {
      std::fprintf(stderr, "tallyspire-bbp-mpi: rank %d: %s\n", rank, tly_bbp_status_message(status));
      std::fflush(stderr);
      process.end(1);
    }
    if (status != tly_bbp_status_done) {
      // As the console shows a failure: the message on standard output, no line end.
      std::fputs(tly_bbp_status_message(status), stdout);
      std::fflush(stdout);
      process.end(1);
    }
    tly_bbp_run_free(run, out);
  }
  if (devices.opened) hooks->close(&devices);
}
