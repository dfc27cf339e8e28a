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
#include "exact.h"
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

// The program on the stand-in, found through the library path as a driver is, its launches
// failing after the first `launches` with the driver error `code` (a device lost mid-run).
tly_bbp_program_run on_failing_device(long launches, int code, const std::vector<std::string>& arguments) {
  std::string library_path = std::filesystem::path(TLY_BBP_FAKE_CUDA_DRIVER).parent_path().string();
  if (const char* earlier = std::getenv("LD_LIBRARY_PATH")) library_path += std::string(":") + earlier;
  std::vector<std::string> command{TLY_BBP_PROGRAM};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return tly_bbp_run_command("", 120,
                             {"LD_LIBRARY_PATH=" + library_path, "TLY_FAKE_CUDA_FAIL_AFTER=" + std::to_string(launches),
                              "TLY_FAKE_CUDA_FAIL_CODE=" + std::to_string(code)},
                             command);
}

// What standard error says, once, of the device failing.
std::string device_failed(int code, const char* name) {
  return "tallyspire-bbp: cuda:0 (Fake H100 of the tests) failed (cuLaunchKernel failed (CUDA error " +
         std::to_string(code) + ": " + name + "), code " + std::to_string(code) +
         "); its blocks go to the other workers\n";
}

struct device_failure {
  long launches;  // before the first failure: 0 fails in the timed sample, 12 after some blocks
  int code;
  const char* name;
};
const device_failure failures[] = {{0, 700, "CUDA_ERROR_ILLEGAL_ADDRESS"}, {12, 719, "CUDA_ERROR_LAUNCH_FAILED"}};

// The only worker failing leaves nobody to compute: exit 1, the checkpoint kept, and a run on the
// processors resumes from it to the right digits.
TEST(Cuda, ProgramWithNoWorkerLeftEndsWithItsCheckpointKept) {
  NEED_CUDA();
  for (const device_failure& f : failures) {
    const std::string directory = tly_bbp_scratch_directory();
    ASSERT_FALSE(directory.empty());
    const std::string path = directory + "ck";
    const std::vector<std::string> run = {"--place", "100001", "--formula", "both", "--quiet", "--json",
                                          "--checkpoint", path, "--devices"};
    std::vector<std::string> arguments = run;
    arguments.push_back("cuda:0");
    const tly_bbp_program_run failed = on_failing_device(f.launches, f.code, arguments);
    EXPECT_EQ(failed.exit_code, 1) << f.name << ": " << failed.output;
    EXPECT_EQ(failed.errors, device_failed(f.code, f.name) +
                                 "tallyspire-bbp: No worker is left to compute: every device failed.\n");
    ASSERT_TRUE(std::filesystem::is_regular_file(path)) << f.name;
    arguments = run;
    arguments.push_back("cpu");
    const tly_bbp_program_run resumed = tly_bbp_run_with_arguments(arguments);
    ASSERT_EQ(resumed.exit_code, 0) << f.name << ": " << resumed.errors;
    const nlohmann::json j = nlohmann::json::parse(resumed.output);
    EXPECT_EQ(j["from_checkpoint"], true);
    for (const auto& result : j["results"]) EXPECT_EQ(result["hexadecimal"], tly_bbp_oracle_hex(100001, 32)) << f.name;
  }
}

// A device failing beside the processor threads: its block goes to them, the run ends well with
// their digits, and standard error names the device and the error once. The place gives each
// series two blocks, so that the device surely holds one.
TEST(Cuda, ProgramGoesOnWhenItsDeviceFails) {
  NEED_CUDA();
  const std::vector<std::string> run = {"--place", "5000001", "--formula", "plouffe", "--threads", "1",
                                        "--quiet", "--json", "--devices"};
  std::vector<std::string> arguments = run;
  arguments.push_back("cpu");
  const tly_bbp_program_run alone = tly_bbp_run_with_arguments(arguments);
  ASSERT_EQ(alone.exit_code, 0) << alone.errors;
  const std::string expected = nlohmann::json::parse(alone.output)["hexadecimal"];
  arguments = run;
  arguments.push_back("cpu,cuda:0");
  for (const device_failure& f : failures) {
    // Three launches: the failure falls in the device's first block, inside its timed sample.
    const tly_bbp_program_run beside = on_failing_device(f.launches ? 3 : 0, f.code, arguments);
    ASSERT_EQ(beside.exit_code, 0) << f.name << ": " << beside.errors;
    EXPECT_EQ(beside.errors, device_failed(f.code, f.name));
    const nlohmann::json j = nlohmann::json::parse(beside.output);
    EXPECT_EQ(j["hexadecimal"], expected) << f.name;
    ASSERT_EQ(j["devices"].size(), 2u) << j;
    EXPECT_EQ(j["devices"][0]["terms"], 0) << j;
    EXPECT_EQ(j["devices"][1]["name"], "cpu") << j;
  }
}

}  // namespace
