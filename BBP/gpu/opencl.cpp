// The OpenCL backend: the ICD loader opened at run time, its devices, programs built once per device, blocks launched.
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "program_cache.h"
#include "runtime.h"

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
  X(clFinish) X(clCreateProgramWithBinary) X(clGetProgramInfo)
#define TLY_CL_POINTER(name) decltype(&::name) name = nullptr;
  TLY_CL_FUNCTIONS(TLY_CL_POINTER)
};

constexpr uint64_t group_size = tly_bbp_gpu_group_size;

bool fail(tly_bbp_gpu_error* error, int32_t code, const char* what) { return tly_bbp_gpu_fail(error, code, what); }

// NVIDIA's OpenCL tells where a device sits on the bus (cl_nv_device_attribute_query): how a
// device that CUDA reaches too is known.
constexpr cl_uint pci_bus_id_nv = 0x4008, pci_slot_id_nv = 0x4009, pci_domain_id_nv = 0x400A;

// A device's context, queue, program and kernels, made on first use and kept.
struct device_state {
  cl_platform_id platform = nullptr;
  cl_device_id id = nullptr;
  bool fp64 = false;  // the source then has its double-precision kernel
  bool tried = false;
  tly_bbp_gpu_error build_error{};
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel block[2] = {};
  cl_kernel term_cells = nullptr;
  cl_mem partial = nullptr;
  size_t partial_bytes = 0;
  uint64_t resident_groups = 1;
};

