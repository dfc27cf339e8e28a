// A CUDA driver for tests on machines without a GPU: one device, the kernels run on the host from their C++ form.
//
// Built as libcuda.so.1 and opened by the test before the library opens "libcuda.so.1", so that
// the CUDA backend's own code (listing, NVRTC compilation, module loading, argument passing,
// launches and copies) runs here. The kernels' work is the source's functions compiled as C++.
// A device failing mid-run, for the program's tests: TLY_FAKE_CUDA_FAIL_AFTER=N fails every
// launch after the first N with TLY_FAKE_CUDA_FAIL_CODE (719, CUDA_ERROR_LAUNCH_FAILED, if
// unset), as a driver's sticky errors do.
#include <cuda.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/kernels/terms.cl"

namespace {

enum kernel_id { block_double = 1, block_montgomery, term_cells };
int fake_module = 0;
std::atomic<long> launches{0};

// The error the next launch returns: CUDA_SUCCESS while the environment asks for no failure.
CUresult launch_failure() {
  static const char* const after = std::getenv("TLY_FAKE_CUDA_FAIL_AFTER");
  static const char* const code = std::getenv("TLY_FAKE_CUDA_FAIL_CODE");
  if (!after || launches++ < std::atol(after)) return CUDA_SUCCESS;
  return code ? static_cast<CUresult>(std::atoi(code)) : CUDA_ERROR_LAUNCH_FAILED;
}

template <typename T>
T argument(void** arguments, int i) {
  T value;
  std::memcpy(&value, arguments[i], sizeof value);
  return value;
}

// The block kernels' groups, term by term, as the work-items and the group's sums leave them.
void run_block(int use_double, void** a, unsigned groups) {
  auto* partial = reinterpret_cast<tly_i64*>(argument<CUdeviceptr>(a, 0));
  const tly_u64 cells = argument<tly_u64>(a, 1), shift = argument<tly_u64>(a, 3), first = argument<tly_u64>(a, 4),
                count = argument<tly_u64>(a, 5), per_group = argument<tly_u64>(a, 6);
  const int alternating = argument<int>(a, 2);
  const tly_u32 step = argument<tly_u32>(a, 7), multiplier = argument<tly_u32>(a, 8), offset = argument<tly_u32>(a, 9);
  for (tly_u64 g = 0; g < groups; ++g) {
    std::vector<tly_i64> sums(cells, 0);
    const tly_u64 begin = g * per_group, end = begin + per_group < count ? begin + per_group : count;
    for (tly_u64 i = begin; i < end; ++i) {
      tly_term t = tly_term_setup(use_double, cells, shift, first + i, step, multiplier, offset);
      for (tly_u64 c = cells; c-- > 0;) {
        const auto d = static_cast<tly_i64>(tly_term_digit(&t, use_double, c));
        sums[c] += alternating && (i & 1) ? -d : d;
      }
    }
    for (tly_u64 c = 0; c < cells; ++c) partial[g * cells + c] = sums[c];
  }
}

void run_term_cells(void** a, unsigned groups, unsigned threads) {
  auto* out = reinterpret_cast<tly_u64*>(argument<CUdeviceptr>(a, 0));
  const int use_double = argument<int>(a, 1);
  const tly_u64 cells = argument<tly_u64>(a, 2), shift = argument<tly_u64>(a, 3), first = argument<tly_u64>(a, 4),
                count = argument<tly_u64>(a, 5);
  const tly_u32 step = argument<tly_u32>(a, 6), multiplier = argument<tly_u32>(a, 7), offset = argument<tly_u32>(a, 8);
  for (tly_u64 i = 0; i < tly_u64{groups} * threads && i < count; ++i) {
    tly_term t = tly_term_setup(use_double, cells, shift, first + i, step, multiplier, offset);
    for (tly_u64 c = cells; c-- > 0;) out[i * cells + c] = tly_term_digit(&t, use_double, c);
  }
}

}  // namespace

