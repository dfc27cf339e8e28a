// The command line of unattended runs: options, the forms of a place, and the run they start.
#pragma once
#include <cstdint>
#include <string>

#include "../engine/process.h"

inline constexpr const char* tly_bbp_version = TLY_BBP_VERSION;

// Exit codes of command-line runs.
inline constexpr int tly_bbp_exit_done = 0, tly_bbp_exit_fatal = 1, tly_bbp_exit_bad_arguments = 2,
                     tly_bbp_exit_disagree = 3;

struct tly_bbp_options {
  int32_t choice;  // 0 Plouffe, 1 Bellard, 2 both
  uint64_t place, digits;
  int32_t threads;  // 0: one per processor
  std::string checkpoint;
  double checkpoint_minutes;
  bool json, quiet;
  std::string variant;  // the processor variant --variant names; empty: the engine's choice
  std::string isa;      // the instruction-set class the choice is limited to; empty: none
  bool estimate;        // predict the run's time instead of running it
  std::string devices;  // --devices as given; empty: every GPU and the processor threads
  std::string device_arithmetic;  // the GPU arithmetic --variant forces on the devices; empty: each pass's timed choice
  tly_bbp_variant_policy policy = tly_bbp_engine_choice;  // what --isa and --variant make of the engine's choice
};

// A value of an argument as a message quotes it: "like this", a long one cut after 40 characters.
std::string tly_bbp_shown_value(const std::string& text);

// A place written as a whole number: 1000001, 1e14, 2.5e14, 10^14, 2^48, each optionally
// followed by +K or -K; one beyond 64 bits at any step reads as UINT64_MAX, beyond every limit.
// False with the reason in `error` for anything else.
bool tly_bbp_parse_place(const std::string& text, uint64_t* place, std::string* error);

// Parses the arguments into `options`. Returns -1 when the run should start, otherwise the
// exit code after --help, --version or --list-variants (0) or after a one-line message about
// a bad argument (2).
int tly_bbp_parse_command_line(int argc, char** argv, tly_bbp_options* options);

// The whole command-line run: arguments, computation, output. Returns the exit code.
int tly_bbp_command_line_main(int argc, char** argv, const tly_bbp_process& process);

// The run the options describe (batch_run.cpp).
int tly_bbp_batch_run(const tly_bbp_options& options, const tly_bbp_process& process);

// The estimate of that run's time, printed.
int tly_bbp_estimate_main(const tly_bbp_options& options);
