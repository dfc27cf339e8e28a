// The CUDA backend: the driver and NVRTC opened at run time, the kernels compiled once per architecture, launched through the driver API.
#include <cuda.h>
#include <dlfcn.h>
#include <nvrtc.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "program_cache.h"
#include "runtime.h"

namespace {

// The entry points used, looked up by their exported names (the _v2 ones where cuda.h renames
// them): the program never links CUDA, so it runs where no driver is installed.
#define TLY_CU_FUNCTIONS(X)                                                                                     \
  X(cuInit) X(cuDriverGetVersion) X(cuDeviceGetCount) X(cuDeviceGet) X(cuDeviceGetName) X(cuDeviceGetAttribute) \
  X(cuDeviceTotalMem_v2) X(cuDevicePrimaryCtxRetain) X(cuDevicePrimaryCtxRelease_v2) X(cuCtxSetCurrent)          \
  X(cuModuleLoadData) X(cuModuleUnload) X(cuModuleGetFunction) X(cuOccupancyMaxActiveBlocksPerMultiprocessor)  \
  X(cuMemAlloc_v2) X(cuMemFree_v2) X(cuMemcpyDtoH_v2) X(cuLaunchKernel) X(cuGetErrorName)
#define TLY_NVRTC_FUNCTIONS(X)                                                                             \
  X(nvrtcVersion) X(nvrtcGetNumSupportedArchs) X(nvrtcGetSupportedArchs) X(nvrtcCreateProgram)             \
  X(nvrtcCompileProgram) X(nvrtcGetProgramLogSize) X(nvrtcGetProgramLog) X(nvrtcGetCUBINSize) X(nvrtcGetCUBIN) \
  X(nvrtcGetPTXSize) X(nvrtcGetPTX) X(nvrtcDestroyProgram)
#define TLY_CU_POINTER(name) decltype(&::name) name = nullptr;

struct cuda_api {
  void* driver = nullptr;
  void* nvrtc = nullptr;
  TLY_CU_FUNCTIONS(TLY_CU_POINTER)
  TLY_NVRTC_FUNCTIONS(TLY_CU_POINTER)
};

template <typename Function>
bool look_up(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

// A driver call's failure, named as the driver names its codes.
bool fail_cu(const cuda_api& cu, tly_bbp_gpu_error* error, CUresult code, const char* what) {
  const char* name = nullptr;
  if (cu.cuGetErrorName(code, &name) != CUDA_SUCCESS || !name) name = "unknown";
  tly_bbp_gpu_fail(error, static_cast<int32_t>(code), what, "CUDA");
  if (error) {
    const std::string message = std::string(error->message, std::strlen(error->message) - 1) + ": " + name + ")";
    std::snprintf(error->message, sizeof error->message, "%s", message.c_str());
  }
  return false;
}

// A device's context (the driver's primary one), module, kernels and result buffer.
struct device_state {
  CUdevice device = 0;
  int architecture = 0;  // compute capability as 10*major + minor
  bool tried = false;
  tly_bbp_gpu_error build_error{};
  CUcontext context = nullptr;
  CUmodule module = nullptr;
  CUfunction block[2] = {};
  CUfunction term_cells = nullptr;
  CUdeviceptr partial = 0;
  size_t partial_bytes = 0;
  uint64_t multiprocessors = 1, resident_groups = 0;
};

}  // namespace

// From Ampere on, 40 registers a thread (none spilled): then a work-group's 9 KiB of shared
// memory, not its registers, bounds the groups in flight (24 a multiprocessor on Hopper, 17 on
// Ampere), and the power loops' dependent chains have the most warps to hide their latency.
// A higher cap only lowers that count; older architectures, bounded by their smaller shared
// memory anyway, keep NVRTC's own choice. Contraction stays off: the exact double
// arithmetic's quotient estimates need each product rounded.
std::vector<std::string> tly_bbp_gpu_nvrtc_options(int architecture, bool binary) {
  std::vector<std::string> options = {
      std::string("--gpu-architecture=") + (binary ? "sm_" : "compute_") + std::to_string(architecture),
      "--fmad=false"};
  if (architecture >= 80) options.push_back("--maxrregcount=40");
  return options;
}

namespace {

class cuda_runtime final : public tly_bbp_gpu_runtime {
 public:
  cuda_api cu;
  std::vector<std::unique_ptr<device_state>> devices;
  std::map<int, std::string> images;  // compiled kernels by architecture, shared by like devices
  std::set<int> cached;               // the architectures whose image came from the disk cache
  std::mutex images_lock;             // devices are prepared on their own threads

