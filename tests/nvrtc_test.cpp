// The GPU kernels' one source compiled by NVRTC for the NVIDIA architectures, where NVRTC is found: no errors, no warnings.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu.h"
#include "runtime.h"

#if __has_include(<nvrtc.h>)
#include <nvrtc.h>

namespace {

// NVRTC opened at run time as the CUDA backend will open it: from the library path, else the
// toolkit's usual place.
struct nvrtc_library {
  void* handle = nullptr;
  decltype(&nvrtcCreateProgram) create = nullptr;
  decltype(&nvrtcCompileProgram) compile = nullptr;
  decltype(&nvrtcGetProgramLogSize) log_size = nullptr;
  decltype(&nvrtcGetProgramLog) log = nullptr;
  decltype(&nvrtcDestroyProgram) destroy = nullptr;
  nvrtc_library() {
    for (const char* name : {"libnvrtc.so", "libnvrtc.so.13", "libnvrtc.so.12", "/usr/local/cuda/lib64/libnvrtc.so"})
      if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL))) break;
    if (!handle) return;
    create = reinterpret_cast<decltype(create)>(dlsym(handle, "nvrtcCreateProgram"));
    compile = reinterpret_cast<decltype(compile)>(dlsym(handle, "nvrtcCompileProgram"));
    log_size = reinterpret_cast<decltype(log_size)>(dlsym(handle, "nvrtcGetProgramLogSize"));
    log = reinterpret_cast<decltype(log)>(dlsym(handle, "nvrtcGetProgramLog"));
    destroy = reinterpret_cast<decltype(destroy)>(dlsym(handle, "nvrtcDestroyProgram"));
    if (!create || !compile || !log_size || !log || !destroy) handle = nullptr;
  }
};

TEST(Nvrtc, CompilesTheKernelSourceForEveryArchitectureWithoutWarnings) {
  static nvrtc_library nvrtc;
  if (!nvrtc.handle) GTEST_SKIP() << "no NVRTC (libnvrtc.so) found";
  // Binaries for the architectures tuned for and the oldest kept; PTX where NVRTC lacks one.
  for (const int architecture : {75, 80, 89, 90})
    for (const bool binary : {true, false}) {
      nvrtcProgram program = nullptr;
      ASSERT_EQ(nvrtc.create(&program, tly_bbp_gpu_kernel_source, "terms.cu", 0, nullptr, nullptr), NVRTC_SUCCESS);
      // The CUDA backend's own options; any warning fills the log.
      const std::vector<std::string> options = tly_bbp_gpu_nvrtc_options(architecture, binary);
      std::vector<const char*> pointers;
      for (const auto& option : options) pointers.push_back(option.c_str());
      const nvrtcResult compiled = nvrtc.compile(program, static_cast<int>(pointers.size()), pointers.data());
      size_t size = 0;
      nvrtc.log_size(program, &size);
      std::string text(size, '\0');
      nvrtc.log(program, text.data());
      while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
      nvrtc.destroy(&program);
      EXPECT_EQ(compiled, NVRTC_SUCCESS) << options[0] << ": " << text;
      EXPECT_EQ(text, "") << options[0];
    }
}

// The register cap is for Ampere and later; older architectures keep NVRTC's own choice, and
// contraction into multiply-adds is off everywhere.
TEST(Nvrtc, OptionsPerArchitecture) {
  const struct {
    int architecture;
    bool binary;
    std::vector<std::string> options;
  } cases[] = {
      {75, true, {"--gpu-architecture=sm_75", "--fmad=false"}},
      {80, true, {"--gpu-architecture=sm_80", "--fmad=false", "--maxrregcount=40"}},
      {90, false, {"--gpu-architecture=compute_90", "--fmad=false", "--maxrregcount=40"}},
  };
  for (const auto& c : cases) EXPECT_EQ(tly_bbp_gpu_nvrtc_options(c.architecture, c.binary), c.options);
}

// Under the backend's register cap no kernel spills to local memory (ptxas's own report).
TEST(Nvrtc, NoKernelSpillsUnderTheRegisterCap) {
  static nvrtc_library nvrtc;
  if (!nvrtc.handle) GTEST_SKIP() << "no NVRTC (libnvrtc.so) found";
  for (const int architecture : {75, 80, 90}) {
    std::vector<std::string> options = tly_bbp_gpu_nvrtc_options(architecture, true);
    options.push_back("--ptxas-options=-v");
    std::vector<const char*> pointers;
    for (const auto& option : options) pointers.push_back(option.c_str());
    nvrtcProgram program = nullptr;
    ASSERT_EQ(nvrtc.create(&program, tly_bbp_gpu_kernel_source, "terms.cu", 0, nullptr, nullptr), NVRTC_SUCCESS);
    ASSERT_EQ(nvrtc.compile(program, static_cast<int>(pointers.size()), pointers.data()), NVRTC_SUCCESS);
    size_t size = 0;
    nvrtc.log_size(program, &size);
    std::string text(size, '\0');
    nvrtc.log(program, text.data());
    nvrtc.destroy(&program);
    int kernels = 0;
    for (size_t at = text.find("spill stores"); at != std::string::npos; at = text.find("spill stores", at + 1)) {
      ++kernels;
      const size_t line = text.rfind('\n', at) + 1;
      EXPECT_NE(text.substr(line, at - line).find(" 0 bytes stack frame, 0 bytes"), std::string::npos)
          << "sm_" << architecture << ": " << text;
    }
    EXPECT_EQ(kernels, 3) << "sm_" << architecture << ": " << text;
  }
}

}  // namespace
#else
TEST(Nvrtc, CompilesTheKernelSourceForEveryArchitectureWithoutWarnings) {
  GTEST_SKIP() << "built without nvrtc.h";
}
#endif
