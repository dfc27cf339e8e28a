// The devices of every GPU runtime in one list, and blocks of terms split into bounded launches on any of them.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime.h"

namespace {

constexpr uint64_t most_group_terms = uint64_t{1} << 24;  // keeps each group's sums below 2^63

// A way to a device: its runtime and its number there, and what one thread at a time may use.
struct route {
  tly_bbp_gpu_runtime* runtime = nullptr;
  int index = 0;
  std::mutex lock;
  // Terms per launch, grown or shrunk towards the wanted launch time as launches are timed;
  // at first one term for each work-item that fills the device, so a large GPU starts near
  // its pace instead of climbing from a few groups.
  uint64_t launch_terms = 0;
};

}  // namespace

struct tly_bbp_gpu {
  std::unique_ptr<tly_bbp_gpu_runtime> runtimes[2];
  tly_bbp_gpu_error status[2]{};
  std::vector<tly_bbp_gpu_device_info> info;
  std::vector<std::unique_ptr<route>> routes;
};

const char* tly_bbp_gpu_backend_name(tly_bbp_gpu_backend backend) {
  return backend == tly_bbp_gpu_cuda ? "cuda" : "opencl";
}

const char* tly_bbp_gpu_arithmetic_name(tly_bbp_gpu_arithmetic arithmetic) {
  return arithmetic == tly_bbp_gpu_fp64_exact ? "fp64-exact" : "montgomery64";
}

uint64_t tly_bbp_gpu_moduli_below(tly_bbp_gpu_arithmetic arithmetic) {
  return arithmetic == tly_bbp_gpu_fp64_exact ? uint64_t{1} << 52 : 0;
}

const char* tly_bbp_gpu_fp64_class_name(tly_bbp_gpu_fp64_class fp64) {
  return fp64 == tly_bbp_gpu_fp64_full ? "full" : fp64 == tly_bbp_gpu_fp64_reduced ? "reduced" : "none";
}

bool tly_bbp_gpu_fail(tly_bbp_gpu_error* error, int32_t code, const char* what, const char* runtime) {
  if (error) {
    error->code = code;
    if (code == tly_bbp_gpu_refused || code == tly_bbp_gpu_stopped)
      std::snprintf(error->message, sizeof error->message, "%s", what);
    else
      std::snprintf(error->message, sizeof error->message, "%s failed (%s error %" PRId32 ")", what, runtime, code);
  }
  return false;
}

tly_bbp_gpu_fp64_class tly_bbp_gpu_fp64_by_name(const tly_bbp_gpu_device_info& d, bool has_fp64) {
  if (!has_fp64) return tly_bbp_gpu_fp64_none;
  if (!d.is_gpu) return tly_bbp_gpu_fp64_full;
  static const char* const computing[] = {"A100", "A800", "H100", "H200", "H800", "GH200", "B200", "B100", "GB200",
                                          "V100", "P100", "A30",  "MI50", "MI60", "MI100", "MI210", "MI250", "MI300",
                                          "Instinct", "Data Center GPU Max"};
  for (const char* name : computing)
    if (std::strstr(d.name, name)) return tly_bbp_gpu_fp64_full;
  return tly_bbp_gpu_fp64_reduced;
}

tly_bbp_gpu* tly_bbp_gpu_open(tly_bbp_gpu_error* error) {
  auto gpu = std::make_unique<tly_bbp_gpu>();
  for (const tly_bbp_gpu_backend backend : {tly_bbp_gpu_opencl, tly_bbp_gpu_cuda}) {
    const size_t before = gpu->info.size();
    auto& runtime = gpu->runtimes[backend];
    runtime = backend == tly_bbp_gpu_cuda ? tly_bbp_gpu_open_cuda(gpu->info, &gpu->status[backend])
                                          : tly_bbp_gpu_open_opencl(gpu->info, &gpu->status[backend]);
    if (!runtime) gpu->info.resize(before);
    for (size_t i = before; i < gpu->info.size(); ++i) {
      auto r = std::make_unique<route>();
      r->runtime = runtime.get();
      r->index = static_cast<int>(i - before);
      gpu->routes.push_back(std::move(r));
      gpu->info[i].backend = backend;
      gpu->info[i].same_as = -1;
      gpu->info[i].backends = 1u << backend;
    }
  }
  // A device both runtimes reach (the same PCI address) is listed once, under CUDA.
  for (auto& cuda : gpu->info)
    for (auto& opencl : gpu->info)
      if (cuda.backend == tly_bbp_gpu_cuda && opencl.backend == tly_bbp_gpu_opencl && cuda.pci_bus[0] &&
          std::strcmp(cuda.pci_bus, opencl.pci_bus) == 0) {
        opencl.same_as = static_cast<int32_t>(&cuda - gpu->info.data());
        cuda.backends |= opencl.backends;
        opencl.backends = cuda.backends;
      }
  if (error && !gpu->runtimes[tly_bbp_gpu_opencl] && !gpu->runtimes[tly_bbp_gpu_cuda]) {
    *error = gpu->status[tly_bbp_gpu_opencl];
    return gpu.release();
  }
  if (error) *error = {};
  return gpu.release();
}

