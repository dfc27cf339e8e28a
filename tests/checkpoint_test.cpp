// Checkpoints: claims of the unfinished terms, and files that are damaged, truncated, of
// another version or of another run refused; a finished one answers at once.
#include "cli/checkpoint.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "engine/pblock.h"
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

TEST(Checkpoint, ClaimsFillTheGapsAndTheRecordMerges) {
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
}

// A record's sum carries: near 2^64 a cell summed without carrying would wrap and lose 2^64.
TEST(Checkpoint, RecordSumsCarry) {
  tly_bbp_series_record record{8 * 4194304, {}, {~uint64_t{0}, 0, 5}};  // 6 * 2^64 - 1
  const int64_t one[3] = {1, 0, 0};
  tly_bbp_record_block(&record, 0, 4194304, one, 3);
  EXPECT_EQ(record.sum, (std::vector<uint64_t>{0, 0, 6}));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

const std::vector<std::string> small_run = {"--place", "1e6+1", "--formula", "both", "--json", "--quiet"};

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& more) {
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST(Checkpoint, FinishedOneAnswersAtOnceWithTheSameDigits) {
  const std::string path = testing::TempDir() + "finished_checkpoint";
  std::remove(path.c_str());
  const tly_bbp_program_run first = tly_bbp_run_with_arguments(with(small_run, {"--checkpoint", path}));
  const tly_bbp_program_run again = tly_bbp_run_with_arguments(with(small_run, {"--checkpoint", path}));
  ASSERT_EQ(first.exit_code, 0) << first.errors;
  ASSERT_EQ(again.exit_code, 0) << again.errors;
  const nlohmann::json a = nlohmann::json::parse(first.output), b = nlohmann::json::parse(again.output);
  EXPECT_EQ(a["from_checkpoint"], false);
  EXPECT_EQ(b["from_checkpoint"], true);
  EXPECT_EQ(a["results"], b["results"]);  // digits and every series' time, as saved
}

TEST(Checkpoint, FormulasThatDisagreeAreNamedWithExitCode3) {
  // A finished checkpoint whose first Plouffe series is off in its top digit: the run
  // computes nothing and finds the two windows different from the first digit on.
  const std::string path = testing::TempDir() + "disagreeing_checkpoint";
  std::remove(path.c_str());
  ASSERT_EQ(tly_bbp_run_with_arguments(with(small_run, {"--checkpoint", path})).exit_code, 0);
  tly_bbp_checkpoint c = tly_bbp_fresh_checkpoint(2, 1000001, 32);
  std::string error;
  ASSERT_EQ(tly_bbp_read_checkpoint(path, &c, &error), tly_bbp_checkpoint_read::loaded) << error;
  c.formulas[0].series[0].sum.back() += uint64_t{1} << 28;
  write_file(path, tly_bbp_checkpoint_bytes(c));
  const tly_bbp_program_run json = tly_bbp_run_with_arguments(with(small_run, {"--checkpoint", path}));
  EXPECT_EQ(json.exit_code, 3);
  const nlohmann::json j = nlohmann::json::parse(json.output);
  EXPECT_EQ(j["agree"], false);
  EXPECT_EQ(j["first_difference"], 1);
  EXPECT_FALSE(j.contains("hexadecimal"));
  const tly_bbp_program_run text =
      tly_bbp_run_with_arguments({"--place", "1e6+1", "--formula", "both", "--checkpoint", path});
  EXPECT_EQ(text.exit_code, 3);
  EXPECT_NE(text.output.find("The formulas disagree from digit 1 on (hexadecimal place 1000001)."), std::string::npos);
  EXPECT_NE(text.output.find("Result: the formulas DISAGREE from digit 1,"), std::string::npos);
}

struct refusal {
  const char* what;
  std::string bytes;
  std::vector<std::string> arguments;
  const char* reason;
};

TEST(Checkpoint, DamagedTruncatedForeignAndInconsistentFilesAreRefused) {
  const std::string path = testing::TempDir() + "refused_checkpoint";
  std::remove(path.c_str());
  ASSERT_EQ(tly_bbp_run_with_arguments(with(small_run, {"--checkpoint", path})).exit_code, 0);
  const std::string good = read_file(path);
  ASSERT_GT(good.size(), 100u);
  auto changed = [&](size_t at) {
    std::string bytes = good;
    bytes[at] = char(bytes[at] ^ 0x10);
    return bytes;
  };
  // Valid checksum, impossible contents: a finished range that no block could have made.
  tly_bbp_checkpoint odd = tly_bbp_fresh_checkpoint(2, 1000001, 32);
  odd.formulas[1].series[3].finished = {{1, 4194304}};
  tly_bbp_checkpoint beyond = tly_bbp_fresh_checkpoint(2, 1000001, 32);
  beyond.formulas[0].series[0].finished = {{0, beyond.formulas[0].series[0].term_count + 1}};

  const refusal cases[] = {
      {"a byte changed", changed(good.size() / 2), small_run, "checksum"},
      {"the checksum changed", changed(good.size() - 1), small_run, "checksum"},
      {"truncated by one byte", good.substr(0, good.size() - 1), small_run, "checksum"},
      {"truncated in the header", good.substr(0, 10), small_run, "truncated"},
      {"another format version", changed(8), small_run, "format version"},
      {"empty", "", small_run, "not a checkpoint"},
      {"another place", good, with({"--place", "1e6+2", "--formula", "both"}, {}), "another run"},
      {"another formula", good, with({"--place", "1e6+1", "--formula", "bellard"}, {}), "another run"},
      {"more digits", good, with(small_run, {"--digits", "40"}), "another run"},
      {"a range off the block grid", tly_bbp_checkpoint_bytes(odd), small_run, "inconsistent"},
      {"a range past the end", tly_bbp_checkpoint_bytes(beyond), small_run, "inconsistent"},
  };
  for (const refusal& c : cases) {
    write_file(path, c.bytes);
    const tly_bbp_program_run run = tly_bbp_run_with_arguments(with(c.arguments, {"--checkpoint", path}));
    EXPECT_EQ(run.exit_code, 2) << c.what;
    EXPECT_EQ(run.output, "") << c.what;
    EXPECT_NE(run.errors.find("refused: "), std::string::npos) << c.what << ": " << run.errors;
    EXPECT_NE(run.errors.find(c.reason), std::string::npos) << c.what << ": " << run.errors;
    EXPECT_EQ(read_file(path), c.bytes) << c.what << ": a refused checkpoint must stay as it was";
  }
}

}  // namespace
