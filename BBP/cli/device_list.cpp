// The GPU devices seen from the command line, each once with the runtimes that reach it: --list-devices, as text or JSON.
#include "device_list.h"

#include <cinttypes>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#if defined(TLY_BBP_HAVE_GPU)
#include "../gpu/gpu.h"
#endif

namespace {

#if defined(TLY_BBP_HAVE_GPU)
// The runtimes for the listing only: closed when the list is printed.
struct opened {
  tly_bbp_gpu_error error{};
  tly_bbp_gpu* gpu = tly_bbp_gpu_open(&error);
  ~opened() { tly_bbp_gpu_close(gpu); }
};

std::string device_name(const tly_bbp_gpu_device_info& d) {
  char name[32];
  tly_bbp_gpu_device_name(&d, name, sizeof name);
  return name;
}

const char* kind(const tly_bbp_gpu_device_info& d) { return d.is_gpu ? "GPU" : "processor (used only when named)"; }

// The other names of the listed entry's physical device, such as opencl:0:1 beside cuda:0.
std::vector<std::string> other_names(const tly_bbp_gpu* gpu, int listed) {
  std::vector<std::string> names;
  for (int i = 0; i < tly_bbp_gpu_device_count(gpu); ++i)
    if (tly_bbp_gpu_device(gpu, i)->same_as == listed) names.push_back(device_name(*tly_bbp_gpu_device(gpu, i)));
  return names;
}

// "No OpenCL devices: ..." and "No CUDA devices: ..." for each runtime that is not there.
void print_missing(FILE* out, const tly_bbp_gpu* gpu) {
  const char* labels[] = {"OpenCL", "CUDA"};
  for (const tly_bbp_gpu_backend backend : {tly_bbp_gpu_opencl, tly_bbp_gpu_cuda})
    if (const char* why = tly_bbp_gpu_backend_status(gpu, backend); why[0])
      std::fprintf(out, "No %s devices: %s.\n", labels[backend], why);
}
#endif

}  // namespace

void tly_bbp_list_devices(FILE* out) {
#if defined(TLY_BBP_HAVE_GPU)
  const opened o;
  print_missing(out, o.gpu);
  bool any = false;
  for (int i = 0; i < tly_bbp_gpu_device_count(o.gpu); ++i) {
    const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(o.gpu, i);
    if (d.same_as >= 0) continue;
    any = true;
    std::fprintf(out,
                 "%s\t%s\n  platform %s, %s, %s\n  %" PRIu32 " compute units at %" PRIu32
                 " MHz, %.1f GiB, FP64 %s, arithmetic %s\n",
                 device_name(d).c_str(), d.name, d.platform_name, d.version, kind(d), d.compute_units, d.clock_mhz,
                 static_cast<double>(d.global_memory) / (1024.0 * 1024.0 * 1024.0), tly_bbp_gpu_fp64_class_name(d.fp64),
                 tly_bbp_gpu_arithmetic_name(d.arithmetic));
    for (const std::string& other : other_names(o.gpu, i)) std::fprintf(out, "  also reached as %s\n", other.c_str());
  }
  if (o.gpu && !any) std::fprintf(out, "No devices: no runtime found one.\n");
#else
  std::fprintf(out, "No OpenCL devices: this build has no OpenCL support.\n");
  std::fprintf(out, "No CUDA devices: this build has no CUDA support.\n");
#endif
}

void tly_bbp_list_devices_json(FILE* out) {
  nlohmann::ordered_json list = {{"opencl", nullptr}, {"cuda", nullptr}, {"devices", nlohmann::ordered_json::array()}};
#if defined(TLY_BBP_HAVE_GPU)
  const opened o;
  for (const tly_bbp_gpu_backend backend : {tly_bbp_gpu_opencl, tly_bbp_gpu_cuda}) {
    const char* why = tly_bbp_gpu_backend_status(o.gpu, backend);
    if (why[0]) list[tly_bbp_gpu_backend_name(backend)] = why;
  }
  for (int i = 0; i < tly_bbp_gpu_device_count(o.gpu); ++i) {
    const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(o.gpu, i);
    if (d.same_as >= 0) continue;
    nlohmann::ordered_json names = {device_name(d)};
    for (const std::string& other : other_names(o.gpu, i)) names.push_back(other);
    list["devices"].push_back({{"device", device_name(d)},
                               {"backend", tly_bbp_gpu_backend_name(d.backend)},
                               {"names", names},
                               {"name", d.name},
                               {"platform", d.platform_name},
                               {"vendor", d.vendor},
                               {"version", d.version},
                               {"pci_bus", d.pci_bus},
                               {"gpu", d.is_gpu},
                               {"compute_units", d.compute_units},
                               {"clock_mhz", d.clock_mhz},
                               {"global_memory", d.global_memory},
                               {"fp64", tly_bbp_gpu_fp64_class_name(d.fp64)},
                               {"arithmetic", tly_bbp_gpu_arithmetic_name(d.arithmetic)}});
  }
#else
  list["opencl"] = "this build has no OpenCL support";
  list["cuda"] = "this build has no CUDA support";
#endif
  // Device names come from drivers: replaced, not refused, where they are not UTF-8.
  std::fprintf(out, "%s\n", list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}