void tly_bbp_gpu_close(tly_bbp_gpu* gpu) {
  if (!gpu) return;
  gpu->routes.clear();
  // CUDA first: its contexts go before the OpenCL ICDs that may share the driver.
  gpu->runtimes[tly_bbp_gpu_cuda].reset();
  gpu->runtimes[tly_bbp_gpu_opencl].reset();
  delete gpu;
}

void tly_bbp_gpu_set_cache_directory(tly_bbp_gpu* gpu, const char* directory) {
  if (!gpu) return;
  for (auto& runtime : gpu->runtimes)
    if (runtime) runtime->programs.directory = directory ? directory : "";
}

tly_bbp_gpu_program_counts tly_bbp_gpu_programs(const tly_bbp_gpu* gpu) {
  tly_bbp_gpu_program_counts counts{0, 0, 0};
  if (!gpu) return counts;
  for (const auto& runtime : gpu->runtimes)
    if (runtime) {
      counts.built_from_source += runtime->programs.built_from_source;
      counts.loaded_from_cache += runtime->programs.loaded_from_cache;
      counts.stored += runtime->programs.stored;
    }
  return counts;
}

const char* tly_bbp_gpu_backend_status(const tly_bbp_gpu* gpu, tly_bbp_gpu_backend backend) {
  if (!gpu) return "no GPU runtime";
  return gpu->runtimes[backend] ? "" : gpu->status[backend].message;
}

int tly_bbp_gpu_device_count(const tly_bbp_gpu* gpu) { return gpu ? static_cast<int>(gpu->info.size()) : 0; }

const tly_bbp_gpu_device_info* tly_bbp_gpu_device(const tly_bbp_gpu* gpu, int device) {
  if (!gpu || device < 0 || device >= static_cast<int>(gpu->info.size())) return nullptr;
  return &gpu->info[device];
}

void tly_bbp_gpu_device_name(const tly_bbp_gpu_device_info* info, char* name, size_t size) {
  if (!name || size == 0) return;
  if (info->backend == tly_bbp_gpu_cuda)
    std::snprintf(name, size, "cuda:%" PRIu32, info->index);
  else
    std::snprintf(name, size, "opencl:%" PRIu32 ":%" PRIu32, info->platform, info->index);
}

int tly_bbp_gpu_find_device(const tly_bbp_gpu* gpu, const char* name) {
  if (!name) return -1;
  char own[32];
  for (int i = 0; i < tly_bbp_gpu_device_count(gpu); ++i) {
    tly_bbp_gpu_device_name(&gpu->info[i], own, sizeof own);
    if (std::strcmp(own, name) == 0) return i;
  }
  return -1;
}

namespace {

route* usable(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_error* error) {
  if (!gpu || device < 0 || device >= static_cast<int>(gpu->routes.size())) {
    tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "no such GPU device");
    return nullptr;
  }
  return gpu->routes[device].get();
}

bool check_range(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t cells,
                 uint64_t largest_modulus, tly_bbp_gpu_error* error) {
  if (cells < 1 || cells > tly_bbp_gpu_most_cells)
    return tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "cells must be from 1 to 131");
  if (arithmetic == tly_bbp_gpu_fp64_exact) {
    if (gpu->info[device].fp64 == tly_bbp_gpu_fp64_none)
      return tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "the device has no double precision");
    if (largest_modulus >= tly_bbp_gpu_moduli_below(arithmetic))
      return tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "a modulus of 2^52 or more for the exact double arithmetic");
  }
  return true;
}

}  // namespace

