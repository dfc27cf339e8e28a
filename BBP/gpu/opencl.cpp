// The OpenCL backend: the ICD loader opened at run time, its devices, programs built once per device, blocks launched.
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gpu.h"

namespace {

// The entry points used, looked up by name: the program never links OpenCL, so it runs
// where no loader is installed.
struct opencl_api {
  void* library = nullptr;
#define TLY_CL_FUNCTIONS(X)                                                                                  \
  X(clGetPlatformIDs) X(clGetPlatformInfo) X(clGetDeviceIDs) X(clGetDeviceInfo) X(clCreateContext)          \
  X(clReleaseContext) X(clCreateCommandQueue) X(clReleaseCommandQueue) X(clCreateProgramWithSource)          \
  X(clBuildProgram) X(clGetProgramBuildInfo) X(clReleaseProgram) X(clCreateKernel) X(clReleaseKernel)       \
  X(clCreateBuffer) X(clReleaseMemObject) X(clSetKernelArg) X(clEnqueueNDRangeKernel) X(clEnqueueReadBuffer) \
  X(clFinish)
#define TLY_CL_POINTER(name) decltype(&::name) name = nullptr;
  TLY_CL_FUNCTIONS(TLY_CL_POINTER)
};

constexpr int32_t own_refusal = -1000, stopped = -1001;
constexpr uint64_t group_size = 64;        // TLY_GROUP_SIZE of the kernels
constexpr uint64_t most_cells = 131;       // TLY_MAX_CELLS
constexpr uint64_t most_group_terms = uint64_t{1} << 24;  // keeps each group's sums below 2^63

bool fail(tly_bbp_gpu_error* error, int32_t code, const char* what) {
  if (error) {
    error->code = code;
    if (code == own_refusal || code == stopped)
      std::snprintf(error->message, sizeof error->message, "%s", what);
    else
      std::snprintf(error->message, sizeof error->message, "%s failed (OpenCL error %" PRId32 ")", what, code);
  }
  return false;
}

// A device's context, queue, program and kernels, made on first use and kept.
struct device_state {
  cl_platform_id platform = nullptr;
  cl_device_id id = nullptr;
  bool fp64 = false;  // the source then has its double-precision kernel
  std::mutex lock;
  bool tried = false;
  tly_bbp_gpu_error build_error{};
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel block[2] = {};
  cl_kernel term_cells = nullptr;
  cl_mem partial = nullptr;
  size_t partial_bytes = 0;
  // Terms per launch, grown or shrunk towards the wanted launch time as launches are timed.
  uint64_t launch_terms = 16 * group_size;
};

}  // namespace

struct tly_bbp_gpu {
  opencl_api api;
  std::vector<tly_bbp_gpu_device_info> info;
  std::vector<std::unique_ptr<device_state>> devices;
};

const char* tly_bbp_gpu_arithmetic_name(tly_bbp_gpu_arithmetic arithmetic) {
  return arithmetic == tly_bbp_gpu_fp64_exact ? "fp64-exact" : "montgomery64";
}

uint64_t tly_bbp_gpu_moduli_below(tly_bbp_gpu_arithmetic arithmetic) {
  return arithmetic == tly_bbp_gpu_fp64_exact ? uint64_t{1} << 52 : 0;
}

const char* tly_bbp_gpu_fp64_class_name(tly_bbp_gpu_fp64_class fp64) {
  return fp64 == tly_bbp_gpu_fp64_full ? "full" : fp64 == tly_bbp_gpu_fp64_reduced ? "reduced" : "none";
}