extern "C" {

CUresult cuInit(unsigned) { return CUDA_SUCCESS; }
CUresult cuDriverGetVersion(int* version) { return *version = 13000, CUDA_SUCCESS; }
CUresult cuDeviceGetCount(int* count) { return *count = 1, CUDA_SUCCESS; }
CUresult cuDeviceGet(CUdevice* device, int ordinal) {
  return ordinal == 0 ? (*device = 0, CUDA_SUCCESS) : CUDA_ERROR_INVALID_DEVICE;
}
CUresult cuDeviceGetName(char* name, int length, CUdevice) {
  std::strncpy(name, "Fake H100 of the tests", static_cast<size_t>(length));
  name[length - 1] = '\0';
  return CUDA_SUCCESS;
}
CUresult cuDeviceGetAttribute(int* value, CUdevice_attribute what, CUdevice) {
  switch (what) {
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR: *value = 9; break;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR: *value = 0; break;
    case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT: *value = 2; break;
    case CU_DEVICE_ATTRIBUTE_PCI_BUS_ID: *value = 0x41; break;
    default: *value = 0;
  }
  return CUDA_SUCCESS;
}
CUresult cuDeviceTotalMem_v2(size_t* bytes, CUdevice) { return *bytes = size_t{80} << 30, CUDA_SUCCESS; }
CUresult cuDevicePrimaryCtxRetain(CUcontext* context, CUdevice) {
  return *context = reinterpret_cast<CUcontext>(&fake_module), CUDA_SUCCESS;
}
CUresult cuDevicePrimaryCtxRelease_v2(CUdevice) { return CUDA_SUCCESS; }
CUresult cuCtxSetCurrent(CUcontext) { return CUDA_SUCCESS; }
// NVRTC's output for sm_90 is a cubin: an ELF image.
CUresult cuModuleLoadData(CUmodule* module, const void* image) {
  if (std::memcmp(image, "\x7f" "ELF", 4) != 0) return CUDA_ERROR_INVALID_IMAGE;
  return *module = reinterpret_cast<CUmodule>(&fake_module), CUDA_SUCCESS;
}
CUresult cuModuleUnload(CUmodule) { return CUDA_SUCCESS; }
CUresult cuModuleGetFunction(CUfunction* function, CUmodule, const char* name) {
  const std::string n = name;
  const long id = n == "tly_bbp_gpu_block_double"       ? block_double
                  : n == "tly_bbp_gpu_block_montgomery" ? block_montgomery
                  : n == "tly_bbp_gpu_term_cells"       ? term_cells
                                                        : 0;
  if (id == 0) return CUDA_ERROR_NOT_FOUND;
  return *function = reinterpret_cast<CUfunction>(id), CUDA_SUCCESS;
}
CUresult cuOccupancyMaxActiveBlocksPerMultiprocessor(int* blocks, CUfunction, int, size_t) {
  return *blocks = 3, CUDA_SUCCESS;
}
CUresult cuMemAlloc_v2(CUdeviceptr* pointer, size_t bytes) {
  void* memory = std::malloc(bytes);
  if (!memory) return CUDA_ERROR_OUT_OF_MEMORY;
  return *pointer = reinterpret_cast<CUdeviceptr>(memory), CUDA_SUCCESS;
}
CUresult cuMemFree_v2(CUdeviceptr pointer) { return std::free(reinterpret_cast<void*>(pointer)), CUDA_SUCCESS; }
CUresult cuMemcpyDtoH_v2(void* out, CUdeviceptr from, size_t bytes) {
  return std::memcpy(out, reinterpret_cast<const void*>(from), bytes), CUDA_SUCCESS;
}
CUresult cuLaunchKernel(CUfunction function, unsigned grid_x, unsigned grid_y, unsigned grid_z, unsigned block_x,
                        unsigned block_y, unsigned block_z, unsigned, CUstream, void** arguments, void** extra) {
  if (grid_y != 1 || grid_z != 1 || block_x != TLY_GROUP_SIZE || block_y != 1 || block_z != 1 || extra)
    return CUDA_ERROR_INVALID_VALUE;
  if (const CUresult failure = launch_failure()) return failure;
  const long id = reinterpret_cast<long>(function);
  if (id == term_cells)
    run_term_cells(arguments, grid_x, block_x);
  else
    run_block(id == block_double ? 1 : 0, arguments, grid_x);
  return CUDA_SUCCESS;
}
// NVRTC asks a driver in the process for its private tables: this one has none.
CUresult cuGetExportTable(const void** table, const CUuuid*) { return *table = nullptr, CUDA_ERROR_NOT_SUPPORTED; }
CUresult cuGetErrorName(CUresult code, const char** name) {
  *name = code == CUDA_ERROR_LAUNCH_FAILED    ? "CUDA_ERROR_LAUNCH_FAILED"
          : code == CUDA_ERROR_ILLEGAL_ADDRESS ? "CUDA_ERROR_ILLEGAL_ADDRESS"
                                               : "CUDA_ERROR_FAKE";
  return CUDA_SUCCESS;
}

}  // extern "C"