bool tly_bbp_gpu_block(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, int64_t* block_result,
                       uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first, uint64_t last,
                       uint32_t step, uint32_t multiplier, uint32_t offset, uint32_t launch_ms,
                       tly_bbp_gpu_stop_fn stop, void* stop_context, tly_bbp_gpu_error* error) {
  route* r = usable(gpu, device, error);
  if (!r) return false;
  const uint64_t largest = last > first ? uint64_t{multiplier} * (last - 1) + offset : 0;
  if (!check_range(gpu, device, arithmetic, cells, largest, error)) return false;
  std::lock_guard<std::mutex> hold(r->lock);
  const double wanted_seconds = (launch_ms ? launch_ms : 100) / 1000.0;
  // Enough groups to fill the device several times over, each of whole passes.
  const uint64_t groups_wanted = std::max<uint64_t>(r->runtime->resident_groups(r->index), 1) * 4;
  if (r->launch_terms == 0)
    r->launch_terms = std::max<uint64_t>(groups_wanted / 4, 16) * tly_bbp_gpu_group_size;

  std::vector<int64_t> sum(cells, 0), partial;
  for (uint64_t done = first; done < last;) {
    if (stop && stop(stop_context, done - first)) return tly_bbp_gpu_fail(error, tly_bbp_gpu_stopped, "stopped");
    const uint64_t count = std::min(last - done, r->launch_terms);
    const uint64_t group_size = tly_bbp_gpu_group_size;
    uint64_t terms_per_group = (count + groups_wanted - 1) / groups_wanted;
    terms_per_group = std::min((terms_per_group + group_size - 1) / group_size * group_size, most_group_terms);
    const uint64_t groups = (count + terms_per_group - 1) / terms_per_group;
    partial.resize(groups * cells);
    const tly_bbp_gpu_launch launch{arithmetic, cells, alternating ? 1 : 0, shift, done, count, terms_per_group,
                                    groups,     step,  multiplier,          offset};
    const auto started = std::chrono::steady_clock::now();
    if (!r->runtime->launch_block(r->index, launch, partial.data(), error)) return false;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The next launch aims at the wanted time, changing by at most four times at once.
    if (count == r->launch_terms) {
      const double factor = std::clamp(wanted_seconds / std::max(seconds, 1e-6), 0.25, 4.0);
      r->launch_terms = std::clamp<uint64_t>(static_cast<uint64_t>(static_cast<double>(count) * factor), group_size,
                                             uint64_t{1} << 34);
    }
    // The kernel counted signs from `done`: an odd distance from `first` flips them all.
    const bool flip = alternating && ((done - first) & 1);
    // Each group's sums (below 2^57 in size) are carried in at once, so that no number of
    // groups or launches can overflow a cell.
    for (uint64_t g = 0; g < groups; ++g) {
      int64_t carry = 0;
      for (uint64_t c = 0; c < cells; ++c) {
        const int64_t v = sum[c] + (flip ? -partial[g * cells + c] : partial[g * cells + c]) + carry;
        sum[c] = v & 0xFFFFFFFF;
        carry = v >> 32;  // arithmetic shift: a floor division by 2^32
      }
    }
    done += count;
  }
  for (uint64_t c = 0; c < cells; ++c) block_result[c] = sum[c];
  if (error) *error = {};
  return true;
}

bool tly_bbp_gpu_term_cells(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t* cells_out,
                            uint64_t cells, uint64_t shift, uint64_t first, uint64_t count, uint32_t step,
                            uint32_t multiplier, uint32_t offset, tly_bbp_gpu_error* error) {
  route* r = usable(gpu, device, error);
  if (!r) return false;
  if (count == 0) return true;
  if (!check_range(gpu, device, arithmetic, cells, uint64_t{multiplier} * (first + count - 1) + offset, error))
    return false;
  std::lock_guard<std::mutex> hold(r->lock);
  if (!r->runtime->term_cells(r->index, arithmetic, cells_out, cells, shift, first, count, step, multiplier, offset,
                              error))
    return false;
  if (error) *error = {};
  return true;
}