  ~cuda_runtime() override {
    for (auto& d : devices) {
      if (!d->context) continue;
      cu.cuCtxSetCurrent(d->context);
      if (d->partial) cu.cuMemFree_v2(d->partial);
      if (d->module) cu.cuModuleUnload(d->module);
      cu.cuDevicePrimaryCtxRelease_v2(d->device);
    }
    // The libraries stay mapped: the driver keeps threads that would run from unmapped code.
  }

  // What shapes a device architecture's image besides NVRTC's options: the source, NVRTC's
  // version and the driver's, which finishes PTX and may refuse an older cubin.
  tly_bbp_gpu_cache_key image_key(int architecture, const std::vector<std::string>& options) {
    int major = 0, minor = 0, driver = 0;
    if (cu.nvrtcVersion(&major, &minor) != NVRTC_SUCCESS) major = minor = -1;
    if (cu.cuDriverGetVersion(&driver) != CUDA_SUCCESS) driver = -1;
    std::string joined;
    for (const auto& o : options) joined += o + '\n';
    const std::string nvrtc = std::to_string(major) + "." + std::to_string(minor), driven = std::to_string(driver);
    return tly_bbp_gpu_program_key(
        {"cuda", tly_bbp_gpu_kernel_source, joined, std::to_string(architecture), nvrtc, driven});
  }

  // The kernels for an architecture: a binary where NVRTC knows it, else PTX for the newest
  // architecture below it that NVRTC knows, for the driver to finish; from the disk cache where
  // `use_cache` and an intact entry is there. Called with images_lock held.
  bool compile(int architecture, bool use_cache, tly_bbp_gpu_error* error) {
    if (images.count(architecture)) return true;
    int count = 0;
    std::vector<int> known;
    if (cu.nvrtcGetNumSupportedArchs(&count) == NVRTC_SUCCESS && count > 0) {
      known.resize(count);
      if (cu.nvrtcGetSupportedArchs(known.data()) != NVRTC_SUCCESS) known.clear();
    }
    int target = architecture;
    const bool binary = known.empty() || std::find(known.begin(), known.end(), architecture) != known.end();
    if (!binary) {
      target = 0;
      for (int a : known)
        if (a < architecture) target = std::max(target, a);
      if (target == 0)
        return tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "NVRTC knows no architecture this device runs");
    }
    const std::vector<std::string> options = tly_bbp_gpu_nvrtc_options(target, binary);
    const std::string& directory = programs.directory;
    tly_bbp_gpu_cache_key key{};
    if (!directory.empty()) {
      key = image_key(architecture, options);
      std::string image;
      if (use_cache && tly_bbp_gpu_cache_read(directory, key, &image)) {
        images[architecture] = std::move(image);
        cached.insert(architecture);
        return true;
      }
    }
    std::vector<const char*> pointers;
    for (const auto& o : options) pointers.push_back(o.c_str());
    nvrtcProgram program = nullptr;
    nvrtcResult status = cu.nvrtcCreateProgram(&program, tly_bbp_gpu_kernel_source, "terms.cu", 0, nullptr, nullptr);
    if (status != NVRTC_SUCCESS) return tly_bbp_gpu_fail(error, status, "nvrtcCreateProgram", "NVRTC");
    status = cu.nvrtcCompileProgram(program, static_cast<int>(pointers.size()), pointers.data());
    if (status != NVRTC_SUCCESS) {
      size_t size = 0;
      std::string log;
      if (cu.nvrtcGetProgramLogSize(program, &size) == NVRTC_SUCCESS && size > 1) {
        log.resize(size);
        if (cu.nvrtcGetProgramLog(program, log.data()) != NVRTC_SUCCESS) log.clear();
      }
      cu.nvrtcDestroyProgram(&program);
      std::replace(log.begin(), log.end(), '\n', ' ');
      return tly_bbp_gpu_fail(error, status, ("compiling the kernels with NVRTC: " + log.substr(0, 160)).c_str(),
                              "NVRTC");
    }
    size_t size = 0;
    std::string image;
    status = binary ? cu.nvrtcGetCUBINSize(program, &size) : cu.nvrtcGetPTXSize(program, &size);
    if (status == NVRTC_SUCCESS) {
      image.resize(size);
      status = binary ? cu.nvrtcGetCUBIN(program, image.data()) : cu.nvrtcGetPTX(program, image.data());
    }
    cu.nvrtcDestroyProgram(&program);
    if (status != NVRTC_SUCCESS) return tly_bbp_gpu_fail(error, status, "fetching NVRTC's output", "NVRTC");
    ++programs.built_from_source;
    if (!directory.empty() && tly_bbp_gpu_cache_write(directory, key, image)) ++programs.stored;
    images[architecture] = std::move(image);
    return true;
  }

