// Test support: runs the built program with piped input and reads what it printed.
#pragma once
#include <string>
#include <vector>

struct tly_bbp_program_run {
  int exit_code;       // the exit status, or 128 + signal number when a signal ended it
  bool timed_out;      // killed after the time limit
  std::string output;  // everything written to standard output
  std::string errors;  // everything written to standard error
};

// Runs `command` (its first word found on PATH) as tly_bbp_run_program runs the program.
tly_bbp_program_run tly_bbp_run_command(const std::string& input, double seconds,
                                        const std::vector<std::string>& environment,
                                        const std::vector<std::string>& command);

// Feeds `input` to the program's standard input and waits at most `seconds`. `environment` entries ("NAME=value") are added to the test's own environment;
// `prefix` is put before the program on the command line (for example {"taskset", "-c", "0"}).
tly_bbp_program_run tly_bbp_run_program(const std::string& input, double seconds = 60,
                                        const std::vector<std::string>& environment = {},
                                        const std::vector<std::string>& prefix = {});

// Runs the program with `arguments` and no input, as tly_bbp_run_program.
tly_bbp_program_run tly_bbp_run_with_arguments(const std::vector<std::string>& arguments, double seconds = 60);

// The output with every time value ("Time: 0.123") replaced by "Time: #".
std::string tly_bbp_mask_times(const std::string& output);

// The hexadecimal digits of the hexadecimal block, without spaces, carets and line ends.
std::string tly_bbp_hex_digits(const std::string& output);

// The death tests' style: "threadsafe", which re-executes the test program; under an emulator
// the host cannot do that, and the tests fork alone ("fast"), safe as they start no threads
// before their deaths.
extern const char* const tly_bbp_death_test_style;
