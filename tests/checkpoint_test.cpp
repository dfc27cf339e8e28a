// Checkpoints: claims of the unfinished terms and the record's check; hostile paths and files
// (damaged, truncated, foreign, not regular, links, in use) refused at once, never written
// through; a finished one answers at once, even from a read-only place.
#include "cli/checkpoint.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "engine/pblock.h"
#include "exact.h"
#include "run_program.h"

namespace {

TEST(Checkpoint, OneOpenRangeIsClaimedAsTheBlockLoopClaims) {
  for (int32_t team : {1, 2, 8}) {
    std::vector<tly_bbp_range> open{{0, 100000000}};
    uint64_t next = 0, size = 16777216, gap_size = 16777216, first, last, gap_first, gap_last;
    while (tly_bbp_claim_block(100000000, team, &next, &size, &first, &last)) {
      ASSERT_TRUE(tly_bbp_claim_unfinished(&open, team, &gap_size, &gap_first, &gap_last));
      EXPECT_EQ(gap_first, first);
      EXPECT_EQ(gap_last, last);
    }
    EXPECT_FALSE(tly_bbp_claim_unfinished(&open, team, &gap_size, &gap_first, &gap_last));
  }
}

TEST(Checkpoint, ClaimsFillTheGapsAndTheRecordMergesAndCarries) {
  const uint64_t unit = 4194304, terms = 30000000;
  tly_bbp_series_record record{terms, {}, {}};
  const int64_t one[2] = {1, 2};
  record.finished = {{0, 2 * unit}, {4 * unit, 5 * unit}};
  record.sum = {10, 20};
  std::vector<tly_bbp_range> open = tly_bbp_unfinished(record);
  ASSERT_EQ(open.size(), 2u);
  uint64_t size = 2 * unit, first, last, covered = 0;
  int blocks = 0;
  while (tly_bbp_claim_unfinished(&open, 2, &size, &first, &last)) {
    EXPECT_EQ(first % unit, 0u);
    covered += last - first;
    tly_bbp_record_block(&record, first, last, one, 2);
    ++blocks;
  }
  EXPECT_EQ(covered, terms - 3 * unit);
  ASSERT_EQ(record.finished.size(), 1u);
  EXPECT_TRUE(record.finished[0].first == 0 && record.finished[0].last == terms);
  EXPECT_EQ(record.sum, (std::vector<uint64_t>{uint64_t(10 + blocks), uint64_t(20 + 2 * blocks)}));
  EXPECT_TRUE(tly_bbp_ranges_valid(record.finished, terms));
  EXPECT_FALSE(tly_bbp_ranges_valid({{0, unit}, {unit, 2 * unit}}, terms));  // not merged
  EXPECT_FALSE(tly_bbp_ranges_valid({{1, unit}}, terms));
  EXPECT_FALSE(tly_bbp_ranges_valid({{0, unit + 1}}, terms));
  EXPECT_FALSE(tly_bbp_ranges_valid({{0, terms + unit}}, terms));
  // The series' end check: a record that differs from the sum in its terms or in its sum is a fault.
  int64_t sum[2] = {10 + blocks, 20 + 2 * blocks};
  EXPECT_TRUE(tly_bbp_record_matches(record, sum, 2));
  sum[1] += 1;
  EXPECT_FALSE(tly_bbp_record_matches(record, sum, 2));
  sum[1] -= 1;
  record.finished[0].last -= unit;
  EXPECT_FALSE(tly_bbp_record_matches(record, sum, 2));
  // A record's sum carries: near 2^64 a cell summed without carrying would wrap and lose 2^64.
  record = {8 * unit, {}, {~uint64_t{0}, 0, 5}};  // 6 * 2^64 - 1
  const int64_t low[3] = {1, 0, 0};
  tly_bbp_record_block(&record, 0, unit, low, 3);
  EXPECT_EQ(record.sum, (std::vector<uint64_t>{0, 0, 6}));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Every file under `directory` (links not followed) and its bytes, or what it is.
std::map<std::string, std::string> contents(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory))
    files[entry.path().string()] =
        entry.is_symlink()            ? "link to " + std::filesystem::read_symlink(entry).string()
        : !entry.is_regular_file()    ? "not a regular file"
        : entry.file_size() > 1 << 20 ? std::to_string(entry.file_size()) + " bytes"
                                      : read_file(entry.path().string());
  return files;
}