  // The device's module from its architecture's image; one from the cache that the driver
  // refuses (a newer driver, a damaged entry) is compiled again and replaced.
  CUresult load_module(device_state& d, tly_bbp_gpu_error* error) {
    std::lock_guard<std::mutex> hold(images_lock);
    if (!compile(d.architecture, true, error)) return CUDA_ERROR_INVALID_SOURCE;
    CUresult status = cu.cuModuleLoadData(&d.module, images[d.architecture].data());
    const bool from_cache = cached.count(d.architecture) != 0;
    if (status != CUDA_SUCCESS && from_cache) {
      images.erase(d.architecture);
      cached.erase(d.architecture);
      if (!compile(d.architecture, false, error)) return CUDA_ERROR_INVALID_SOURCE;
      status = cu.cuModuleLoadData(&d.module, images[d.architecture].data());
    } else if (status == CUDA_SUCCESS && from_cache) {
      ++programs.loaded_from_cache;
      cached.erase(d.architecture);  // taken by the driver: like devices load it as their own
    }
    if (status != CUDA_SUCCESS) fail_cu(cu, error, status, "cuModuleLoadData");
    return status;
  }

  // The context, module and kernels of a device, made on first use; a failure is remembered and
  // reported again, never retried. Leaves the device's context current on the calling thread.
  bool prepare(device_state& d, tly_bbp_gpu_error* error) {
    if (d.tried) {
      if (d.build_error.code != 0) {
        if (error) *error = d.build_error;
        return false;
      }
      const CUresult status = cu.cuCtxSetCurrent(d.context);
      return status == CUDA_SUCCESS || fail_cu(cu, error, status, "cuCtxSetCurrent");
    }
    d.tried = true;
    auto remember = [&](bool ok) {
      if (!ok && error) d.build_error = *error;
      if (!ok && d.build_error.code == 0) d.build_error = {tly_bbp_gpu_refused, "the device could not be prepared"};
      return ok;
    };
    CUresult status = cu.cuDevicePrimaryCtxRetain(&d.context, d.device);
    if (status != CUDA_SUCCESS) {
      d.context = nullptr;
      return remember(fail_cu(cu, error, status, "cuDevicePrimaryCtxRetain"));
    }
    if ((status = cu.cuCtxSetCurrent(d.context)) != CUDA_SUCCESS)
      return remember(fail_cu(cu, error, status, "cuCtxSetCurrent"));
    if (load_module(d, error) != CUDA_SUCCESS) return remember(false);
    const char* names[] = {"tly_bbp_gpu_block_double", "tly_bbp_gpu_block_montgomery", "tly_bbp_gpu_term_cells"};
    CUfunction* functions[] = {&d.block[0], &d.block[1], &d.term_cells};
    for (int i = 0; i < 3; ++i)
      if ((status = cu.cuModuleGetFunction(functions[i], d.module, names[i])) != CUDA_SUCCESS)
        return remember(fail_cu(cu, error, status, "cuModuleGetFunction"));
    // Blocks in flight: the slower kernel's occupancy (the Montgomery one, the larger).
    int blocks = 0;
    if (cu.cuOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, d.block[1], int{tly_bbp_gpu_group_size}, 0) !=
            CUDA_SUCCESS ||
        blocks < 1)
      blocks = 8;
    d.resident_groups = d.multiprocessors * static_cast<uint64_t>(blocks);
    return true;
  }

  bool partial_buffer(device_state& d, size_t bytes, tly_bbp_gpu_error* error) {
    if (d.partial_bytes >= bytes) return true;
    if (d.partial) cu.cuMemFree_v2(d.partial);
    d.partial = 0;
    d.partial_bytes = 0;
    const CUresult status = cu.cuMemAlloc_v2(&d.partial, bytes);
    if (status != CUDA_SUCCESS) return fail_cu(cu, error, status, "cuMemAlloc");
    d.partial_bytes = bytes;
    return true;
  }