// A text property as a string, empty where the runtime does not tell it.
template <typename Info, typename Object>
std::string text_of(Info get, Object object, cl_uint what) {
  size_t size = 0;
  if (get(object, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
  std::string text(size, '\0');
  if (get(object, what, size, text.data(), nullptr) != CL_SUCCESS) return {};
  return std::string(text.c_str());
}

// A text property, cut to the field's size (version strings run long).
template <typename Info, typename Object, typename Field>
void get_text(Info get, Object object, cl_uint what, Field& field) {
  std::snprintf(field, sizeof field, "%s", text_of(get, object, what).c_str());
}

// No relaxed-math option: the exact double arithmetic needs IEEE division and no contraction.
constexpr const char* build_options = "-cl-std=CL1.2";

// What shapes a device's program: the source, the options, and the device with its platform
// and driver, each as the runtime names it.
tly_bbp_gpu_cache_key program_key(const opencl_api& cl, const device_state& d) {
  const std::string platform = text_of(cl.clGetPlatformInfo, d.platform, CL_PLATFORM_NAME),
                    platform_version = text_of(cl.clGetPlatformInfo, d.platform, CL_PLATFORM_VERSION),
                    name = text_of(cl.clGetDeviceInfo, d.id, CL_DEVICE_NAME),
                    vendor = text_of(cl.clGetDeviceInfo, d.id, CL_DEVICE_VENDOR),
                    version = text_of(cl.clGetDeviceInfo, d.id, CL_DEVICE_VERSION),
                    driver = text_of(cl.clGetDeviceInfo, d.id, CL_DRIVER_VERSION);
  return tly_bbp_gpu_program_key({"opencl", tly_bbp_gpu_kernel_source, build_options, platform, platform_version, name,
                                  vendor, version, driver});
}

cl_int create_kernels(const opencl_api& cl, device_state& d) {
  const char* names[] = {"tly_bbp_gpu_block_double", "tly_bbp_gpu_block_montgomery", "tly_bbp_gpu_term_cells"};
  cl_kernel* kernels[] = {&d.block[0], &d.block[1], &d.term_cells};
  cl_int status = CL_SUCCESS;
  for (int i = d.fp64 ? 0 : 1; i < 3 && status == CL_SUCCESS; ++i)
    *kernels[i] = cl.clCreateKernel(d.program, names[i], &status);
  return status;
}

void release_program(const opencl_api& cl, device_state& d) {
  for (cl_kernel* k : {&d.block[0], &d.block[1], &d.term_cells}) {
    if (*k) cl.clReleaseKernel(*k);
    *k = nullptr;
  }
  if (d.program) cl.clReleaseProgram(d.program);
  d.program = nullptr;
}

// The program from a cached binary, with its kernels; false (and nothing kept) where the
// driver refuses it, which a new driver may do with an old entry.
bool program_from_binary(const opencl_api& cl, device_state& d, const std::string& binary) {
  const size_t size = binary.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(binary.data());
  cl_int status = CL_SUCCESS, binary_status = CL_SUCCESS;
  d.program = cl.clCreateProgramWithBinary(d.context, 1, &d.id, &size, &bytes, &binary_status, &status);
  if (status != CL_SUCCESS) d.program = nullptr;
  const bool loaded = status == CL_SUCCESS && binary_status == CL_SUCCESS &&
                      cl.clBuildProgram(d.program, 1, &d.id, build_options, nullptr, nullptr) == CL_SUCCESS &&
                      create_kernels(cl, d) == CL_SUCCESS;
  if (!loaded) release_program(cl, d);
  return loaded;
}

// The built program's binary for the device, or empty where the driver gives none.
std::string program_binary(const opencl_api& cl, const device_state& d) {
  size_t size = 0;
  if (cl.clGetProgramInfo(d.program, CL_PROGRAM_BINARY_SIZES, sizeof size, &size, nullptr) != CL_SUCCESS || size == 0 ||
      size > tly_bbp_gpu_cache_most_bytes)
    return {};
  std::string binary(size, '\0');
  unsigned char* pointer = reinterpret_cast<unsigned char*>(binary.data());
  if (cl.clGetProgramInfo(d.program, CL_PROGRAM_BINARIES, sizeof pointer, &pointer, nullptr) != CL_SUCCESS) return {};
  return binary;
}

// The context, queue, program and kernels of a device, made on first use: the program from
// the disk cache where an intact entry is there and the driver takes it, else built from the
// source and stored. A failed build is remembered and reported again, never retried. Called
// with the device's lock held.
bool prepare(const opencl_api& cl, tly_bbp_gpu_program_store& programs, device_state& d, tly_bbp_gpu_error* error) {
  if (d.tried) {
    if (d.build_error.code != 0) {
      if (error) *error = d.build_error;
      return false;
    }
    return true;
  }
  d.tried = true;
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
  const std::string& directory = programs.directory;
  tly_bbp_gpu_cache_key key{};
  if (!directory.empty()) {
    key = program_key(cl, d);
    std::string binary;
    if (tly_bbp_gpu_cache_read(directory, key, &binary) && program_from_binary(cl, d, binary)) {
      ++programs.loaded_from_cache;
      return true;
    }
  }
  const char* source = tly_bbp_gpu_kernel_source;
  d.program = cl.clCreateProgramWithSource(d.context, 1, &source, nullptr, &status);
  if (status != CL_SUCCESS) return remember(status, "clCreateProgramWithSource");
  status = cl.clBuildProgram(d.program, 1, &d.id, build_options, nullptr, nullptr);
  if (status != CL_SUCCESS) {
    char log[160] = "";
    cl.clGetProgramBuildInfo(d.program, d.id, CL_PROGRAM_BUILD_LOG, sizeof log - 1, log, nullptr);
    log[sizeof log - 1] = '\0';
    std::string what = std::string("building the kernels: ") + log;
    std::replace(what.begin(), what.end(), '\n', ' ');
    return remember(status, what.c_str());
  }
  ++programs.built_from_source;
  if ((status = create_kernels(cl, d)) != CL_SUCCESS) return remember(status, "clCreateKernel");
  if (!directory.empty()) {
    const std::string binary = program_binary(cl, d);
    if (!binary.empty() && tly_bbp_gpu_cache_write(directory, key, binary)) ++programs.stored;
  }
  return true;
}

void release(const opencl_api& cl, device_state& d) {
  if (d.partial) cl.clReleaseMemObject(d.partial);
  release_program(cl, d);
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

class opencl_runtime final : public tly_bbp_gpu_runtime {
 public:
  opencl_api cl;
  std::vector<std::unique_ptr<device_state>> devices;

  // Every platform's devices, appended to `info`.
  void list_devices(std::vector<tly_bbp_gpu_device_info>& info) {
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
        d.backend = tly_bbp_gpu_opencl;
        d.platform = p;
        d.index = i;
        get_text(cl.clGetPlatformInfo, platforms[p], CL_PLATFORM_NAME, d.platform_name);
        get_text(cl.clGetDeviceInfo, ids[i], CL_DEVICE_NAME, d.name);
        get_text(cl.clGetDeviceInfo, ids[i], CL_DEVICE_VENDOR, d.vendor);
        get_text(cl.clGetDeviceInfo, ids[i], CL_DEVICE_VERSION, d.version);
        cl_device_type type = 0;
        cl_ulong memory = 0;
        cl_uint units = 0, clock = 0, bus = 0, slot = 0, domain = 0;
        cl_device_fp_config fp64 = 0;
        cl.clGetDeviceInfo(ids[i], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
        cl.clGetDeviceInfo(ids[i], CL_DEVICE_GLOBAL_MEM_SIZE, sizeof memory, &memory, nullptr);
        cl.clGetDeviceInfo(ids[i], CL_DEVICE_MAX_COMPUTE_UNITS, sizeof units, &units, nullptr);
        cl.clGetDeviceInfo(ids[i], CL_DEVICE_MAX_CLOCK_FREQUENCY, sizeof clock, &clock, nullptr);
        if (cl.clGetDeviceInfo(ids[i], CL_DEVICE_DOUBLE_FP_CONFIG, sizeof fp64, &fp64, nullptr) != CL_SUCCESS) fp64 = 0;
        if (cl.clGetDeviceInfo(ids[i], pci_bus_id_nv, sizeof bus, &bus, nullptr) == CL_SUCCESS &&
            cl.clGetDeviceInfo(ids[i], pci_slot_id_nv, sizeof slot, &slot, nullptr) == CL_SUCCESS) {
          if (cl.clGetDeviceInfo(ids[i], pci_domain_id_nv, sizeof domain, &domain, nullptr) != CL_SUCCESS) domain = 0;
          // The slot attribute is the device number (bits 3 and up of the device-function pair on some drivers).
          std::snprintf(d.pci_bus, sizeof d.pci_bus, "%04x:%02x:%02x", domain & 0xFFFF, bus & 0xFF,
                        (slot > 31 ? slot >> 3 : slot) & 0x1F);
        }
        d.is_gpu = (type & (CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_ACCELERATOR)) != 0;
        d.global_memory = memory;
        d.compute_units = units;
        d.clock_mhz = clock;
        d.fp64 = tly_bbp_gpu_fp64_by_name(d, fp64 != 0);
        d.arithmetic = d.fp64 == tly_bbp_gpu_fp64_full ? tly_bbp_gpu_fp64_exact : tly_bbp_gpu_montgomery64;
        info.push_back(d);
        auto state = std::make_unique<device_state>();
        state->platform = platforms[p];
        state->id = ids[i];
        state->fp64 = d.fp64 != tly_bbp_gpu_fp64_none;
        state->resident_groups = uint64_t{std::max<cl_uint>(units, 1)} * (d.is_gpu ? 16 : 1);
        devices.push_back(std::move(state));
      }
    }
  }

  ~opencl_runtime() override {
    for (auto& d : devices) release(cl, *d);
    // The loader stays mapped: ICDs register exit handlers that would run from unmapped code.
  }

  uint64_t resident_groups(int device) override { return devices[device]->resident_groups; }

  bool launch_block(int device, const tly_bbp_gpu_launch& l, int64_t* partial, tly_bbp_gpu_error* error) override {
    device_state& d = *devices[device];
    if (!prepare(cl, programs, d, error)) return false;
    const size_t bytes = l.groups * l.cells * sizeof(int64_t);
    if (!partial_buffer(cl, d, bytes, error)) return false;
    cl_kernel kernel = d.block[l.arithmetic == tly_bbp_gpu_fp64_exact ? 0 : 1];
    const cl_ulong args_cells = l.cells, args_shift = l.shift, args_first = l.first, args_count = l.count,
                   args_per_group = l.terms_per_group;
    const cl_int args_alternating = l.alternating;
    const cl_uint args_step = l.step, args_multiplier = l.multiplier, args_offset = l.offset;
    cl_int status = set_arguments(cl, kernel, d.partial, args_cells, args_alternating, args_shift, args_first,
                                  args_count, args_per_group, args_step, args_multiplier, args_offset);
    if (status != CL_SUCCESS) return fail(error, status, "clSetKernelArg");
    const size_t global = l.groups * group_size, local = group_size;
    status = cl.clEnqueueNDRangeKernel(d.queue, kernel, 1, nullptr, &global, &local, 0, nullptr, nullptr);
    if (status != CL_SUCCESS) return fail(error, status, "clEnqueueNDRangeKernel");
    status = cl.clEnqueueReadBuffer(d.queue, d.partial, CL_TRUE, 0, bytes, partial, 0, nullptr, nullptr);
    if (status != CL_SUCCESS) return fail(error, status, "clEnqueueReadBuffer");
    return true;
  }

  bool term_cells(int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t* cells_out, uint64_t cells, uint64_t shift,
                  uint64_t first, uint64_t count, uint32_t step, uint32_t multiplier, uint32_t offset,
                  tly_bbp_gpu_error* error) override {
    device_state& d = *devices[device];
    if (!prepare(cl, programs, d, error)) return false;
    if (!partial_buffer(cl, d, count * cells * sizeof(uint64_t), error)) return false;
    const cl_int use_double = arithmetic == tly_bbp_gpu_fp64_exact ? 1 : 0;
    const cl_ulong args_cells = cells, args_shift = shift, args_first = first, args_count = count;
    const cl_uint args_step = step, args_multiplier = multiplier, args_offset = offset;
    cl_int status = set_arguments(cl, d.term_cells, d.partial, use_double, args_cells, args_shift, args_first,
                                  args_count, args_step, args_multiplier, args_offset);
    if (status != CL_SUCCESS) return fail(error, status, "clSetKernelArg");
    const size_t global = (count + group_size - 1) / group_size * group_size, local = group_size;
    status = cl.clEnqueueNDRangeKernel(d.queue, d.term_cells, 1, nullptr, &global, &local, 0, nullptr, nullptr);
    if (status != CL_SUCCESS) return fail(error, status, "clEnqueueNDRangeKernel");
    status = cl.clEnqueueReadBuffer(d.queue, d.partial, CL_TRUE, 0, count * cells * sizeof(uint64_t), cells_out, 0,
                                    nullptr, nullptr);
    if (status != CL_SUCCESS) return fail(error, status, "clEnqueueReadBuffer");
    return true;
  }
};

}  // namespace

std::unique_ptr<tly_bbp_gpu_runtime> tly_bbp_gpu_open_opencl(std::vector<tly_bbp_gpu_device_info>& devices,
                                                             tly_bbp_gpu_error* error) {
  void* library = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) library = dlopen("libOpenCL.so", RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    fail(error, tly_bbp_gpu_refused, "no OpenCL loader (libOpenCL.so.1)");
    return nullptr;
  }
  auto runtime = std::make_unique<opencl_runtime>();
  runtime->cl.library = library;
  bool complete = true;
#define TLY_CL_LOOKUP(name)                                                          \
  runtime->cl.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  complete = complete && runtime->cl.name != nullptr;
  TLY_CL_FUNCTIONS(TLY_CL_LOOKUP)
  if (!complete) {
    dlclose(library);
    fail(error, tly_bbp_gpu_refused, "the OpenCL loader lacks OpenCL 1.2 functions");
    return nullptr;
  }
  runtime->list_devices(devices);
  return runtime;
}