const std::vector<std::string> small_run = {"--place", "1e6+1", "--formula", "both", "--json", "--quiet"};

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& more) {
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// What a case puts in its own directory ("ck" is the checkpoint), the run's arguments, exit code
// and a part of standard error. A refused or finished checkpoint stays as it was, nothing new
// beside it but the lock file; `check` looks at the output and at what a computing run left.
struct file_case {
  const char* what;
  std::function<void(const std::string& directory)> prepare;
  int exit_code;
  const char* message;
  std::vector<std::string> arguments = small_run;
  bool read_only = false;  // the directory, for a user who cannot write there
  std::function<void(const std::string& directory, const std::string& output)> check = nullptr;
  // Run by bash before the program (exec "$@" and its redirections): limits, closed streams.
  const char* shell = nullptr;
  bool saves = false;  // the run may have saved before it failed
};

TEST(Checkpoint, HostileFilesAndPathsAreRefusedAtOnceAndNeverWrittenThrough) {
  const std::string first_path = tly_bbp_scratch_directory() + "ck";
  const tly_bbp_program_run first = tly_bbp_run_with_arguments(with(small_run, {"--checkpoint", first_path}));
  ASSERT_EQ(first.exit_code, 0) << first.errors;
  const nlohmann::json results = nlohmann::json::parse(first.output)["results"];
  const std::string good = read_file(first_path);
  ASSERT_GT(good.size(), 100u);
  auto holding = [](const std::string& bytes) { return [=](const std::string& d) { write_file(d + "ck", bytes); }; };
  auto changed = [&](size_t at, char value) {
    std::string bytes = good;
    bytes[at] = value;
    return holding(bytes);
  };
  auto made = [](auto make, const char* name) { return [=](const std::string& d) { make((d + name).c_str(), 0755); }; };
  auto linked = [](const char* target, const char* name) {
    return [=](const std::string& d) { symlink(target, (d + name).c_str()); };
  };
  auto with_gigabyte = [](const std::string& bytes) {
    return [=](const std::string& d) { write_file(d + "ck", bytes), std::filesystem::resize_file(d + "ck", 1 << 30); };
  };
  // Valid checksums, impossible contents: a finished range that no block could have made.
  tly_bbp_checkpoint odd = tly_bbp_fresh_checkpoint(2, 1000001, 32), beyond = odd, disagreeing = odd, unearned = odd;
  odd.formulas[1].series[3].finished = {{1, 4194304}};
  beyond.formulas[0].series[0].finished = {{0, beyond.formulas[0].series[0].term_count + 1}};
  unearned.formulas[1].series[2].sum[0] = 1;  // a sum with no finished block to come from
  // Finished, with the first Plouffe series off in its top digit: the windows differ from digit 1 on.
  std::string error;
  ASSERT_EQ(tly_bbp_read_checkpoint(first_path, &disagreeing, &error), tly_bbp_checkpoint_read::loaded) << error;
  disagreeing.formulas[0].series[0].sum.back() += uint64_t{1} << 28;
  // Off in the third digit (or the second, should the third carry): the place named follows it.
  tly_bbp_checkpoint later_digit = disagreeing;
  later_digit.formulas[0].series[0].sum.back() += (uint64_t{1} << 20) - (uint64_t{1} << 28);
  // What a run that failed left behind is whole: without the fault, the run resumes from it.
  const std::vector<std::string> bounded_run = {"--place",   "1e6+1", "--digits", "80",
                                                "--threads", "1",     "--json",   "--quiet"};
  auto resumed = [](const std::string& d, const std::vector<std::string>& arguments, uint64_t digits) {
    const tly_bbp_program_run again = tly_bbp_run_with_arguments(with(arguments, {"--checkpoint", d + "ck"}));
    ASSERT_EQ(again.exit_code, 0) << again.errors;
    const nlohmann::json j = nlohmann::json::parse(again.output);
    EXPECT_TRUE(j["from_checkpoint"] == true && j["hexadecimal"] == tly_bbp_oracle_hex(1000001, digits)) << j;
  };
  auto finished_again = [&](const std::string& d) { resumed(d, small_run, 32); };
  auto resumed_under_no_limit = [&](const std::string& d) {
    // The fresh state fits 1024 bytes; a save with every series finished does not.
    EXPECT_LE(read_file(d + "ck").size(), 1024u);
    EXPECT_FALSE(std::filesystem::exists(d + "ck.tmp"));
    resumed(d, bounded_run, 80);
  };
  auto computed = [&](const std::string& d, const std::string& output) {
    EXPECT_EQ(nlohmann::json::parse(output)["results"][0]["hexadecimal"], results[0]["hexadecimal"]);
    EXPECT_FALSE(std::filesystem::exists(d + "ck.tmp") || std::filesystem::exists(d + "elsewhere/target.tmp"));
  };
  // Checksums made anew: a file of a later version, and files of format version 1, saved before
  // an upgrade (the same fields, its header without the size and the header's checksum).
  auto with_crc = [](std::string bytes, size_t at) {
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(at)));
    return bytes.replace(at, 4, reinterpret_cast<const char*>(&crc), 4);
  };
  auto version_1 = [&](const std::string& bytes) {
    return with_crc(bytes.substr(0, 8) + '\1' + bytes.substr(9, 27) + bytes.substr(48), bytes.size() - 16);
  };
  std::string later = good;
  later[8] = 3;
  tly_bbp_checkpoint partial = disagreeing;  // the Plouffe series still to compute
  partial.formulas[0] = tly_bbp_fresh_checkpoint(2, 1000001, 32).formulas[0];
  const std::string partial_1 = version_1(tly_bbp_checkpoint_bytes(partial)), good_1 = version_1(good);
  std::string damaged_1 = good_1;
  damaged_1[100] ^= 0x10;

  const file_case cases[] = {
      {"a byte changed", changed(good.size() / 2, char(good[good.size() / 2] ^ 0x10)), 2, "damaged (checksum"},
      {"the checksum changed", changed(good.size() - 1, char(good.back() ^ 1)), 2, "damaged (checksum"},
      {"a byte of the version changed", changed(9, 1), 2, "damaged (its header"},
      {"a byte of the place changed", changed(16, char(good[16] ^ 4)), 2, "damaged (its header"},
      {"a later format version", holding(with_crc(later, 44)), 2, "format version 3, this program reads versions 1 and 2"},
      {"format version 1, resumed", holding(partial_1), 0, "", small_run, false,
       [&](const std::string& d, const std::string& output) {
         computed(d, output);
         EXPECT_EQ(read_file(d + "ck").substr(8, 4), std::string("\2\0\0\0", 4));  // saved as version 2
       }},
      {"format version 1, a byte changed", holding(damaged_1), 2, "damaged (checksum"},
      {"format version 1 followed by 1 GB", with_gigabyte(good_1), 2, "inconsistent (it is 1073741824 bytes)"},
      {"format version 1, another place", holding(good_1), 2, "another run", {"--place", "1e6+2", "--formula", "both"}},
      {"truncated by one byte", holding(good.substr(0, good.size() - 1)), 2, "truncated"},
      {"truncated in the header", holding(good.substr(0, 10)), 2, "truncated"},
      {"empty", holding(""), 2, "not a checkpoint"},
      {"another place", holding(good), 2, "another run", {"--place", "1e6+2", "--formula", "both"}},
      {"another formula", holding(good), 2, "another run", {"--place", "1e6+1", "--formula", "bellard"}},
      {"more digits", holding(good), 2, "another run", with(small_run, {"--digits", "40"})},
      {"a range off the block grid", holding(tly_bbp_checkpoint_bytes(odd)), 2, "inconsistent"},
      {"a range past the end", holding(tly_bbp_checkpoint_bytes(beyond)), 2, "inconsistent"},
      {"a sum where nothing finished", holding(tly_bbp_checkpoint_bytes(unearned)), 2, "inconsistent"},
      // Nothing but a regular file is read, and no further than its header says.
      {"a directory", made(mkdir, "ck"), 2, "it is a directory"},
      {"a FIFO", made(mkfifo, "ck"), 2, "it is a FIFO"},
      {"a link to /dev/zero", linked("/dev/zero", "ck"), 2, "it is a character device"},
      {"1 GB of zeros", with_gigabyte(""), 2, "not a checkpoint"},
      {"a checkpoint followed by 1 GB", with_gigabyte(good), 2, "longer than its header declares"},
      // Saves make a new temporary file: never through a link, and nothing else replaced.
      {"a link to a victim as the temporary file",
       [&](const std::string& d) { write_file(d + "victim", "precious"), linked("victim", "ck.tmp")(d); }, 2,
       "ck.tmp is a symbolic link"},
      {"a directory as the temporary file", made(mkdir, "ck.tmp"), 2, "ck.tmp is a directory"},
      {"a crashed save's temporary file", [](const std::string& d) { write_file(d + "ck.tmp", "partial"); }, 0, "",
       small_run, false, computed},
      // A link as the checkpoint is followed once: its target is read, saves go beside it.
      {"a link to a file elsewhere",
       [&](const std::string& d) { made(mkdir, "elsewhere")(d), linked("elsewhere/target", "ck")(d); }, 0, "",
       small_run, false,
       [&](const std::string& d, const std::string& output) {
         computed(d, output);
         EXPECT_TRUE(std::filesystem::is_symlink(d + "ck"));
         EXPECT_EQ(read_file(d + "elsewhere/target").substr(0, 8), "TLYBBPCP");
       }},
      // A finished one is printed at once, with no write and no lock.
      {"finished, in a read-only place", holding(good), 0, "", small_run, true,
       [&](const std::string&, const std::string& output) {
         EXPECT_EQ(nlohmann::json::parse(output)["from_checkpoint"], true);
         EXPECT_EQ(nlohmann::json::parse(output)["results"], results);  // digits and every series' time, as saved
         // Each formula's time is its series' times, saved by the earlier run, and the run's theirs.
         double total = 0;
         for (const nlohmann::json& r : results) {
           double series = 0;
           for (const nlohmann::json& s : r["series_seconds"]) series += s.get<double>();
           EXPECT_NEAR(r["seconds"].get<double>(), series, 0.001 * double(r["series_seconds"].size())) << r;
           total += r["seconds"].get<double>();
         }
         EXPECT_NEAR(nlohmann::json::parse(output)["seconds"].get<double>(), total, 0.002);
       }},
      {"finished, the formulas disagreeing", holding(tly_bbp_checkpoint_bytes(disagreeing)), 3, "", small_run, false,
       [](const std::string&, const std::string& output) {
         const nlohmann::json j = nlohmann::json::parse(output);
         EXPECT_TRUE(j["agree"] == false && j["first_difference"] == 1 && !j.contains("hexadecimal")) << output;
       }},
      {"finished, the formulas disagreeing, as text", holding(tly_bbp_checkpoint_bytes(disagreeing)), 3, "",
       {"--place", "1e6+1", "--formula", "both"}, false,
       [](const std::string&, const std::string& output) {
         EXPECT_NE(output.find("The formulas disagree from digit 1 on (hexadecimal place 1000001)."), output.npos);
         EXPECT_NE(output.find("Result: the formulas DISAGREE from digit 1,"), std::string::npos);
       }},
      {"finished, the formulas disagreeing further on", holding(tly_bbp_checkpoint_bytes(later_digit)), 3, "",
       {"--place", "1e6+1", "--formula", "both"}, false,
       [](const std::string&, const std::string& output) {
         std::smatch found;
         ASSERT_TRUE(std::regex_search(output, found, std::regex("disagree from digit ([23]) on \\(hexadecimal place "
                                                                 "100000([0-9])\\)\\.")))
             << output;
         EXPECT_EQ(found[1], found[2]);
       }},
      // Closed streams, limits: the program's own message and a checkpoint that stays whole.
      {"standard input and output closed", nullptr, 1, "tallyspire-bbp: standard output cannot be written\n",
       small_run, false,
       [&](const std::string& d, const std::string&) {
         EXPECT_EQ(read_file(d + "ck.lock"), "");
         finished_again(d);
       },
       "exec \"$@\" <&- >&-", true},
      // While it runs, the closed descriptors hold /dev/null, not the lock or a save in progress.
      {"standard input and output closed, looked at", nullptr, 143,
       "/dev/null\n/dev/null\ntallyspire-bbp: stopped by signal 15",
       {"--place", "1e8+1", "--threads", "1", "--quiet"}, false, nullptr,
       "\"$@\" <&- >&- & p=$!; f=${@: -1}; until [ -s \"$f\" ] || ! kill -0 $p; do sleep 0.01; done; "
       "readlink /proc/$p/fd/0 /proc/$p/fd/1 >&2; kill -TERM $p; wait $p",
       true},
      {"a file-size limit below the checkpoint's size", nullptr, 1, "cannot write the checkpoint ", bounded_run, false,
       [&](const std::string& d, const std::string&) { resumed_under_no_limit(d); }, "ulimit -f 1; exec \"$@\"", true},
      {"too few descriptors to open it", nullptr, 1, "tallyspire-bbp: cannot open the checkpoint ", small_run, false,
       nullptr, "exec 3<&-; ulimit -n 4; exec \"$@\""},
      {"too little memory for the threads", nullptr, 1, "tallyspire-bbp: cannot start 64 threads: ",
       with(small_run, {"--threads", "64"}), false, nullptr, "ulimit -v 60000; exec \"$@\""},
  };
  for (const file_case& c : cases) {
    SCOPED_TRACE(c.what);
    // A sanitizer needs address space and descriptors of its own beyond such limits.
    const std::string shell = c.shell ? c.shell : "";
    const bool limited = shell.find("ulimit -v") != shell.npos || shell.find("ulimit -n") != shell.npos;
    if (limited && tly_bbp_build_slowdown() > 1) continue;
    const std::string directory = tly_bbp_scratch_directory();
    if (c.prepare) c.prepare(directory);
    const std::map<std::string, std::string> before = contents(directory);
    std::vector<std::string> command;
    if (c.read_only) {
      // Root writes anywhere: it runs as nobody then.
      chmod(directory.c_str(), 0555);
      if (geteuid() == 0) command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    if (c.shell) command.insert(command.end(), {"bash", "-c", c.shell, "bash"});
    command.push_back(TLY_BBP_PROGRAM);
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    command.insert(command.end(), {"--checkpoint", directory + "ck"});
    const tly_bbp_program_run run = tly_bbp_run_command("", 60, {}, command);
    chmod(directory.c_str(), 0700);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.errors;
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    EXPECT_TRUE(c.exit_code != 2 || run.output.empty()) << run.output;
    std::map<std::string, std::string> after = contents(directory);
    after.erase(directory + "ck.lock");
    EXPECT_TRUE(((c.exit_code == 0 || c.saves) && !c.read_only) || after == before)
        << "a refused or finished checkpoint changed";
    if (c.check) c.check(directory, run.output);
  }
}

// A second run on a checkpoint in use is refused at once; the first runs on untouched.
TEST(Checkpoint, ASecondRunOnACheckpointInUseIsRefused) {
  const std::string path = tly_bbp_scratch_directory() + "ck";
  const std::vector<std::string> command = {
      "bash", "-c",
      "file=$1; shift; \"$@\" >/dev/null 2>&1 & first=$!; until [ -s \"$file\" ] || ! kill -0 $first; "
      "do sleep 0.01; done; \"$@\"; echo second $?; kill -TERM $first; wait $first; echo first $?",
      "bash", path, TLY_BBP_PROGRAM, "--place", "1e9+1", "--threads", "1", "--quiet", "--checkpoint", path,
      "--checkpoint-every", "0.001"};
  const tly_bbp_program_run run = tly_bbp_run_command("", 60, {}, command);
  EXPECT_EQ(run.output, "second 2\nfirst 143\n");
  EXPECT_NE(run.errors.find("checkpoint " + path + " is in use by another run"), std::string::npos) << run.errors;
}

}  // namespace
