// Digits of pi from both formulas against known digits and the oracle, and the program's
// behaviour when its streams fail, under memcheck, and on its fatal paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/kernel.h"
#include "engine/pblock.h"
#include "engine/system.h"
#include "exact.h"
#include "Main/console.h"
#include "formulas/formulas.h"
#include "formulas/run_values.h"
#include "run_program.h"

namespace {

std::string program_digits(int formula, uint64_t start, uint64_t digits) {
  const std::string input = std::to_string(formula) + " " + std::to_string(start) + " " + std::to_string(digits) + "\n";
  const tly_bbp_program_run run = tly_bbp_run_program(input, 120);
  EXPECT_EQ(run.exit_code, 0) << input;
  EXPECT_NE(run.output.find("Hexadecimal Digits starting from: 16^-" + std::to_string(start) + "\n"), std::string::npos);
  return tly_bbp_hex_digits(run.output);
}

TEST(KnownDigits, ThroughTheProgram) {
  EXPECT_EQ(program_digits(0, 1, 16), "243f6a8885a308d3");
  EXPECT_EQ(program_digits(0, 100, 64).substr(0, 16), "c29b7c97c50dd3f8");
  EXPECT_EQ(program_digits(1, 8, 70), tly_bbp_oracle_hex(8, 70));
  // Digits published with the formula, beyond the oracle's reach here; those at 10^8 + 1 are
  // the slow runs' with every variant.
  for (int formula : {0, 1}) EXPECT_EQ(program_digits(formula, 10000000, 14), "17af5863efed8d");
}

// The variant the formulas run with here.
tly_bbp_variant_policy formula_policy = tly_bbp_engine_choice;

// Every digit of the display words, the low ones the display leaves out included, from the
// formula called in this process, silent.
std::string formula_digits(int formula, uint64_t start, uint64_t digits) {
  const tly_bbp_run_values run = tly_bbp_derive_run_values(start, digits);
  alignas(16) uint32_t result[131];
  tly_bbp_engine_run engine{};
  engine.variants = formula_policy;
  EXPECT_EQ((formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(result, run.position, run.words, run.block_hint,
                                                                      engine),
            tly_bbp_status_done);
  char hex[9];
  std::string all;
  for (uint64_t i = run.words - 1; i >= 3; --i) all += (std::snprintf(hex, 9, "%08x", result[i]), hex);
  return all;
}

// Windows of both formulas at places where the block hint and word boundaries step, a sweep
// to 10^5 and places near 2^20, with digit counts on both sides of multiples of 8.
TEST(OracleWindows, BothFormulasGiveEveryDigitOfPi) {
  std::vector<std::pair<uint64_t, uint64_t>> windows = {
      {1, 9},      {2, 15},     {3, 1024},    {5, 8},      {7, 31},       {8, 8},       {9, 1024},   {12, 64},
      {13, 65},    {16, 1023},  {31, 1000},   {32, 8},     {33, 33},      {63, 255},    {64, 16},    {65, 1024},
      {97, 129},   {1023, 8},   {1024, 513},  {4095, 1024}, {32768, 8},   {65535, 31},  {65536, 1024}, {99999, 1024},
      {999999, 1024}, {1000001, 40}, {1048576, 9}, {1048577, 64}};
  for (uint64_t i = 0; i < 12; ++i) windows.push_back({37 + 8353 * i, 8 + (173 * i) % 1017});
  for (const auto& [start, digits] : windows) {
    const std::string pi = tly_bbp_oracle_hex(start, (digits + 7) / 8 * 8);
    EXPECT_EQ(formula_digits(0, start, digits), pi) << "Plouffe at " << start << ", " << digits << " digits";
    if (start >= 8) { EXPECT_EQ(formula_digits(1, start, digits), pi) << "Bellard at " << start << ", " << digits; }
  }
  EXPECT_EQ(tly_bbp_oracle_hex(1000000, 14), "26c65e52cb4593");  // the oracle itself: a published value
  // Different arithmetics leave different cells, but every variant gives the digits of pi.
  const std::string pi = tly_bbp_oracle_hex(1000001, 40);
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    formula_policy = tly_bbp_engine_choice;
    if (tly_bbp_use_variant(&formula_policy, tly_bbp_variants[i].name)) {
      for (int formula : {0, 1}) EXPECT_EQ(formula_digits(formula, 1000001, 40), pi) << tly_bbp_variants[i].name;
    }
  }
  formula_policy = tly_bbp_engine_choice;
}

// --- Streams that fail or go away -------------------------------------------------------------

// The time limits only catch a hang: a sanitizer build on a loaded machine is many times slower.
tly_bbp_program_run run_redirected(const std::string& input, const std::string& redirections, double seconds = 60) {
  return tly_bbp_run_program(input, seconds, {}, {"sh", "-c", "exec \"$0\" " + redirections});
}

TEST(Streams, FailedOutputOrInputEndsTheRunPromptly) {
  // Output closed or full: the run ends before computing, even one of days.
  for (const char* output : {"2>&1 >&-", "2>&1 >/dev/full"})
    for (const char* input : {"0\n1\n8\n", "0\n17592186044415\n8\n"}) {
      const tly_bbp_program_run run = run_redirected(input, output, 120);
      EXPECT_EQ(run.exit_code, 1) << output;
      EXPECT_EQ(run.output, "tallyspire-bbp: standard output cannot be written\n") << output;
    }
  // Input closed, empty or unreadable ends the dialogue at its first prompt.
  for (const char* input : {"<&-", "</dev/null", "</"}) {
    const tly_bbp_program_run run = run_redirected("", input, 120);
    EXPECT_EQ(run.exit_code, 1) << input;
    EXPECT_EQ(run.output.substr(run.output.find("Formula = ")), "Formula = \nInput ended before all answers were given.\n");
  }
}

// A reader that leaves (as `| head` does) ends a long run at the program's next write, even
// when SIGPIPE was ignored by whoever started it, instead of it computing on for nobody.
TEST(Streams, ReaderLeavingEndsTheRun) {
  for (const char* read : {"0", "200", "700"})  // nothing, the banner, up to the first series
    for (const char* trap : {"", "trap '' PIPE;"}) {
      const std::string line = std::string("printf '0 1000000001 8\\n' | (") + trap + " exec '" TLY_BBP_PROGRAM
                               "') | head -c " + read + " >/dev/null; echo ${PIPESTATUS[1]}";
      const tly_bbp_program_run run = tly_bbp_run_command("", 300, {}, {"bash", "-c", line});
      EXPECT_EQ(run.output, std::to_string(128 + SIGPIPE) + "\n") << read << " " << trap;
    }
}

TEST(Memcheck, SmallRunsOfEachFormulaAreClean) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind cannot run a sanitized program";
#endif
#if defined(TLY_BBP_EMULATED)
  GTEST_SKIP() << "valgrind cannot run a program under an emulator";
#endif
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  // Place 1 takes the scalar paths only; 100001 fills groups of eight.
  const struct {
    const char* input;
    uint64_t start, digits;
  } runs[] = {{"0\n1\n16\n", 1, 16}, {"1\n8\n16\n", 8, 16}, {"0\n100001\n8\n", 100001, 8}, {"1\n100001\n8\n", 100001, 8}};
  for (const auto& r : runs) {
    const tly_bbp_program_run run = tly_bbp_run_program(
        r.input, 300, {}, {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite"});
    EXPECT_EQ(run.exit_code, 0) << r.input << " (99: memcheck found errors)";
    EXPECT_EQ(tly_bbp_hex_digits(run.output), tly_bbp_oracle_hex(r.start, r.digits)) << r.input;
  }
}

// --- Failures: returned by the library, shown by the console ---------------------------------

int failing_allocation = 0, allocations_seen = 0;

void* fail_one(uint64_t bytes) {
  if (++allocations_seen == failing_allocation) return nullptr;
  return std::aligned_alloc(16, (bytes + 15) & ~uint64_t{15});
}
void release(void* memory) { std::free(memory); }
const tly_bbp_allocator failing = {fail_one, release};

// A run whose allocation number `which` fails, its console reports in `file`.
tly_bbp_engine_run failing_run(int which, FILE* file) {
  allocations_seen = 0;
  failing_allocation = which;
  tly_bbp_engine_run run{};
  run.variants = tly_bbp_engine_choice;
  run.allocator = &failing;
  run.callbacks = tly_bbp_console_callbacks;
  run.callbacks.user = file;
  return run;
}

TEST(Failures, AllocationFailureAnywhereIsReturned) {
  // Sizes no machine has, and sizes that would wrap when rounded up to the alignment.
  for (uint64_t bytes : {uint64_t{1} << 62, ~uint64_t{0} - 7, ~uint64_t{0}}) EXPECT_EQ(tly_bbp_alloc(bytes), nullptr);
  for (int which : {1, 2}) {
    int64_t out[4];
    EXPECT_EQ(tly_bbp_pblock(out, 4, 0, 2, 48, 4, 8, 1, 0, failing_run(which, nullptr)), tly_bbp_status_no_memory);
  }
  // In either formula, what was reported before stays and nothing follows.
  const struct {
    int formula, allocation;
    const char* before;
  } cases[] = {{0, 2, ""},
               {0, 3, "Terms Needed = 48\n\n\nTerm: 1 / 4\n"},
               {0, 9, "Terms Needed = 48\n[\\s\\S]*Term: 4 / 4\n"},
               {1, 16, "Terms Needed = 31\n[\\s\\S]*Term: 7 / 7\n"}};
  for (const auto& c : cases) {
    uint32_t result[4];
    FILE* file = std::tmpfile();
    EXPECT_EQ((c.formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(result, c.formula ? 28 : 0, 4, 0,
                                                                          failing_run(c.allocation, file)),
              tly_bbp_status_no_memory);
    const std::string text = tly_bbp_text_of(file);
    EXPECT_TRUE(std::regex_search(text, std::regex(std::string("^") + c.before + "$")))
        << c.formula << "/" << c.allocation << ": " << text;
  }
}

// The console shows the failure: the exact message, no line end, exit code 1. The message goes
// to standard output; a death test reads standard error. The alarm turns a hang into a failure.
TEST(Failures, ConsoleShowsAllocationFailure) {
  GTEST_FLAG_SET(death_test_style, tly_bbp_death_test_style);
  for (int which : {1, 2, 9}) {
    auto console = [which] {
      std::fflush(stdout);
      dup2(STDERR_FILENO, STDOUT_FILENO);
      alarm(60);
      std::istringstream answers("0 1 8\n");
      std::cin.rdbuf(answers.rdbuf());
      allocations_seen = 0;
      failing_allocation = which;
      tly_bbp_console_run({nullptr, [](int code) { std::_Exit(code); }, &failing, nullptr});
    };
    EXPECT_EXIT(console(), testing::ExitedWithCode(1), "Memory Allocation Failure$") << which;
  }
}

TEST(Failures, LaneCellOfTwoToThe56) {
  const struct {
    uint64_t cells, cell, value;
  } cases[] = {{4, 0, 1ull << 56}, {4, 31, 1ull << 56}, {131, 8 * 65 + 4, 1ull << 56}, {2, 9, 1ull << 63}, {4, 21, ~0ull}};
  for (const auto& c : cases) {
    std::vector<uint64_t> rows(8 * c.cells, 0);
    rows[c.cell] = c.value;
    EXPECT_FALSE(tly_bbp_check_lanes(rows.data(), c.cells)) << c.cells << "/" << c.cell;
  }
  EXPECT_STREQ(tly_bbp_status_message(tly_bbp_status_lane_overflow), "Error in computation. Expected < 2^56.");
  // Just below the bound every lane is carried into 32-bit digits, its value kept modulo 1.
  for (uint64_t fill : {0ull, 0xFFFFFFFFull, 0x100000000ull, (1ull << 56) - 1}) {
    std::vector<uint64_t> rows(32, fill);
    rows[8 * 3 + 6] = (1ull << 56) - 1;
    const std::vector<uint64_t> before = rows;
    EXPECT_TRUE(tly_bbp_check_lanes(rows.data(), 4));
    for (int lane = 0; lane < 8; ++lane) {
      unsigned __int128 was = 0, now = 0;
      for (int r = 3; r >= 0; --r) {
        was = (was << 32) + before[8 * r + lane];
        now = (now << 32) + rows[8 * r + lane];
        EXPECT_LE(rows[8 * r + lane], 0xFFFFFFFFu);
      }
      EXPECT_TRUE(was == now) << "lane " << lane;
    }
  }
}

}  // namespace
