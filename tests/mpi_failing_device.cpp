// The MPI program with a device on every rank but 0 that fails at its first block: its blocks
// must go to its rank's threads, and the rank must still hear rank 0's last "no block left".
// With TLY_BBP_DEVICE_ALONE=1 the device is its rank's only worker.
#include <cstdio>
#include <cstdlib>

#include "Main/front_end.h"
#include "mpi/job.h"

namespace {

struct failing_device {
  int32_t rank;
  bool said = false;
  tly_bbp_block_worker worker;
  tly_bbp_pace pace[2] = {};
};

bool fail(void* context, const tly_bbp_series_call*, uint64_t, uint64_t, int64_t*, tly_bbp_block_hold*) {
  failing_device* d = static_cast<failing_device*>(context);
  if (!d->said) std::fprintf(stderr, "tallyspire-bbp-mpi: rank %d: test device failed\n", int(d->rank));
  d->said = true;
  return false;
}

bool open(const char*, int32_t rank, int32_t, int32_t, tly_bbp_rank_devices* out, std::string*) {
  failing_device* d = new failing_device{rank, false, {}, {}};
  d->worker = {d, fail};
  const char* alone = std::getenv("TLY_BBP_DEVICE_ALONE");
  *out = {d, &d->worker, 1, d->pace, !(alone && *alone == '1')};
  return true;
}

void shares(const tly_bbp_rank_devices&, std::vector<std::string>* names, std::vector<uint64_t>* terms) {
  names->push_back("test device");
  terms->push_back(0);
}

void close(tly_bbp_rank_devices* devices) {
  delete static_cast<failing_device*>(devices->opened);
  *devices = {};
}

const tly_bbp_mpi_device_hooks hooks = {open, shares, close};

}  // namespace

int main(int argc, char** argv) {
  tly_bbp_start_process();
  return tly_bbp_mpi_main(argc, argv, tly_bbp_front_end_main, nullptr, &hooks);
}
