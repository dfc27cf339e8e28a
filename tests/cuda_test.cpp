// The CUDA backend on the tests' stand-in driver: listing, NVRTC compilation, launches and results against PoCL.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/device_list.h"
#include "gpu.h"
#include "opencl_device.h"
#include "program_cache.h"
#include "run_program.h"

namespace {

// The stand-in driver, opened before the library looks for "libcuda.so.1": the loader then
// hands back this one, by its soname. NVRTC is the real one, where it is found.
struct cuda_under_test {
  bool driver = false, nvrtc = false;
  int device = -1;
  cuda_under_test() {
    driver = dlopen(TLY_BBP_FAKE_CUDA_DRIVER, RTLD_NOW | RTLD_GLOBAL) != nullptr;
    for (const char* name : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so", "/usr/local/cuda/lib64/libnvrtc.so.13",
                             "/usr/local/cuda/lib64/libnvrtc.so.12", "/usr/local/cuda/lib64/libnvrtc.so"})
      if (dlopen(name, RTLD_NOW | RTLD_LOCAL)) nvrtc = true;
    device = tly_bbp_gpu_find_device(opencl().gpu, "cuda:0");
  }
};

const cuda_under_test& cuda() {
  static const cuda_under_test c;
  return c;
}

#define NEED_CUDA()                                                                  \
  do {                                                                               \
    cuda(); /* the stand-in first: opencl() opens every runtime */                   \
    NEED_DEVICE();                                                                   \
    ASSERT_TRUE(cuda().driver) << dlerror();                                         \
    if (!cuda().nvrtc) GTEST_SKIP() << "no NVRTC (libnvrtc.so) found";              \
    ASSERT_GE(cuda().device, 0) << tly_bbp_gpu_backend_status(opencl().gpu, tly_bbp_gpu_cuda); \
  } while (0)

TEST(Cuda, ListsTheDeviceBesideOpenCl) {
  NEED_CUDA();
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(opencl().gpu, cuda().device);
  EXPECT_EQ(d.backend, tly_bbp_gpu_cuda);
  EXPECT_STREQ(d.name, "Fake H100 of the tests");
  EXPECT_STREQ(d.version, "compute capability 9.0");
  EXPECT_STREQ(d.pci_bus, "0000:41:00");
  EXPECT_EQ(d.compute_units, 2u);
  EXPECT_EQ(d.fp64, tly_bbp_gpu_fp64_full);
  EXPECT_EQ(d.same_as, -1);
  EXPECT_STREQ(tly_bbp_gpu_backend_status(opencl().gpu, tly_bbp_gpu_cuda), "");
}

// The same blocks and term cells through CUDA (compiled by NVRTC, run by the stand-in) as on
// PoCL: the arguments, launches, groups and carries of the CUDA path, both arithmetics.
TEST(Cuda, BlocksAndCellsEqualPoCl) {
  NEED_CUDA();
  struct series {
    int32_t alternating;
    uint64_t cells, shift, first, last;
    uint32_t step, multiplier, offset;
  };
  const series cases[] = {{0, 4, 4000, 0, 1200, 4, 8, 1},
                          {1, 3, 1000, 100, 360, 10, 10, 9},
                          {0, 131, 200, 0, 90, 4, 8, 5},
                          {1, 2, (uint64_t{1} << 40), (uint64_t{1} << 36) - 1000, (uint64_t{1} << 36), 1, 4, 3}};
  for (const auto& s : cases)
    for (const tly_bbp_gpu_arithmetic a : {tly_bbp_gpu_fp64_exact, tly_bbp_gpu_montgomery64}) {
      std::vector<int64_t> on_cuda(s.cells), on_pocl(s.cells);
      tly_bbp_gpu_error error{};
      ASSERT_TRUE(tly_bbp_gpu_block(opencl().gpu, cuda().device, a, on_cuda.data(), s.cells, s.alternating, s.shift,
                                    s.first, s.last, s.step, s.multiplier, s.offset, 0, nullptr, nullptr, &error))
          << error.message;
      ASSERT_TRUE(tly_bbp_gpu_block(opencl().gpu, opencl().device, a, on_pocl.data(), s.cells, s.alternating, s.shift,
                                    s.first, s.last, s.step, s.multiplier, s.offset, 0, nullptr, nullptr, &error))
          << error.message;
      EXPECT_EQ(on_cuda, on_pocl) << tly_bbp_gpu_arithmetic_name(a) << " cells " << s.cells;
      const uint64_t count = std::min<uint64_t>(s.last - s.first, 100);
      std::vector<uint64_t> cells_cuda(count * s.cells), cells_pocl(count * s.cells);
      ASSERT_TRUE(tly_bbp_gpu_term_cells(opencl().gpu, cuda().device, a, cells_cuda.data(), s.cells, s.shift, s.first,
                                         count, s.step, s.multiplier, s.offset, &error))
          << error.message;
      ASSERT_TRUE(tly_bbp_gpu_term_cells(opencl().gpu, opencl().device, a, cells_pocl.data(), s.cells, s.shift, s.first,
                                         count, s.step, s.multiplier, s.offset, &error))
          << error.message;
      EXPECT_EQ(cells_cuda, cells_pocl) << tly_bbp_gpu_arithmetic_name(a) << " cells " << s.cells;
    }
  tly_bbp_gpu_arithmetic chosen{};
  tly_bbp_gpu_error error{};
  EXPECT_TRUE(tly_bbp_gpu_choose_arithmetic(opencl().gpu, cuda().device, 1ull << 30, 2, &chosen, &error))
      << error.message;
}

