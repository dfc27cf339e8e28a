// GPUs as block workers of command-line runs: --devices read, the devices opened, a worker each.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "../engine/pblock.h"

// What --devices asks for: the processor threads, every GPU found, and devices by name
// (cuda:N, opencl:PLATFORM:INDEX). The default: every GPU and the processor threads.
struct tly_bbp_device_choice {
  bool cpu = true, every_gpu = true, gpu_required = false;
  std::vector<std::string> named;
  // This process's share of the chosen devices (an MPI rank's of its node's), in the order they
  // are listed: those at positions i with i % share_count == share_index.
  int32_t share_index = 0, share_count = 1;
  std::string speaker = "tallyspire-bbp";  // who names a failing device on standard error
};

// Reads a --devices value: cpu, gpu, all or a comma-separated list of cpu, gpu and device
// names, keeping the share and the speaker. False with the reason in `error`.
bool tly_bbp_parse_devices(const std::string& text, tly_bbp_device_choice* choice, std::string* error);

// Where the devices' compiled programs are kept between runs: $TLY_BBP_CACHE_DIR where set
// (empty: nowhere), else $XDG_CACHE_HOME/tallyspire-bbp, else $HOME/.cache/tallyspire-bbp, each
// of the last two only where the variable is an absolute path; empty: nowhere.
std::string tly_bbp_program_cache_directory();

struct tly_bbp_device_worker;  // one device's host thread state

// How the devices compute: an arithmetic --variant forces on every one of them, and what the
// line on standard error says follows a device's failure.
struct tly_bbp_device_use {
  int32_t arithmetic = -1;  // a tly_bbp_gpu_arithmetic; -1: each pass's timed choice
  const char* after_failure = "its blocks go to the other workers";
};

// The workers of a run, and the pace of each (the last entry: the processor threads').
struct tly_bbp_device_workers {
  std::vector<tly_bbp_device_worker*> devices;
  std::vector<tly_bbp_block_worker> workers;  // one per device, for tly_bbp_engine_run
  std::vector<std::string> names;             // "opencl:0:0 (NAME)", then "cpu"
  std::vector<tly_bbp_pace> pace;             // each one's rate and share across the run's series
  void* gpu = nullptr;
};

// Opens this process's share of the devices the choice names. A device asked for by name or
// --devices gpu that is not there is an error (false, `error` says why), even when the share
// would leave it to another process; without an OpenCL loader or a GPU the default choice
// opens none and says nothing. `stop` is polled between launches.
bool tly_bbp_open_device_workers(const tly_bbp_device_choice& choice, const std::atomic<int>* stop,
                                 tly_bbp_device_workers* workers, std::string* error,
                                 const tly_bbp_device_use& use = {});

struct tly_bbp_options;
// The workers a run's options ask for: --devices read into `choice` (empty: the default), which
// keeps the share and speaker it comes with (an MPI rank's), and opened, with the arithmetic
// --variant forces. False with the reason in `error`.
bool tly_bbp_open_option_workers(const tly_bbp_options& options, const std::atomic<int>* stop,
                                 tly_bbp_device_choice* choice, tly_bbp_device_workers* workers, std::string* error,
                                 const char* after_failure = tly_bbp_device_use{}.after_failure);
void tly_bbp_close_device_workers(tly_bbp_device_workers* workers);

// An MPI rank's choice before --devices is read into it: its share of its node's devices, and
// its name in a failing device's message.
tly_bbp_device_choice tly_bbp_rank_device_choice(int32_t rank, int32_t node_rank, int32_t node_ranks);
// What rank 0 tells the other ranks to open: --devices ("all" when not given), then after ';'
// the arithmetic --variant forces, if any; and that text read back into `options`.
std::string tly_bbp_device_choice_text(const tly_bbp_options& options);
void tly_bbp_read_device_choice_text(const std::string& text, tly_bbp_options* options);

// Worker k as the Result line names it: "opencl:0:0 (NAME, fp64-exact)", with the arithmetics
// its passes used; "cpu" for the processor threads.
std::string tly_bbp_device_label(const tly_bbp_device_workers& workers, size_t k);
