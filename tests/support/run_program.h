// Test support: runs the built program with piped input and reads what it printed.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

struct tly_bbp_program_run {
  int exit_code;       // the exit status, or 128 + signal number when a signal ended it
  bool timed_out;      // killed after the time limit
  std::string output;  // everything written to standard output
  std::string errors;  // everything written to standard error
};

// How many times slower than an optimised build this one runs: every time limit of a run is
// scaled by it. Limits only catch hangs; no test relies on a quiet machine.
double tly_bbp_build_slowdown();

// A new directory of the calling test's own (mkdtemp), ending in '/', removed at the end.
std::string tly_bbp_scratch_directory();

// Words that, put before a command, run it in the background and send it `signals` (kill -s
// names, in turn) once `stat -c watched` of `path` has changed `changes` times, so while it
// surely runs: "%i %y" sees every save of a checkpoint (the first at the start), "%s" those
// that add finished ranges. Prints the exit code and the milliseconds after the last signal.
std::vector<std::string> tly_bbp_stopped_after_saves(const std::string& path, int changes, const std::string& signals,
                                                     const char* watched = "%i %y");

// Runs `command` (its first word found on PATH) as tly_bbp_run_program runs the program, with
// TLY_BBP_CACHE_DIR in a directory of the run's own unless `environment` sets it.
tly_bbp_program_run tly_bbp_run_command(const std::string& input, double seconds,
                                        const std::vector<std::string>& environment,
                                        const std::vector<std::string>& command);

// Feeds `input` to the program's standard input and waits at most `seconds` (scaled). `environment` entries ("NAME=value") are added to the test's own environment;
// `prefix` is put before the program on the command line (for example {"taskset", "-c", "0"}).
tly_bbp_program_run tly_bbp_run_program(const std::string& input, double seconds = 60,
                                        const std::vector<std::string>& environment = {},
                                        const std::vector<std::string>& prefix = {});

// Runs the program with `arguments` and no input, as tly_bbp_run_program.
tly_bbp_program_run tly_bbp_run_with_arguments(const std::vector<std::string>& arguments, double seconds = 60);

// The output with every time value ("Time: 0.123") replaced by "Time: #".
std::string tly_bbp_mask_times(const std::string& output);

// Everything written to `file` (a std::tmpfile of a run's reports), which it closes.
std::string tly_bbp_text_of(FILE* file);

// The hexadecimal digits of the hexadecimal block, without spaces, carets and line ends.
std::string tly_bbp_hex_digits(const std::string& output);

// The death tests' style: "threadsafe", which re-executes the test program; under an emulator
// the host cannot do that, and the tests fork alone ("fast"), safe as they start no threads
// before their deaths.
extern const char* const tly_bbp_death_test_style;
