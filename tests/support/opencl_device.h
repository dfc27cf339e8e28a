// The OpenCL device the GPU tests run on: a processor's (PoCL), which is used only when named.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "gpu.h"

namespace {

struct opencl_device {
  tly_bbp_gpu* gpu = nullptr;
  int device = -1;
  std::string why_none;
  opencl_device() {
    tly_bbp_gpu_error error{};
    gpu = tly_bbp_gpu_open(&error);
    if (!gpu) {
      why_none = error.message;
      return;
    }
    for (int d = 0; d < tly_bbp_gpu_device_count(gpu); ++d)
      if (!tly_bbp_gpu_device(gpu, d)->is_gpu && device < 0) device = d;
    if (device < 0) why_none = error.code ? error.message : "no OpenCL device of type CPU (PoCL)";
  }
  ~opencl_device() { tly_bbp_gpu_close(gpu); }
};

opencl_device& opencl() {
  static opencl_device d;
  return d;
}

// ./test.sh installs PoCL and sets TLY_BBP_NEED_OPENCL: there a missing device fails.
#define NEED_DEVICE()                                                                               \
  do {                                                                                              \
    if (opencl().device < 0) {                                                                      \
      if (std::getenv("TLY_BBP_NEED_OPENCL")) FAIL() << "PoCL is required: " << opencl().why_none; \
      GTEST_SKIP() << opencl().why_none;                                                            \
    }                                                                                               \
  } while (0)

}  // namespace
