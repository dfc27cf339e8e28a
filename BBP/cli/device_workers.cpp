// GPUs as block workers of command-line runs: each device's blocks evaluated with the arithmetic
// its timed sample chose for the pass, stopped by a signal within a launch.
#include "device_workers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "../engine/system.h"
#include "command_line.h"
#include "variant_choice.h"
#if defined(TLY_BBP_HAVE_GPU)
#include "../gpu/gpu.h"
#endif

bool tly_bbp_open_option_workers(const tly_bbp_options& o, const std::atomic<int>* stop, tly_bbp_device_choice* choice,
                                 tly_bbp_device_workers* workers, std::string* error, const char* after_failure) {
  if (!o.devices.empty() && !tly_bbp_parse_devices(o.devices, choice, error)) return false;
  return tly_bbp_open_device_workers(*choice, stop, workers, error,
                                     {tly_bbp_device_arithmetic(o.device_arithmetic), after_failure});
}

tly_bbp_device_choice tly_bbp_rank_device_choice(int32_t rank, int32_t node_rank, int32_t node_ranks) {
  tly_bbp_device_choice choice;
  choice.share_index = node_rank;
  choice.share_count = node_ranks;
  choice.speaker = "tallyspire-bbp-mpi: rank " + std::to_string(rank);
  return choice;
}

std::string tly_bbp_device_choice_text(const tly_bbp_options& o) {
  return (o.devices.empty() ? "all" : o.devices) + ";" + o.device_arithmetic;
}

void tly_bbp_read_device_choice_text(const std::string& text, tly_bbp_options* o) {
  const size_t split = text.find(';');
  o->devices = text.substr(0, split);
  o->device_arithmetic = split == std::string::npos ? "" : text.substr(split + 1);
}