namespace {

// A text property, cut to the field's size (version strings run long).
template <typename Info, typename Object, typename Field>
void get_text(Info get, Object object, cl_uint what, Field& field) {
  field[0] = '\0';
  size_t size = 0;
  if (get(object, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return;
  std::string text(size, '\0');
  if (get(object, what, size, text.data(), nullptr) != CL_SUCCESS) return;
  std::snprintf(field, sizeof field, "%s", text.c_str());
}

// Double precision at a rate worth using: processors, and the GPUs built for computing (their
// names say so), have it at half rate or better; other GPUs at 1/16 to 1/64.
tly_bbp_gpu_fp64_class fp64_class(const tly_bbp_gpu_device_info& d, cl_device_fp_config config) {
  if (config == 0) return tly_bbp_gpu_fp64_none;
  if (!d.is_gpu) return tly_bbp_gpu_fp64_full;
  static const char* const computing[] = {"A100", "A800", "H100", "H200", "H800", "GH200", "B200", "B100", "GB200",
                                          "V100", "P100", "A30",  "MI50", "MI60", "MI100", "MI210", "MI250", "MI300",
                                          "Instinct", "Data Center GPU Max"};
  for (const char* name : computing)
    if (std::strstr(d.name, name)) return tly_bbp_gpu_fp64_full;
  return tly_bbp_gpu_fp64_reduced;
}

void list_devices(tly_bbp_gpu* gpu) {
  const opencl_api& cl = gpu->api;
  cl_uint platform_count = 0;
  if (cl.clGetPlatformIDs(0, nullptr, &platform_count) != CL_SUCCESS || platform_count == 0) return;
  std::vector<cl_platform_id> platforms(platform_count);
  if (cl.clGetPlatformIDs(platform_count, platforms.data(), nullptr) != CL_SUCCESS) return;
  for (cl_uint p = 0; p < platform_count; ++p) {
    cl_uint device_count = 0;
    if (cl.clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, 0, nullptr, &device_count) != CL_SUCCESS) continue;
    std::vector<cl_device_id> ids(device_count);
    if (cl.clGetDeviceIDs(platforms[p], CL_DEVICE_TYPE_ALL, device_count, ids.data(), nullptr) != CL_SUCCESS)
      continue;
    for (cl_uint i = 0; i < device_count; ++i) {
      tly_bbp_gpu_device_info d{};
      d.platform = p;
      d.index = i;
      get_text(cl.clGetPlatformInfo, platforms[p], CL_PLATFORM_NAME, d.platform_name);
      get_text(cl.clGetDeviceInfo, ids[i], CL_DEVICE_NAME, d.name);
      get_text(cl.clGetDeviceInfo, ids[i], CL_DEVICE_VENDOR, d.vendor);
      get_text(cl.clGetDeviceInfo, ids[i], CL_DEVICE_VERSION, d.version);
      cl_device_type type = 0;
      cl_ulong memory = 0;
      cl_uint units = 0, clock = 0;
      cl_device_fp_config fp64 = 0;
      cl.clGetDeviceInfo(ids[i], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
      cl.clGetDeviceInfo(ids[i], CL_DEVICE_GLOBAL_MEM_SIZE, sizeof memory, &memory, nullptr);
      cl.clGetDeviceInfo(ids[i], CL_DEVICE_MAX_COMPUTE_UNITS, sizeof units, &units, nullptr);
      cl.clGetDeviceInfo(ids[i], CL_DEVICE_MAX_CLOCK_FREQUENCY, sizeof clock, &clock, nullptr);
      if (cl.clGetDeviceInfo(ids[i], CL_DEVICE_DOUBLE_FP_CONFIG, sizeof fp64, &fp64, nullptr) != CL_SUCCESS) fp64 = 0;
      d.is_gpu = (type & (CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_ACCELERATOR)) != 0;
      d.global_memory = memory;
      d.compute_units = units;
      d.clock_mhz = clock;
      d.fp64 = fp64_class(d, fp64);
      d.arithmetic = d.fp64 == tly_bbp_gpu_fp64_full ? tly_bbp_gpu_fp64_exact : tly_bbp_gpu_montgomery64;
      gpu->info.push_back(d);
      auto state = std::make_unique<device_state>();
      state->platform = platforms[p];
      state->id = ids[i];
      state->fp64 = d.fp64 != tly_bbp_gpu_fp64_none;
      gpu->devices.push_back(std::move(state));
    }
  }
}

// The context, queue, program and kernels of a device, built on first use; a failed build is
// remembered and reported again, never retried. Called with the device's lock held.
bool prepare(tly_bbp_gpu* gpu, device_state& d, tly_bbp_gpu_error* error) {
  if (d.tried) {
    if (d.build_error.code != 0) {
      if (error) *error = d.build_error;
      return false;
    }
    return true;
  }
  d.tried = true;
  const opencl_api& cl = gpu->api;
  cl_int status = CL_SUCCESS;
  auto remember = [&](int32_t code, const char* what) {
    fail(&d.build_error, code, what);
    if (error) *error = d.build_error;
    return false;
  };
  const cl_context_properties properties[] = {CL_CONTEXT_PLATFORM, reinterpret_cast<cl_context_properties>(d.platform),
                                              0};
  d.context = cl.clCreateContext(properties, 1, &d.id, nullptr, nullptr, &status);
  if (status != CL_SUCCESS) return remember(status, "clCreateContext");
  d.queue = cl.clCreateCommandQueue(d.context, d.id, 0, &status);
  if (status != CL_SUCCESS) return remember(status, "clCreateCommandQueue");
  const char* source = tly_bbp_gpu_kernel_source;
  d.program = cl.clCreateProgramWithSource(d.context, 1, &source, nullptr, &status);
  if (status != CL_SUCCESS) return remember(status, "clCreateProgramWithSource");
  // No relaxed-math option: the exact double arithmetic needs IEEE division and no contraction.
  status = cl.clBuildProgram(d.program, 1, &d.id, "-cl-std=CL1.2", nullptr, nullptr);
  if (status != CL_SUCCESS) {
    char log[160] = "";
    cl.clGetProgramBuildInfo(d.program, d.id, CL_PROGRAM_BUILD_LOG, sizeof log - 1, log, nullptr);
    log[sizeof log - 1] = '\0';
    std::string what = std::string("building the kernels: ") + log;
    std::replace(what.begin(), what.end(), '\n', ' ');
    return remember(status, what.c_str());
  }
  const char* names[] = {"tly_bbp_gpu_block_double", "tly_bbp_gpu_block_montgomery", "tly_bbp_gpu_term_cells"};
  cl_kernel* kernels[] = {&d.block[0], &d.block[1], &d.term_cells};
  for (int i = d.fp64 ? 0 : 1; i < 3; ++i) {
    *kernels[i] = cl.clCreateKernel(d.program, names[i], &status);
    if (status != CL_SUCCESS) return remember(status, "clCreateKernel");
  }
  return true;
}

void release(const opencl_api& cl, device_state& d) {
  if (d.partial) cl.clReleaseMemObject(d.partial);
  for (cl_kernel k : {d.block[0], d.block[1], d.term_cells})
    if (k) cl.clReleaseKernel(k);
  if (d.program) cl.clReleaseProgram(d.program);
  if (d.queue) cl.clReleaseCommandQueue(d.queue);
  if (d.context) cl.clReleaseContext(d.context);
}

// A buffer of at least `bytes` for the device's results, kept between launches.
bool partial_buffer(const opencl_api& cl, device_state& d, size_t bytes, tly_bbp_gpu_error* error) {
  if (d.partial_bytes >= bytes) return true;
  if (d.partial) cl.clReleaseMemObject(d.partial);
  d.partial = nullptr;
  d.partial_bytes = 0;
  cl_int status = CL_SUCCESS;
  d.partial = cl.clCreateBuffer(d.context, CL_MEM_WRITE_ONLY, bytes, nullptr, &status);
  if (status != CL_SUCCESS) return fail(error, status, "clCreateBuffer");
  d.partial_bytes = bytes;
  return true;
}

// Sets the kernel's arguments in order, each by its size.
template <typename... Args>
cl_int set_arguments(const opencl_api& cl, cl_kernel kernel, const Args&... args) {
  cl_uint index = 0;
  cl_int status = CL_SUCCESS;
  ((status == CL_SUCCESS ? status = cl.clSetKernelArg(kernel, index++, sizeof args, &args) : status), ...);
  return status;
}

// The device numbered `device`, or null with the error.
device_state* usable(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_error* error) {
  if (!gpu || device < 0 || device >= static_cast<int>(gpu->devices.size())) {
    fail(error, own_refusal, "no such OpenCL device");
    return nullptr;
  }
  return gpu->devices[device].get();
}

bool check_range(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t cells,
                 uint64_t largest_modulus, tly_bbp_gpu_error* error) {
  if (cells < 1 || cells > most_cells) return fail(error, own_refusal, "cells must be from 1 to 131");
  if (arithmetic == tly_bbp_gpu_fp64_exact) {
    if (gpu->info[device].fp64 == tly_bbp_gpu_fp64_none)
      return fail(error, own_refusal, "the device has no double precision");
    if (largest_modulus >= tly_bbp_gpu_moduli_below(arithmetic))
      return fail(error, own_refusal, "a modulus of 2^52 or more for the exact double arithmetic");
  }
  return true;
}

}  // namespace

tly_bbp_gpu* tly_bbp_gpu_open(tly_bbp_gpu_error* error) {
  void* library = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) library = dlopen("libOpenCL.so", RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    fail(error, own_refusal, "no OpenCL loader (libOpenCL.so.1)");
    return nullptr;
  }
  auto gpu = std::make_unique<tly_bbp_gpu>();
  gpu->api.library = library;
  bool complete = true;
#define TLY_CL_LOOKUP(name)                                                          \
  gpu->api.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  complete = complete && gpu->api.name != nullptr;
  TLY_CL_FUNCTIONS(TLY_CL_LOOKUP)
  if (!complete) {
    dlclose(library);
    fail(error, own_refusal, "the OpenCL loader lacks OpenCL 1.2 functions");
    return nullptr;
  }
  list_devices(gpu.get());
  if (error) *error = {};
  return gpu.release();
}

void tly_bbp_gpu_close(tly_bbp_gpu* gpu) {
  if (!gpu) return;
  for (auto& d : gpu->devices) release(gpu->api, *d);
  gpu->devices.clear();
  // The loader stays mapped: ICDs register exit handlers that would run from unmapped code.
  delete gpu;
}

int tly_bbp_gpu_device_count(const tly_bbp_gpu* gpu) { return gpu ? static_cast<int>(gpu->info.size()) : 0; }

const tly_bbp_gpu_device_info* tly_bbp_gpu_device(const tly_bbp_gpu* gpu, int device) {
  if (!gpu || device < 0 || device >= static_cast<int>(gpu->info.size())) return nullptr;
  return &gpu->info[device];
}

bool tly_bbp_gpu_block(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, int64_t* block_result,
                       uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first, uint64_t last,
                       uint32_t step, uint32_t multiplier, uint32_t offset, uint32_t launch_ms,
                       tly_bbp_gpu_stop_fn stop, void* stop_context, tly_bbp_gpu_error* error) {
  device_state* d = usable(gpu, device, error);
  if (!d) return false;
  const uint64_t largest = last > first ? uint64_t{multiplier} * (last - 1) + offset : 0;
  if (!check_range(gpu, device, arithmetic, cells, largest, error)) return false;
  std::lock_guard<std::mutex> hold(d->lock);
  if (!prepare(gpu, *d, error)) return false;
  const opencl_api& cl = gpu->api;
  const double wanted_seconds = (launch_ms ? launch_ms : 100) / 1000.0;
  const tly_bbp_gpu_device_info& info = gpu->info[device];
  // Enough groups to fill every compute unit several times over, each of whole passes.
  const uint64_t groups_wanted = uint64_t{std::max<cl_uint>(info.compute_units, 1)} * (info.is_gpu ? 64 : 4);

  std::vector<int64_t> sum(cells, 0), partial;
  for (uint64_t done = first; done < last;) {
    if (stop && stop(stop_context)) return fail(error, stopped, "stopped");
    const uint64_t count = std::min(last - done, d->launch_terms);
    uint64_t terms_per_group = (count + groups_wanted - 1) / groups_wanted;
    terms_per_group = std::min((terms_per_group + group_size - 1) / group_size * group_size, most_group_terms);
    const uint64_t groups = (count + terms_per_group - 1) / terms_per_group;
    if (!partial_buffer(cl, *d, groups * cells * sizeof(int64_t), error)) return false;
    cl_kernel kernel = d->block[arithmetic == tly_bbp_gpu_fp64_exact ? 0 : 1];
    const cl_ulong args_cells = cells, args_shift = shift, args_first = done, args_count = count,
                   args_per_group = terms_per_group;
    const cl_int args_alternating = alternating ? 1 : 0;
    const cl_uint args_step = step, args_multiplier = multiplier, args_offset = offset;
    cl_int status = set_arguments(cl, kernel, d->partial, args_cells, args_alternating, args_shift, args_first,
                                  args_count, args_per_group, args_step, args_multiplier, args_offset);
    if (status != CL_SUCCESS) return fail(error, status, "clSetKernelArg");
    const size_t global = groups * group_size, local = group_size;
    const auto started = std::chrono::steady_clock::now();
    status = cl.clEnqueueNDRangeKernel(d->queue, kernel, 1, nullptr, &global, &local, 0, nullptr, nullptr);
    if (status != CL_SUCCESS) return fail(error, status, "clEnqueueNDRangeKernel");
    partial.resize(groups * cells);
    status = cl.clEnqueueReadBuffer(d->queue, d->partial, CL_TRUE, 0, partial.size() * sizeof(int64_t),
                                    partial.data(), 0, nullptr, nullptr);
    if (status != CL_SUCCESS) return fail(error, status, "clEnqueueReadBuffer");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The next launch aims at the wanted time, changing by at most four times at once.
    if (count == d->launch_terms) {
      const double factor = std::clamp(wanted_seconds / std::max(seconds, 1e-6), 0.25, 4.0);
      d->launch_terms = std::clamp<uint64_t>(static_cast<uint64_t>(static_cast<double>(count) * factor), group_size,
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
  device_state* d = usable(gpu, device, error);
  if (!d) return false;
  if (count == 0) return true;
  if (!check_range(gpu, device, arithmetic, cells, uint64_t{multiplier} * (first + count - 1) + offset, error))
    return false;
  std::lock_guard<std::mutex> hold(d->lock);
  if (!prepare(gpu, *d, error)) return false;
  const opencl_api& cl = gpu->api;
  if (!partial_buffer(cl, *d, count * cells * sizeof(uint64_t), error)) return false;
  const cl_int use_double = arithmetic == tly_bbp_gpu_fp64_exact ? 1 : 0;
  const cl_ulong args_cells = cells, args_shift = shift, args_first = first, args_count = count;
  const cl_uint args_step = step, args_multiplier = multiplier, args_offset = offset;
  cl_int status = set_arguments(cl, d->term_cells, d->partial, use_double, args_cells, args_shift, args_first,
                                args_count, args_step, args_multiplier, args_offset);
  if (status != CL_SUCCESS) return fail(error, status, "clSetKernelArg");
  const size_t global = (count + group_size - 1) / group_size * group_size, local = group_size;
  status = cl.clEnqueueNDRangeKernel(d->queue, d->term_cells, 1, nullptr, &global, &local, 0, nullptr, nullptr);
  if (status != CL_SUCCESS) return fail(error, status, "clEnqueueNDRangeKernel");
  status = cl.clEnqueueReadBuffer(d->queue, d->partial, CL_TRUE, 0, count * cells * sizeof(uint64_t), cells_out, 0,
                                  nullptr, nullptr);
  if (status != CL_SUCCESS) return fail(error, status, "clEnqueueReadBuffer");
  if (error) *error = {};
  return true;
}
