// The MPI program: the same dialogue, computation and digits, with the series spread over a job.
#include <atomic>

#include "../cli/device_workers.h"
#include "../cli/command_line.h"
#include "../mpi/job.h"
#include "front_end.h"

namespace {

// The other ranks' devices: opened as the command line opens them, for this rank's share of its
// node's. These ranks ignore stop signals (rank 0 ends the job), so nothing stops a launch.
const std::atomic<int> never_stopped{0};

bool open_devices(const char* text, int32_t rank, int32_t node_rank, int32_t node_ranks, tly_bbp_rank_devices* out,
                  std::string* error) {
  tly_bbp_device_choice choice = tly_bbp_rank_device_choice(rank, node_rank, node_ranks);
  tly_bbp_options options{};
  tly_bbp_read_device_choice_text(text, &options);
  tly_bbp_device_workers* workers = new tly_bbp_device_workers;
  if (!tly_bbp_open_option_workers(options, &never_stopped, &choice, workers, error)) {
    delete workers;
    return false;
  }
  *out = {workers, workers->workers.data(), int32_t(workers->workers.size()), workers->pace.data(), choice.cpu};
  return true;
}

void device_shares(const tly_bbp_rank_devices& devices, std::vector<std::string>* names, std::vector<uint64_t>* terms) {
  const tly_bbp_device_workers& workers = *static_cast<const tly_bbp_device_workers*>(devices.opened);
  for (size_t k = 0; k < workers.workers.size(); ++k) {
    names->push_back(tly_bbp_device_label(workers, k));
    terms->push_back(workers.pace[k].summed);
  }
}

void close_devices(tly_bbp_rank_devices* devices) {
  tly_bbp_device_workers* workers = static_cast<tly_bbp_device_workers*>(devices->opened);
  tly_bbp_close_device_workers(workers);
  delete workers;
  *devices = {};
}

const tly_bbp_mpi_device_hooks device_hooks = {open_devices, device_shares, close_devices};

}  // namespace

int main(int argc, char** argv) {
  tly_bbp_start_process();
  return tly_bbp_mpi_main(argc, argv, tly_bbp_front_end_main, nullptr, &device_hooks);
}