bool tly_bbp_parse_devices(const std::string& text, tly_bbp_device_choice* choice, std::string* error) {
  choice->cpu = choice->every_gpu = choice->gpu_required = false;
  choice->named.clear();
  std::vector<std::string> seen;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const auto refuse = [&](const std::string& why) {
      *error = "--devices: " + why + "; write cpu, gpu, all or a list such as cpu,opencl:0:0";
      return false;
    };
    if (item.empty()) return refuse("an empty name in " + tly_bbp_shown_value(text));
    if (std::find(seen.begin(), seen.end(), item) != seen.end())
      return refuse(tly_bbp_shown_value(item) + " is named twice");
    seen.push_back(item);
    unsigned platform = 0, index = 0, ordinal = 0;
    char rest = 0;
    if (item == "cpu") {
      choice->cpu = true;
    } else if (item == "gpu") {
      choice->every_gpu = choice->gpu_required = true;
    } else if (item == "all") {
      choice->cpu = choice->every_gpu = true;
    } else if (item.size() <= 24 && item.find_first_of(" +-") == std::string::npos &&
               ((std::sscanf(item.c_str(), "opencl:%u:%u%c", &platform, &index, &rest) == 2 &&
                 item == "opencl:" + std::to_string(platform) + ":" + std::to_string(index)) ||
                (std::sscanf(item.c_str(), "cuda:%u%c", &ordinal, &rest) == 1 &&
                 item == "cuda:" + std::to_string(ordinal)))) {
      choice->named.push_back(item);
    } else {
      return refuse(tly_bbp_shown_value(item) + " is no device");
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::string tly_bbp_program_cache_directory() {
  if (const char* chosen = std::getenv("TLY_BBP_CACHE_DIR")) return chosen;
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/tallyspire-bbp";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.cache/tallyspire-bbp";
  return {};
}

#if defined(TLY_BBP_HAVE_GPU)
struct tly_bbp_device_worker {
  tly_bbp_gpu* gpu;
  int device;
  std::string name;
  const std::atomic<int>* stop;
  std::string speaker;
  tly_bbp_device_use use;
  bool failed = false;
  // The arithmetic of the pass being computed: chosen again when the largest modulus changes.
  uint64_t chosen_for = 0;
  tly_bbp_gpu_arithmetic arithmetic = tly_bbp_gpu_montgomery64;
  uint32_t arithmetics_used = 0;  // bit per tly_bbp_gpu_arithmetic
};

namespace {

// A launch boundary asks both, the run stopping and the block taken over by a processor thread,
// and notes the block's progress for the engine. The first launch of a block may build the
// kernels: the pace counts from its end.
struct stop_flags {
  const std::atomic<int>* run;
  tly_bbp_block_hold* hold;
  int launches_done = 0;
  uint64_t terms_before = 0;
  double since = 0.0;
};

bool stopped(void* context, uint64_t terms_done) {
  stop_flags* flags = static_cast<stop_flags*>(context);
  const double now = tly_bbp_clock_seconds();
  if (flags->launches_done == 1) {
    flags->terms_before = terms_done;
    flags->since = now;
  } else if (flags->launches_done > 1) {
    // Read by the processor threads while the block goes on, to take it over if it lags.
    __atomic_store_n(&flags->hold->progress_terms, terms_done - flags->terms_before, __ATOMIC_RELAXED);
    double seconds = now - flags->since;
    __atomic_store(&flags->hold->progress_seconds, &seconds, __ATOMIC_RELAXED);
  }
  ++flags->launches_done;
  return flags->run->load() != 0 || __atomic_load_n(&flags->hold->abandon, __ATOMIC_RELAXED) != 0;
}

bool compute(void* context, const tly_bbp_series_call* c, uint64_t first, uint64_t last, int64_t* block_result,
             tly_bbp_block_hold* hold) {
  tly_bbp_device_worker* w = static_cast<tly_bbp_device_worker*>(context);
  if (w->failed) return false;
  tly_bbp_gpu_error error{};
  const uint64_t largest_modulus = uint64_t(c->multiplier) * (c->term_count - 1) + c->offset;
  bool done = true;
  if (largest_modulus != w->chosen_for && w->use.arithmetic >= 0) {
    // Forced; where it cannot be (a modulus beyond its range, which the start refuses, or a
    // device without double precision), the arithmetic that takes every modulus on every device.
    const auto forced = tly_bbp_gpu_arithmetic(w->use.arithmetic);
    const uint64_t below = tly_bbp_gpu_moduli_below(forced);
    const bool fp64 = tly_bbp_gpu_device(w->gpu, w->device)->fp64 != tly_bbp_gpu_fp64_none;
    w->arithmetic = (below == 0 || largest_modulus < below) && (fp64 || forced != tly_bbp_gpu_fp64_exact)
                        ? forced
                        : tly_bbp_gpu_montgomery64;
    w->chosen_for = largest_modulus;
  } else if (largest_modulus != w->chosen_for) {
    done = tly_bbp_gpu_choose_arithmetic(w->gpu, w->device, largest_modulus, c->cells, &w->arithmetic, &error);
    if (done) w->chosen_for = largest_modulus;
  }
  stop_flags flags{w->stop, hold};
  if (done)
    done = tly_bbp_gpu_block(w->gpu, w->device, w->arithmetic, block_result, c->cells, c->alternating, c->shift,
                             first, last, c->step, c->multiplier, c->offset, 0, stopped, &flags, &error);
  if (done) {
    // Whose share the block is, the engine decides as it takes the result.
    w->arithmetics_used |= 1u << w->arithmetic;
    return true;
  }
  // A stop is the run ending or the block taken over, no fault of the device.
  if (error.code == -1001) return false;
  w->failed = true;
  std::fprintf(stderr, "%s: %s failed (%s, code %d); %s\n", w->speaker.c_str(), w->name.c_str(), error.message,
               int(error.code), w->use.after_failure);
  std::fflush(stderr);
  return false;
}

std::string device_name(const tly_bbp_gpu_device_info& d) {
  char name[32];
  tly_bbp_gpu_device_name(&d, name, sizeof name);
  return name;
}

}  // namespace

bool tly_bbp_open_device_workers(const tly_bbp_device_choice& choice, const std::atomic<int>* stop,
                                 tly_bbp_device_workers* out, std::string* error, const tly_bbp_device_use& use) {
  *out = {};
  if (!choice.every_gpu && choice.named.empty()) return true;
  tly_bbp_gpu_error opened{};
  tly_bbp_gpu* gpu = tly_bbp_gpu_open(&opened);
  tly_bbp_gpu_set_cache_directory(gpu, tly_bbp_program_cache_directory().c_str());
  std::vector<int> chosen;
  for (int i = 0; gpu && i < tly_bbp_gpu_device_count(gpu); ++i) {
    const tly_bbp_gpu_device_info* d = tly_bbp_gpu_device(gpu, i);
    const std::string name = device_name(*d);
    // A GPU that two runtimes reach counts once, through the preferred one, unless named.
    if ((choice.every_gpu && d->is_gpu && d->same_as < 0) ||
        std::find(choice.named.begin(), choice.named.end(), name) != choice.named.end())
      chosen.push_back(i);
  }
  for (const std::string& name : choice.named) {
    bool found = false;
    for (int i : chosen) found = found || device_name(*tly_bbp_gpu_device(gpu, i)) == name;
    if (!found) *error = "--devices: there is no device " + name + " (see --list-devices)";
  }
  if (error->empty() && choice.gpu_required &&
      std::none_of(chosen.begin(), chosen.end(), [&](int i) { return tly_bbp_gpu_device(gpu, i)->is_gpu; }))
    *error = gpu ? "--devices gpu: no GPU found (see --list-devices)"
                 : std::string("--devices gpu: no GPU found: ") + opened.message;
  // Only now this process's share: the choice must be possible on the node as a whole.
  std::vector<int> share;
  for (size_t k = 0; k < chosen.size(); ++k)
    if (choice.share_count > 0 && int32_t(k % size_t(choice.share_count)) == choice.share_index)
      share.push_back(chosen[k]);
  chosen = share;
  if (!error->empty() || chosen.empty()) {
    tly_bbp_gpu_close(gpu);
    return error->empty();
  }
  out->gpu = gpu;
  out->pace.assign(chosen.size() + 1, tly_bbp_pace{0, 0.0, 0});
  for (size_t k = 0; k < chosen.size(); ++k) {
    const tly_bbp_gpu_device_info* d = tly_bbp_gpu_device(gpu, chosen[k]);
    out->names.push_back(device_name(*d) + " (" + d->name + ")");
    out->devices.push_back(new tly_bbp_device_worker{gpu, chosen[k], out->names.back(), stop, choice.speaker, use});
    out->workers.push_back({out->devices.back(), compute});
  }
  out->names.push_back("cpu");
  return true;
}

void tly_bbp_close_device_workers(tly_bbp_device_workers* workers) {
  for (tly_bbp_device_worker* w : workers->devices) delete w;
  tly_bbp_gpu_close(static_cast<tly_bbp_gpu*>(workers->gpu));
  *workers = {};
}
std::string tly_bbp_device_label(const tly_bbp_device_workers& workers, size_t k) {
  if (k >= workers.devices.size()) return workers.names[k];
  std::string label = workers.names[k];
  label.pop_back();  // the name's closing parenthesis, reopened for the arithmetics
  const char* separator = ", ";
  for (tly_bbp_gpu_arithmetic a : {tly_bbp_gpu_fp64_exact, tly_bbp_gpu_montgomery64})
    if (workers.devices[k]->arithmetics_used & (1u << a)) {
      label += separator;
      label += tly_bbp_gpu_arithmetic_name(a);
      separator = "+";
    }
  return label + ")";
}
#else
struct tly_bbp_device_worker {};
std::string tly_bbp_device_label(const tly_bbp_device_workers& workers, size_t k) { return workers.names[k]; }

// Without the OpenCL headers there are no devices: only a request for one is refused.
bool tly_bbp_open_device_workers(const tly_bbp_device_choice& choice, const std::atomic<int>*,
                                 tly_bbp_device_workers* out, std::string* error, const tly_bbp_device_use&) {
  *out = {};
  if (choice.gpu_required) *error = "--devices gpu: no GPU found (this build has no OpenCL)";
  if (!choice.named.empty()) *error = "--devices: there is no device " + choice.named[0] + " (this build has no OpenCL)";
  return error->empty();
}
void tly_bbp_close_device_workers(tly_bbp_device_workers*) {}
#endif
