// The OpenCL platforms and devices seen from the command line: --list-devices, as text or JSON.
#include "device_list.h"

#include <cinttypes>
#include <nlohmann/json.hpp>
#include <string>

#if defined(TLY_BBP_HAVE_GPU)
#include "../gpu/gpu.h"
#endif

namespace {

#if defined(TLY_BBP_HAVE_GPU)
// The runtime for the listing only: closed when the list is printed.
struct opened {
  tly_bbp_gpu_error error{};
  tly_bbp_gpu* gpu = tly_bbp_gpu_open(&error);
  ~opened() { tly_bbp_gpu_close(gpu); }
};

std::string device_name(const tly_bbp_gpu_device_info& d) {
  return "opencl:" + std::to_string(d.platform) + ":" + std::to_string(d.index);
}

const char* kind(const tly_bbp_gpu_device_info& d) { return d.is_gpu ? "GPU" : "processor (used only when named)"; }
#endif

}  // namespace

void tly_bbp_list_devices(FILE* out) {
#if defined(TLY_BBP_HAVE_GPU)
  const opened o;
  if (!o.gpu) {
    std::fprintf(out, "No OpenCL devices: %s.\n", o.error.message);
    return;
  }
  if (tly_bbp_gpu_device_count(o.gpu) == 0) std::fprintf(out, "No OpenCL devices: no platform has one.\n");
  for (int i = 0; i < tly_bbp_gpu_device_count(o.gpu); ++i) {
    const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(o.gpu, i);
    std::fprintf(out,
                 "%s\t%s\n  platform %s, %s, %s\n  %" PRIu32 " compute units at %" PRIu32
                 " MHz, %.1f GiB, FP64 %s, arithmetic %s\n",
                 device_name(d).c_str(), d.name, d.platform_name, d.version, kind(d), d.compute_units, d.clock_mhz,
                 static_cast<double>(d.global_memory) / (1024.0 * 1024.0 * 1024.0), tly_bbp_gpu_fp64_class_name(d.fp64),
                 tly_bbp_gpu_arithmetic_name(d.arithmetic));
  }
#else
  std::fprintf(out, "No OpenCL devices: this build has no OpenCL support.\n");
#endif
}

void tly_bbp_list_devices_json(FILE* out) {
  nlohmann::ordered_json list = {{"opencl", nullptr}, {"devices", nlohmann::ordered_json::array()}};
#if defined(TLY_BBP_HAVE_GPU)
  const opened o;
  if (!o.gpu) list["opencl"] = o.error.message;
  for (int i = 0; i < tly_bbp_gpu_device_count(o.gpu); ++i) {
    const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(o.gpu, i);
    list["devices"].push_back({{"device", device_name(d)},
                               {"name", d.name},
                               {"platform", d.platform_name},
                               {"vendor", d.vendor},
                               {"version", d.version},
                               {"gpu", d.is_gpu},
                               {"compute_units", d.compute_units},
                               {"clock_mhz", d.clock_mhz},
                               {"global_memory", d.global_memory},
                               {"fp64", tly_bbp_gpu_fp64_class_name(d.fp64)},
                               {"arithmetic", tly_bbp_gpu_arithmetic_name(d.arithmetic)}});
  }
#else
  list["opencl"] = "this build has no OpenCL support";
#endif
  // Device names come from drivers: replaced, not refused, where they are not UTF-8.
  std::fprintf(out, "%s\n", list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}
