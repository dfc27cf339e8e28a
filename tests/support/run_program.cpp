// Test support: runs the built program with piped input and reads what it printed.
#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>

namespace {

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

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

tly_bbp_program_run tly_bbp_run_command(const std::string& input, double seconds,
                                        const std::vector<std::string>& environment,
                                        const std::vector<std::string>& command) {
  int to_child[2], from_child[2], errors_from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0 || pipe2(errors_from_child, O_CLOEXEC) != 0)
    std::abort();
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    dup2(errors_from_child[1], STDERR_FILENO);
    signal(SIGPIPE, SIG_DFL);
    for (const std::string& e : environment) putenv(strdup(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(strdup(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  close(errors_from_child[1]);
  // The program may stop reading early; its input is then simply dropped.
  signal(SIGPIPE, SIG_IGN);
  fcntl(to_child[1], F_SETFL, O_NONBLOCK);

  tly_bbp_program_run run{0, false, {}, {}};
  size_t written = 0;
  int in_fd = to_child[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  const double deadline = now_seconds() + seconds;
  char buffer[65536];
  int errors_fd = errors_from_child[0];
  for (;;) {
    pollfd fds[3] = {{from_child[0], POLLIN, 0}, {errors_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    const double left = deadline - now_seconds();
    if (left <= 0) {
      run.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, in_fd >= 0 ? 3 : 2, int(left * 1000) + 1) < 0 && errno != EINTR) break;
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += size_t(n);
      if (n < 0 && errno != EAGAIN) written = input.size();
      if (written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    // Standard error is read as it comes so that the program never blocks on it; its end
    // does not end the run.
    if (errors_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = read(errors_fd, buffer, sizeof buffer);
      if (n > 0) run.errors.append(buffer, size_t(n));
      if (n <= 0) {
        close(errors_fd);
        errors_fd = -1;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = read(from_child[0], buffer, sizeof buffer);
      if (n <= 0) break;
      run.output.append(buffer, size_t(n));
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(from_child[0]);
  // What standard error still holds once standard output has ended.
  for (ssize_t n; errors_fd >= 0 && !run.timed_out && (n = read(errors_fd, buffer, sizeof buffer)) > 0;)
    run.errors.append(buffer, size_t(n));
  if (errors_fd >= 0) close(errors_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

std::string tly_bbp_mask_times(const std::string& output) {
  static const std::regex time_value("Time: [0-9.e+-]+");
  return std::regex_replace(output, time_value, "Time: #");
}

std::string tly_bbp_hex_digits(const std::string& output) {
  const size_t heading = output.find("Hexadecimal Digits starting from: ");
  if (heading == std::string::npos) return {};
  std::string digits;
  for (size_t i = output.find('\n', heading); i < output.size(); ++i) {
    const char c = output[i];
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) digits += c;
  }
  return digits;
}
