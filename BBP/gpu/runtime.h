// What each GPU runtime (OpenCL, CUDA) gives the devices' common code: its devices, and launches of the kernels.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gpu.h"

// One launch of a block kernel: `groups` groups of terms_per_group terms (the last one short)
// from term `first`, `count` terms in all, each group's sums into partial[group*cells + cell].
struct tly_bbp_gpu_launch {
  tly_bbp_gpu_arithmetic arithmetic;
  uint64_t cells;
  int32_t alternating;
  uint64_t shift, first, count, terms_per_group, groups;
  uint32_t step, multiplier, offset;
};

// Where a runtime keeps its compiled programs between runs, and what became of each build.
struct tly_bbp_gpu_program_store {
  std::string directory;  // empty: no disk cache; set before any program is built
  std::atomic<uint64_t> built_from_source{0}, loaded_from_cache{0}, stored{0};
};

// A runtime's devices are numbered from 0 in the order it appended their entries. The common
// code holds a device's lock around every call for it.
class tly_bbp_gpu_runtime {
 public:
  virtual ~tly_bbp_gpu_runtime() = default;
  tly_bbp_gpu_program_store programs;
  // Work-groups in flight that fill the device: the grid of a launch is a few times this.
  virtual uint64_t resident_groups(int device) = 0;
  virtual bool launch_block(int device, const tly_bbp_gpu_launch& launch, int64_t* partial,
                            tly_bbp_gpu_error* error) = 0;
  virtual bool term_cells(int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t* cells_out, uint64_t cells,
                          uint64_t shift, uint64_t first, uint64_t count, uint32_t step, uint32_t multiplier,
                          uint32_t offset, tly_bbp_gpu_error* error) = 0;
};

// Each runtime's opening: appends an entry for each of its devices (backend and index set, the
// rest as it knows them) and returns itself, or null with `error` saying why it is not there.
std::unique_ptr<tly_bbp_gpu_runtime> tly_bbp_gpu_open_opencl(std::vector<tly_bbp_gpu_device_info>& devices,
                                                             tly_bbp_gpu_error* error);
std::unique_ptr<tly_bbp_gpu_runtime> tly_bbp_gpu_open_cuda(std::vector<tly_bbp_gpu_device_info>& devices,
                                                           tly_bbp_gpu_error* error);

// Error reporting shared by the runtimes: a library refusal, or a runtime's call and its code.
constexpr int32_t tly_bbp_gpu_refused = -1000, tly_bbp_gpu_stopped = -1001;
bool tly_bbp_gpu_fail(tly_bbp_gpu_error* error, int32_t code, const char* what, const char* runtime = "OpenCL");

// Double precision at a rate worth using, from the device's name: processors and the GPUs
// built for computing have it at half rate or better; other GPUs at 1/16 to 1/64.
tly_bbp_gpu_fp64_class tly_bbp_gpu_fp64_by_name(const tly_bbp_gpu_device_info& d, bool has_fp64);

// NVRTC's options for an architecture (75 for sm_75): a binary for it, or PTX.
std::vector<std::string> tly_bbp_gpu_nvrtc_options(int architecture, bool binary);

// The kernels' constants the host shares (TLY_GROUP_SIZE, TLY_MAX_CELLS of the source).
constexpr uint64_t tly_bbp_gpu_group_size = 64, tly_bbp_gpu_most_cells = 131;