// NVRTC's output is stored by the first handle and loaded by the next without compiling; an
// entry the driver refuses (not an ELF image, for the stand-in) is compiled again and replaced.
TEST(Cuda, CompiledImagesAreCachedAndARefusedOneCompiledAgain) {
  NEED_CUDA();
  const std::string directory = tly_bbp_scratch_directory() + "programs";
  const auto block = [&](tly_bbp_gpu_program_counts* programs) {
    tly_bbp_gpu_error error{};
    tly_bbp_gpu* gpu = tly_bbp_gpu_open(&error);
    tly_bbp_gpu_set_cache_directory(gpu, directory.c_str());
    std::vector<int64_t> cells(4);
    EXPECT_TRUE(tly_bbp_gpu_block(gpu, tly_bbp_gpu_find_device(gpu, "cuda:0"), tly_bbp_gpu_montgomery64, cells.data(),
                                  4, 1, 4000, 0, 1200, 4, 8, 1, 0, nullptr, nullptr, &error))
        << error.message;
    *programs = tly_bbp_gpu_programs(gpu);
    tly_bbp_gpu_close(gpu);
    return cells;
  };
  std::vector<int64_t> expected(4);
  tly_bbp_gpu_error error{};
  ASSERT_TRUE(tly_bbp_gpu_block(opencl().gpu, opencl().device, tly_bbp_gpu_montgomery64, expected.data(), 4, 1, 4000,
                                0, 1200, 4, 8, 1, 0, nullptr, nullptr, &error))
      << error.message;
  const struct {
    const char* what;
    uint64_t built, loaded, stored;
  } runs[] = {{"an empty cache", 1, 0, 1}, {"a warm cache", 0, 1, 0}, {"a refused entry", 1, 0, 1}, {"again", 0, 1, 0}};
  for (const auto& r : runs) {
    if (&r == runs + 2) {
      const std::filesystem::path entry = std::filesystem::directory_iterator(directory)->path();
      std::string header(tly_bbp_gpu_cache_header_size, '\0');
      FILE* file = std::fopen(entry.c_str(), "rb");
      ASSERT_TRUE(file && std::fread(header.data(), 1, header.size(), file) == header.size());
      std::fclose(file);
      tly_bbp_gpu_cache_key key;
      std::copy(header.begin() + 16, header.begin() + 48, key.begin());
      ASSERT_TRUE(tly_bbp_gpu_cache_write(directory, key, "PTX of another compiler"));
    }
    tly_bbp_gpu_program_counts programs{};
    EXPECT_EQ(block(&programs), expected) << r.what;
    EXPECT_EQ(programs.built_from_source, r.built) << r.what;
    EXPECT_EQ(programs.loaded_from_cache, r.loaded) << r.what;
    EXPECT_EQ(programs.stored, r.stored) << r.what;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1);
}

// --list-devices as the program prints it, in this process (where the stand-in is loaded).
std::string listed(void (*list)(FILE*)) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  list(out);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

TEST(Cuda, ListingShowsTheDevice) {
  NEED_CUDA();
  const std::string text = listed(tly_bbp_list_devices);
  EXPECT_NE(text.find("cuda:0\tFake H100 of the tests\n  platform CUDA, compute capability 9.0, GPU\n"
                      "  2 compute units at 0 MHz, 80.0 GiB, FP64 full, arithmetic fp64-exact\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("No CUDA devices"), std::string::npos) << text;
  const nlohmann::json list = nlohmann::json::parse(listed(tly_bbp_list_devices_json));
  EXPECT_TRUE(list["cuda"].is_null());
  bool found = false;
  for (const auto& device : list["devices"])
    if (device["device"] == "cuda:0") {
      found = true;
      EXPECT_EQ(device["backend"], "cuda");
      EXPECT_EQ(device["names"], nlohmann::json::array({"cuda:0"}));
      EXPECT_EQ(device["pci_bus"], "0000:41:00");
    }
  EXPECT_TRUE(found) << list.dump();
}

}  // namespace
