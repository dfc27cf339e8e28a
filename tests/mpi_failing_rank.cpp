// The MPI program with one rank that fails part-way: rank 1's fifth allocation (in the
// second series) fails, or, with TLY_BBP_RANK_FAULT=kill, rank 1 is killed there instead.
#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Main/front_end.h"
#include "mpi/job.h"

namespace {

int allocations = 0;

void* fail_fifth(uint64_t bytes) {
  if (++allocations == 5) {
    const char* fault = std::getenv("TLY_BBP_RANK_FAULT");
    if (fault && std::strcmp(fault, "kill") == 0) raise(SIGKILL);
    return nullptr;
  }
  return std::aligned_alloc(16, (bytes + 15) & ~uint64_t{15});
}

}  // namespace

int main(int argc, char** argv) {
  // Read before MPI starts, so the rank is known without asking MPI (Open MPI, MPICH).
  const char* rank = std::getenv("OMPI_COMM_WORLD_RANK");
  if (!rank) rank = std::getenv("PMI_RANK");
  static const tly_bbp_allocator failing = {fail_fifth, std::free};
  const bool fails = rank && std::strcmp(rank, "1") == 0;
  return tly_bbp_mpi_main(argc, argv, tly_bbp_front_end_main, fails ? &failing : nullptr);
}