  // Runs `function` on `groups` blocks of the kernels' group size and copies `bytes` of results back.
  bool run(device_state& d, CUfunction function, uint64_t groups, void** arguments, void* out, size_t bytes,
           tly_bbp_gpu_error* error) {
    CUresult status = cu.cuLaunchKernel(function, static_cast<unsigned>(groups), 1, 1,
                                        static_cast<unsigned>(tly_bbp_gpu_group_size), 1, 1, 0, nullptr, arguments,
                                        nullptr);
    if (status != CUDA_SUCCESS) return fail_cu(cu, error, status, "cuLaunchKernel");
    // Synchronous on the default stream: waits for the kernel, and reports its faults.
    status = cu.cuMemcpyDtoH_v2(out, d.partial, bytes);
    if (status != CUDA_SUCCESS) return fail_cu(cu, error, status, "cuMemcpyDtoH (the kernel or the copy)");
    return true;
  }

  uint64_t resident_groups(int device) override {
    device_state& d = *devices[device];
    tly_bbp_gpu_error ignored{};  // a failure is reported by the launch that follows
    if (!prepare(d, &ignored)) return d.multiprocessors * 16;
    return d.resident_groups;
  }

  bool launch_block(int device, const tly_bbp_gpu_launch& l, int64_t* partial, tly_bbp_gpu_error* error) override {
    device_state& d = *devices[device];
    if (!prepare(d, error)) return false;
    const size_t bytes = l.groups * l.cells * sizeof(int64_t);
    if (l.groups > 0x7FFFFFFF) return tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "too many groups for one launch");
    if (!partial_buffer(d, bytes, error)) return false;
    // The kernels' parameter types: pointer, u64, int, u64 x4, u32 x3.
    unsigned long long cells = l.cells, shift = l.shift, first = l.first, count = l.count,
                       per_group = l.terms_per_group;
    int alternating = l.alternating;
    unsigned step = l.step, multiplier = l.multiplier, offset = l.offset;
    void* arguments[] = {&d.partial, &cells, &alternating, &shift, &first, &count, &per_group,
                         &step,      &multiplier, &offset};
    return run(d, d.block[l.arithmetic == tly_bbp_gpu_fp64_exact ? 0 : 1], l.groups, arguments, partial, bytes, error);
  }

  bool term_cells(int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t* cells_out, uint64_t cells_wanted,
                  uint64_t shift_wanted, uint64_t first_wanted, uint64_t count_wanted, uint32_t step_wanted,
                  uint32_t multiplier_wanted, uint32_t offset_wanted, tly_bbp_gpu_error* error) override {
    device_state& d = *devices[device];
    if (!prepare(d, error)) return false;
    const size_t bytes = count_wanted * cells_wanted * sizeof(uint64_t);
    const uint64_t groups = (count_wanted + tly_bbp_gpu_group_size - 1) / tly_bbp_gpu_group_size;
    if (groups > 0x7FFFFFFF) return tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "too many terms for one launch");
    if (!partial_buffer(d, bytes, error)) return false;
    int use_double = arithmetic == tly_bbp_gpu_fp64_exact ? 1 : 0;
    unsigned long long cells = cells_wanted, shift = shift_wanted, first = first_wanted, count = count_wanted;
    unsigned step = step_wanted, multiplier = multiplier_wanted, offset = offset_wanted;
    void* arguments[] = {&d.partial, &use_double, &cells, &shift, &first, &count, &step, &multiplier, &offset};
    return run(d, d.term_cells, groups, arguments, cells_out, bytes, error);
  }

  // Every device the driver sees, appended to `info`.
  bool list_devices(std::vector<tly_bbp_gpu_device_info>& info, tly_bbp_gpu_error* error) {
    int count = 0;
    CUresult status = cu.cuDeviceGetCount(&count);
    if (status != CUDA_SUCCESS) return fail_cu(cu, error, status, "cuDeviceGetCount");
    for (int i = 0; i < count; ++i) {
      auto state = std::make_unique<device_state>();
      if ((status = cu.cuDeviceGet(&state->device, i)) != CUDA_SUCCESS) return fail_cu(cu, error, status, "cuDeviceGet");
      auto attribute = [&](CUdevice_attribute what) {
        int value = 0;
        return cu.cuDeviceGetAttribute(&value, what, state->device) == CUDA_SUCCESS ? value : 0;
      };
      tly_bbp_gpu_device_info d{};
      d.backend = tly_bbp_gpu_cuda;
      d.index = static_cast<uint32_t>(i);
      std::snprintf(d.platform_name, sizeof d.platform_name, "CUDA");
      std::snprintf(d.vendor, sizeof d.vendor, "NVIDIA Corporation");
      if (cu.cuDeviceGetName(d.name, sizeof d.name, state->device) != CUDA_SUCCESS) d.name[0] = '\0';
      const int major = attribute(CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR);
      const int minor = attribute(CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR);
      state->architecture = 10 * major + minor;
      std::snprintf(d.version, sizeof d.version, "compute capability %d.%d", major, minor);
      std::snprintf(d.pci_bus, sizeof d.pci_bus, "%04x:%02x:%02x", attribute(CU_DEVICE_ATTRIBUTE_PCI_DOMAIN_ID) & 0xFFFF,
                    attribute(CU_DEVICE_ATTRIBUTE_PCI_BUS_ID) & 0xFF, attribute(CU_DEVICE_ATTRIBUTE_PCI_DEVICE_ID) & 0x1F);
      size_t memory = 0;
      if (cu.cuDeviceTotalMem_v2(&memory, state->device) != CUDA_SUCCESS) memory = 0;
      d.is_gpu = true;
      d.global_memory = memory;
      d.compute_units = static_cast<uint32_t>(attribute(CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT));
      d.clock_mhz = static_cast<uint32_t>(attribute(CU_DEVICE_ATTRIBUTE_CLOCK_RATE) / 1000);
      // The x.0 architectures from Pascal to Blackwell's data-center parts run FP64 at half the
      // single rate; the rest (consumer parts, 12.0 among them) at 1/32 to 1/64.
      const bool computing = minor == 0 && major >= 6 && major <= 10;
      d.fp64 = computing ? tly_bbp_gpu_fp64_full : tly_bbp_gpu_fp64_by_name(d, true);
      d.arithmetic = d.fp64 == tly_bbp_gpu_fp64_full ? tly_bbp_gpu_fp64_exact : tly_bbp_gpu_montgomery64;
      state->multiprocessors = std::max<uint64_t>(d.compute_units, 1);
      info.push_back(d);
      devices.push_back(std::move(state));
    }
    return true;
  }
};

