// The GPU kernels' one source compiled by NVRTC for the NVIDIA architectures, where NVRTC is found: no errors, no warnings.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu.h"

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
  for (const char* architecture : {"sm_75", "sm_80", "sm_89", "sm_90"}) {
    nvrtcProgram program = nullptr;
    ASSERT_EQ(nvrtc.create(&program, tly_bbp_gpu_kernel_source, "terms.cu", 0, nullptr, nullptr), NVRTC_SUCCESS);
    const std::string arch = std::string("--gpu-architecture=") + architecture;
    // The options the CUDA backend will use: no contraction into multiply-adds; any warning fills the log.
    const char* options[] = {arch.c_str(), "--fmad=false"};
    const nvrtcResult compiled = nvrtc.compile(program, 2, options);
    size_t size = 0;
    nvrtc.log_size(program, &size);
    std::string text(size, '\0');
    nvrtc.log(program, text.data());
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
    nvrtc.destroy(&program);
    EXPECT_EQ(compiled, NVRTC_SUCCESS) << architecture << ": " << text;
    EXPECT_EQ(text, "") << architecture;
  }
}

}  // namespace
#else
TEST(Nvrtc, CompilesTheKernelSourceForEveryArchitectureWithoutWarnings) {
  GTEST_SKIP() << "built without nvrtc.h";
}
#endif
