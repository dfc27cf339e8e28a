// The CUDA backend of a build without the CUDA toolkit's headers: it reports why it has no devices.
#include "runtime.h"

std::unique_ptr<tly_bbp_gpu_runtime> tly_bbp_gpu_open_cuda(std::vector<tly_bbp_gpu_device_info>&,
                                                           tly_bbp_gpu_error* error) {
  tly_bbp_gpu_fail(error, tly_bbp_gpu_refused, "this build has no CUDA support");
  return nullptr;
}
