// Standard streams that fail or go away: output closed or full, a reader that leaves during
// the run, output to a file, input closed or unreadable. Each run ends promptly and says
// by its exit code whether it succeeded.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "run_program.h"

namespace {

// The program started by the shell with `redirections` applied to it.
tly_bbp_program_run run_redirected(const std::string& input, const std::string& redirections, double seconds) {
  return tly_bbp_run_program(input, seconds, {}, {"sh", "-c", "exec \"$0\" " + redirections});
}

// Days of work at the last Plouffe place: a run that must never get that far.
const std::string endless_run = "0\n17592186044415\n8\n";
const std::string short_run = "0\n1\n8\n";

// Standard error goes where the test reads, so the message about the failed output is seen.
TEST(OutputStream, ClosedOrFullOutputEndsBeforeComputing) {
  for (const char* output : {">&-", ">/dev/full"}) {
    for (const std::string& input : {short_run, endless_run}) {
      const tly_bbp_program_run run = run_redirected(input, std::string("2>&1 ") + output, 30);
      ASSERT_FALSE(run.timed_out) << output;
      EXPECT_EQ(run.exit_code, 1) << output;
      EXPECT_EQ(run.output, "tallyspire-bbp: standard output cannot be written\n") << output;
    }
  }
}

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Ending {
  int exit_code;  // 128 + signal number when a signal ended the program
  bool timed_out;
};

// Runs the program on `input`, reads its output until `marker` has appeared, then closes the
// reading end and waits at most `seconds` for the program to end. With `ignore_sigpipe` the
// program inherits SIGPIPE ignored, as from some shells and service managers.
Ending run_until_reader_leaves(const std::string& input, const std::string& marker, bool ignore_sigpipe,
                               double seconds) {
  // The program may be gone before it read its input; that write must not end the test.
  signal(SIGPIPE, SIG_IGN);
  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) std::abort();
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    close(to_child[0]);
    close(to_child[1]);
    close(from_child[0]);
    close(from_child[1]);
    signal(SIGPIPE, ignore_sigpipe ? SIG_IGN : SIG_DFL);
    execl(TLY_BBP_PROGRAM, TLY_BBP_PROGRAM, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  // The input is a few bytes: the pipe takes it whole.
  (void)!write(to_child[1], input.data(), input.size());
  close(to_child[1]);

  const double deadline = now_seconds() + seconds;
  std::string output;
  char buffer[4096];
  while (output.find(marker) == std::string::npos && now_seconds() < deadline) {
    pollfd p{from_child[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(from_child[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, size_t(n));
  }
  close(from_child[0]);

  Ending ending{0, false};
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (now_seconds() > deadline) {
      ending.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  ending.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ending;
}

// A reader that leaves (as `| head` does) ends the run at the program's next write, even when
// SIGPIPE was ignored by whoever started it: the program dies of SIGPIPE instead of computing
// on for nobody and then exiting as if it had succeeded. The place's run lasts many seconds
// and its first block a fraction of that; the limit only guards against a hang.
TEST(OutputStream, ReaderLeavingEndsTheRunAtTheNextWrite) {
  const std::string long_run = "0\n1000000001\n8\n";
  for (const char* marker : {"", "Formula = ", "Term: 1 / 4\n"}) {
    for (bool ignore_sigpipe : {false, true}) {
      const Ending ending = run_until_reader_leaves(long_run, marker, ignore_sigpipe, 60);
      ASSERT_FALSE(ending.timed_out) << "after \"" << marker << "\", SIGPIPE ignored: " << ignore_sigpipe;
      EXPECT_EQ(ending.exit_code, 128 + SIGPIPE) << "after \"" << marker << "\", SIGPIPE ignored: " << ignore_sigpipe;
    }
  }
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Output to a file holds exactly what a pipe receives (times aside), down to the last digit.
TEST(OutputStream, FileHoldsTheWholeTranscript) {
  const std::string path = testing::TempDir() + "tly_bbp_transcript.txt";
  for (const std::string& input : {std::string("0\n12345\n1024\n"), std::string("1\n1000\n100\n")}) {
    const tly_bbp_program_run piped = tly_bbp_run_program(input, 60);
    ASSERT_FALSE(piped.timed_out);
    ASSERT_EQ(piped.exit_code, 0);
    const tly_bbp_program_run filed = run_redirected(input, ">'" + path + "'", 60);
    ASSERT_FALSE(filed.timed_out);
    EXPECT_EQ(filed.exit_code, 0);
    EXPECT_EQ(filed.output, "");
    const std::string transcript = file_text(path);
    EXPECT_EQ(tly_bbp_mask_times(transcript), tly_bbp_mask_times(piped.output)) << input;
    EXPECT_NE(transcript.find("Hexadecimal Digits starting from: "), std::string::npos) << input;
  }
  std::remove(path.c_str());
}

// Input that is closed, empty or unreadable ends the dialogue at its first prompt.
TEST(InputStream, ClosedEmptyOrUnreadableInputEndsAtTheFirstPrompt) {
  for (const char* input : {"<&-", "</dev/null", "</"}) {
    const tly_bbp_program_run run = run_redirected("", input, 30);
    ASSERT_FALSE(run.timed_out) << input;
    EXPECT_EQ(run.exit_code, 1) << input;
    const size_t prompt = run.output.find("Formula = ");
    ASSERT_NE(prompt, std::string::npos) << input;
    EXPECT_EQ(run.output.substr(prompt), "Formula = \nInput ended before all answers were given.\n") << input;
  }
}

}  // namespace
