// Test support: runs the built program with piped input and reads what it printed.
#include "run_program.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

// Adds a space and the word quoted for the shell.
void add_quoted(std::string& line, const std::string& word) {
  line += " '";
  for (char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
  line += '\'';
}

std::vector<std::string> scratch_directories;

void remove_scratch_directories() {
  for (const std::string& directory : scratch_directories) std::filesystem::remove_all(directory);
}

}  // namespace

#if defined(TLY_BBP_EMULATED)
const char* const tly_bbp_death_test_style = "fast";
#else
const char* const tly_bbp_death_test_style = "threadsafe";
#endif

double tly_bbp_build_slowdown() { return TLY_BBP_BUILD_SLOWDOWN; }

namespace {

// A new directory under the system's temporary directory (TMPDIR), or "" when none can be made.
std::string new_directory(const char* name) {
  std::string pattern = (std::filesystem::temp_directory_path() / (std::string(name) + "XXXXXX")).string();
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace

std::string tly_bbp_scratch_directory() {
  const std::string directory = new_directory("tly_bbp_test");
  if (directory.empty()) return {};
  if (scratch_directories.empty()) std::atexit(remove_scratch_directories);
  scratch_directories.push_back(directory);
  return directory + "/";
}

std::vector<std::string> tly_bbp_stopped_after_saves(const std::string& path, int changes, const std::string& signals,
                                                     const char* watched) {
  return {"bash", "-c",
          "file=$1 saves=$2 signals=$3 watched=$4; shift 4; \"$@\" >/dev/null & run=$!; "
          "last=$(stat -c \"$watched\" \"$file\" 2>&1); "
          "while [ $saves -gt 0 ] && kill -0 $run 2>/dev/null; do now=$(stat -c \"$watched\" \"$file\" 2>&1); "
          "[ \"$now\" != \"$last\" ] && saves=$((saves - 1)) last=$now; sleep 0.005; done; "
          "for s in $signals; do kill -s $s $run; done; t=$(date +%s%N); wait $run; "
          "echo $? $(( ($(date +%s%N) - t) / 1000000 ))",
          "bash", path, std::to_string(changes), signals, watched};
}

tly_bbp_program_run tly_bbp_run_program(const std::string& input, double seconds,
                                        const std::vector<std::string>& environment,
                                        const std::vector<std::string>& prefix) {
  std::vector<std::string> command = prefix;
  command.push_back(TLY_BBP_PROGRAM);
  return tly_bbp_run_command(input, seconds, environment, command);
}

tly_bbp_program_run tly_bbp_run_with_arguments(const std::vector<std::string>& arguments, double seconds) {
  std::vector<std::string> command{TLY_BBP_PROGRAM};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return tly_bbp_run_command("", seconds, {}, command);
}

// Input and output go through files; `timeout` ends a run that hangs (TERM, then KILL).
tly_bbp_program_run tly_bbp_run_command(const std::string& input, double seconds,
                                        const std::vector<std::string>& environment,
                                        const std::vector<std::string>& command) {
  // Each run its own directory, so that runs of parallel tests and suites never meet.
  const std::string directory = new_directory("tly_bbp_run");
  if (directory.empty()) return {-1, false, "", "cannot make a scratch directory for the run\n"};
  const std::string in_path = directory + "/in", out_path = directory + "/out", err_path = directory + "/err";
  std::ofstream(in_path, std::ios::binary) << input;
  // Compiled GPU programs go to the run's own directory, never to the user's cache, unless
  // the test names a cache of its own.
  std::string line = "timeout -k 5 " + std::to_string(seconds * tly_bbp_build_slowdown()) + " env";
  add_quoted(line, "TLY_BBP_CACHE_DIR=" + directory + "/programs");
  for (const std::string& word : environment) add_quoted(line, word);
  for (const std::string& word : command) add_quoted(line, word);
  const int status = std::system((line + " <" + in_path + " >" + out_path + " 2>" + err_path).c_str());
  std::ostringstream output, errors;
  output << std::ifstream(out_path, std::ios::binary).rdbuf();
  errors << std::ifstream(err_path, std::ios::binary).rdbuf();
  std::filesystem::remove_all(directory);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return {code, code == 124, output.str(), errors.str()};
}

std::string tly_bbp_mask_times(const std::string& output) {
  static const std::regex time_value("Time: [0-9.e+-]+");
  return std::regex_replace(output, time_value, "Time: #");
}

std::string tly_bbp_hex_digits(const std::string& output) {
  const size_t heading = output.find("Hexadecimal Digits starting from: ");
  if (heading == std::string::npos) return {};
  std::string digits;
  for (size_t i = output.find('\n', heading); i < output.size(); ++i)
    if (std::isxdigit(static_cast<unsigned char>(output[i])) && !std::isupper(static_cast<unsigned char>(output[i])))
      digits += output[i];
  return digits;
}

std::string tly_bbp_text_of(FILE* file) {
  std::string text;
  std::rewind(file);
  for (int ch; (ch = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(ch));
  std::fclose(file);
  return text;
}