void* open_first(std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL)) return library;
  return nullptr;
}

}  // namespace

std::unique_ptr<tly_bbp_gpu_runtime> tly_bbp_gpu_open_cuda(std::vector<tly_bbp_gpu_device_info>& devices,
                                                           tly_bbp_gpu_error* error) {
  auto runtime = std::make_unique<cuda_runtime>();
  cuda_api& cu = runtime->cu;
  cu.driver = open_first({"libcuda.so.1"});
  if (!cu.driver) {
    tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "no CUDA driver (libcuda.so.1)");
    return nullptr;
  }
  bool complete = true;
#define TLY_CU_LOOKUP(name) complete = look_up(cu.driver, #name, cu.name) && complete;
  TLY_CU_FUNCTIONS(TLY_CU_LOOKUP)
  if (!complete) {
    tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "the CUDA driver is older than CUDA 11");
    return nullptr;
  }
  // NVRTC from the library path, else from the toolkit's usual place.
  cu.nvrtc = open_first({"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so", "/usr/local/cuda/lib64/libnvrtc.so.13",
                         "/usr/local/cuda/lib64/libnvrtc.so.12", "/usr/local/cuda/lib64/libnvrtc.so"});
  if (!cu.nvrtc) {
    tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "a CUDA driver but no NVRTC (libnvrtc.so.13 or .12)");
    return nullptr;
  }
#define TLY_NVRTC_LOOKUP(name) complete = look_up(cu.nvrtc, #name, cu.name) && complete;
  TLY_NVRTC_FUNCTIONS(TLY_NVRTC_LOOKUP)
  if (!complete) {
    tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "NVRTC lacks functions of CUDA 11.2");
    return nullptr;
  }
  const CUresult status = cu.cuInit(0);
  if (status == CUDA_ERROR_NO_DEVICE) {
    tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "no NVIDIA GPU (the CUDA driver finds none)");
    return nullptr;
  }
  if (status != CUDA_SUCCESS) {
    fail_cu(cu, error, status, "cuInit");
    return nullptr;
  }
  if (!runtime->list_devices(devices, error)) return nullptr;
  return runtime;
}
