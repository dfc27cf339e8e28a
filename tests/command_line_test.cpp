// The command line: the forms of a place, the limits, bad arguments, and the output of runs.
#include "cli/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/batch.h"
#include "cli/variant_choice.h"
#include "engine/engine.h"
#include "engine/system.h"
#include "exact.h"
#include "run_program.h"

namespace {

struct place_case {
  const char* text;
  bool valid;
  uint64_t place;
};

TEST(CommandLine, FormsOfAPlace) {
  // clang-format off
  const place_case cases[] = {
      {"1000001", true, 1000001}, {"1e14", true, 100000000000000}, {"1E3", true, 1000}, {"2.5e14", true, 250000000000000},
      {"2.50e1", true, 25}, {"10^14", true, 100000000000000}, {"2^48", true, 281474976710656}, {"1e10+1", true, 10000000001},
      {"2^45-1", true, 35184372088831}, {"18446744073709551615", true, 18446744073709551615u},
      // Beyond 64 bits at any step: beyond every limit.
      {"2^64-1", true, UINT64_MAX}, {"18446744073709551616", true, UINT64_MAX}, {"1e20", true, UINT64_MAX},
      {"1.5e99", true, UINT64_MAX}, {"99999999999999999999999-1", true, UINT64_MAX}, {"1^99", true, 1},
      {"0e99", true, 0}, {"1.5e0", false, 0}, {"1.5", false, 0}, {"", false, 0},
      {"x", false, 0}, {"-5", false, 0}, {"1e", false, 0}, {"^3", false, 0},
      {"1e3+", false, 0}, {"5-6", false, 0}, {"1 000", false, 0}, {"0x10", false, 0},
      {"1e14 ", false, 0}, {"0^0", false, 0}, {"2^0", false, 0}, {"0^5", false, 0}, {"1e0", false, 0},
  };
  // clang-format on
  for (const place_case& c : cases) {
    uint64_t place = 0;
    std::string error;
    EXPECT_EQ(tly_bbp_parse_place(c.text, &place, &error), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(place, c.place) << c.text;
    } else {
      EXPECT_NE(error.find(c.text), std::string::npos) << error;
    }
  }
}

struct arguments_case {
  std::vector<const char*> arguments;
  int code;  // -1: accepted
};

int parse(std::vector<const char*> arguments, tly_bbp_options* options) {
  arguments.insert(arguments.begin(), "tallyspire-bbp");
  return tly_bbp_parse_command_line(int(arguments.size()), const_cast<char**>(arguments.data()), options);
}

TEST(CommandLine, LimitsAndBadArguments) {
  // Far places need every 64-bit modulus: until the engine has an exact tier for them they are
  // refused for that reason, within the limits.
  const int far = tly_bbp_variant_refusal("", UINT64_MAX).empty() ? -1 : 2;
  const char* const baseline = tly_bbp_variants[0].name;  // the estimates every processor runs
  // clang-format off
  const arguments_case cases[] = {
      {{"--place", "1", "--formula", "plouffe"}, -1}, {{"--place", "0", "--formula", "plouffe"}, 2},
      {{"--place", "2^60-1", "--formula", "plouffe"}, far}, {{"--place", "2^60", "--formula", "plouffe"}, 2},
      {{"--place", "8"}, -1}, {{"--place", "7"}, 2},
      {{"--place", "2^61-1"}, far}, {{"--place", "2^61"}, 2},
      {{"--place", "8", "--formula", "both"}, -1}, {{"--place", "7", "--formula", "both"}, 2},
      {{"--place", "2^60-1", "--formula", "both"}, far}, {{"--place", "2^60", "--formula", "both"}, 2},
      // The last places whose powers stay below 2^47.
      {{"--place", "2^45", "--variant", baseline}, -1}, {{"--place", "2^45+1", "--variant", baseline}, 2},
      {{"--place", "2^44", "--formula", "plouffe", "--variant", baseline}, -1},
      {{"--place", "2^44+1", "--formula", "plouffe", "--variant", baseline}, 2},
      {{"--place", "2^44", "--formula", "both", "--variant", baseline}, -1},
      {{"--place", "2^44+1", "--formula", "both", "--variant", baseline}, 2},
      {{"--place", "9", "--variant", "x64"}, 2}, {{"--place", "9", "--variant"}, 2},
      {{"--place", "9", "--isa", "avx3"}, 2}, {{"--place", "9", "--isa"}, 2}, {{"--place", "9", "--isa", ""}, 2},
#if defined(__x86_64__)
      {{"--place", "2^50", "--isa", "sse4.1"}, -1},
      {{"--place", "9", "--isa", "sse4.1", "--variant", "x64 64-bit Montgomery"}, -1},
      {{"--place", "9", "--isa", "sse4.1", "--variant", "x64 AVX2 exact"}, 2},
#endif
      {{"--place", "9", "--estimate"}, -1}, {{"--place", "9", "--estimate", "--checkpoint", "f"}, 2},
      {{"--list-variants"}, 0}, {{"--place", "9", "--digits", "8"}, -1},
      {{"--place", "9", "--digits", "1024"}, -1}, {{"--place", "9", "--digits", "7"}, 2},
      {{"--place", "9", "--digits", "1025"}, 2}, {{"--place", "9", "--threads", "0"}, 2},
      {{"--place", "9", "--threads", "1"}, -1}, {{"--place", "9", "--formula", "pi"}, 2},
      {{"--place", "9", "--checkpoint-every", "1"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "0"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "0.005"}, -1}, {{"--place", "9", "--unknown"}, 2},
      {{"--place", "9", "extra"}, 2}, {{"--place"}, 2},
      {{"--place", "9", "--digits"}, 2}, {{"--json"}, 2},
      {{"--place", "9", "--place", "10"}, 2}, {{"--place=9"}, -1}, {{"--place", "9", "--json", "--json"}, 2},
      {{"--place", "9", "--"}, 2}, {{"--place", "-5"}, 2}, {{"--place", "9", "--quiet=1"}, 2},
      // A list takes --json and --isa; nothing that would shape a run.
      {{"--list-variants", "--json"}, 0}, {{"--list-variants", "--place", "9"}, 2},
      {{"--list-variants", "--estimate"}, 2}, {{"--list-variants", "--checkpoint", "f"}, 2},
      {{"--list-variants", "--threads", "2"}, 2}, {{"--list-variants", "--isa", "avx3"}, 2},
      // Counts are plain decimal; minutes a plain decimal number within their range.
      {{"--place", "9", "--digits", "011"}, -1}, {{"--place", "9", "--digits", "08"}, -1},
      {{"--place", "9", "--threads", "010"}, -1}, {{"--place", "9", "--digits", "0x10"}, 2},
      {{"--place", "9", "--digits", "+16"}, 2}, {{"--place", "9", "--digits", "1e1"}, 2},
      {{"--place", "9", "--digits", " 16"}, 2}, {{"--place", "9", "--digits", "99999999999999999999"}, 2},
      {{"--place", "9", "--threads", "0x2"}, 2}, {{"--place", "9", "--threads", "02.0"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", ".5"}, -1},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "1000000"}, -1},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "1000000.1"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "0.00009"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "1e-3"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "-1"}, 2},
      {{"--place", "9", "--checkpoint", "f", "--checkpoint-every", "."}, 2},
  };
  // clang-format on
  for (const arguments_case& c : cases) {
    tly_bbp_options options;
    std::string text;
    for (const char* a : c.arguments) text += std::string(a) + " ";
    EXPECT_EQ(parse(c.arguments, &options), c.code) << text;
  }
  tly_bbp_options o;
  ASSERT_EQ(parse({"--place", "1e3+1"}, &o), -1);
  EXPECT_TRUE(o.choice == 1 && o.place == 1001 && o.digits == 32 && o.threads == 0 && o.checkpoint_minutes == 10 &&
              !o.json && !o.quiet && o.variant.empty() && !o.estimate);
  ASSERT_EQ(parse({"--place", "9", "--digits", "011", "--threads", "010", "--checkpoint", "f", "--checkpoint-every",
                   "0.25"},
                  &o),
            -1);
  EXPECT_TRUE(o.digits == 11 && o.threads == 10 && o.checkpoint_minutes == 0.25 && o.checkpoint == "f");
}

struct program_case {
  std::vector<std::string> arguments;
  std::string said;  // in the one line on standard error
};

TEST(CommandLine, BadArgumentsGetOneLineOnStandardErrorAndNoRun) {
  const std::string long_name(50, 'x');
  // A refused run writes nothing; should one not be refused, its checkpoint lands in a directory of this test's own.
  const std::string directory = tly_bbp_scratch_directory();
  ASSERT_FALSE(directory.empty());
  const std::string ck = directory + "ck";
  std::vector<program_case> cases = {
      {{"--unknown"}, "unknown option --unknown (see --help)"},
      {{"--pla", "10"}, "unknown option --pla (see --help)"},
      {{"--place"}, "--place needs a value (see --help)"},
      {{"--place", "--quiet"}, "--place needs a value (see --help)"},
      {{"--place", "5", "--place", "6"}, "--place given twice (see --help)"},
      {{"--place", "10", "--"}, "unexpected argument \"--\", not an option"},
      {{"--place", "10", "extra"}, "unexpected argument \"extra\", not an option"},
      {{"--place", "10", "--json=yes"}, "--json takes no value"},
      {{"--list-variants", "--place", "x", "--estimate", "--checkpoint", ck},
       "--place does not go with --list-variants"},
      {{"--list-devices", "--threads", "2"}, "--threads does not go with --list-devices"},
      {{"--list-devices", "--isa", "avx2"}, "--isa does not go with --list-devices"},
      {{"--list-devices", "--list-variants"}, "--list-devices does not go with --list-variants"},
      {{"--place", "9", "--checkpoint-every", "1"}, "--checkpoint-every needs --checkpoint"},
      {{"--place", "9", "--estimate", "--checkpoint", ck}, "--estimate does not go with --checkpoint"},
      {{"--place", "0^0"}, "--place: \"0^0\" is not a whole number"},
      {{"--place", "x"}, "--place: \"x\" is not a whole number (write it like 1000001"},
      {{"--place", "9", "--digits", "7"}, "--digits: \"7\" is outside 8 to 1024"},
      {{"--place", "9", "--digits", "abc"}, "--digits: \"abc\" is not a whole number (8 to 1024)"},
      {{"--place", "9", "--digits", "0x10"}, "--digits: \"0x10\" is not a whole number"},
      {{"--place", "9", "--threads", "010.5"}, "--threads: \"010.5\" is not a whole number (1 to 1024)"},
      {{"--place", "9", "--checkpoint", ck, "--checkpoint-every", "nan"},
       "--checkpoint-every: \"nan\" is not a plain decimal number of minutes"},
      {{"--place", "9", "--checkpoint", ck, "--checkpoint-every", "inf"}, "\"inf\" is not a plain decimal number"},
      {{"--place", "9", "--checkpoint", ck, "--checkpoint-every", "2000000"},
       "--checkpoint-every: \"2000000\" is outside 0.0001 to 1,000,000 minutes"},
      {{"--place", "2^64-1"},
       "--place: \"2^64-1\" is beyond the largest place of the Bellard formula, 2^61 − 1 (2,305,843,009,213,693,951)"},
      {{"--place", "1e19", "--formula", "plouffe"},
       "\"1e19\" is beyond the largest place of the Plouffe formula, 2^60 − 1 (1,152,921,504,606,846,975)"},
      {{"--place", "2^60", "--formula", "both"}, "is beyond the largest place both formulas reach, 2^60 − 1 ("},
      {{"--place", "1"},
       "--place: \"1\" is below the first place of the Bellard formula, 8 (the Plouffe formula starts at 1: "
       "--formula plouffe)"},
      // Below every formula's first place: no formula to suggest.
      {{"--place", "0"}, "--place: \"0\" is below the first place of the Bellard formula, 8\n"},
      {{"--place", "1" + std::string(60, '0')}, "--place: \"1" + std::string(39, '0') + "…\" is beyond"},
      {{"--place", "9", "--variant", long_name}, "--variant: \"" + long_name.substr(0, 40) + "…\" is no variant"},
      {{"--place", "9", "--variant", "x64 SSE4"}, "--variant"},
      {{"--place", "2^45+1", "--variant", tly_bbp_variants[0].name}, "--variant"},
      // A processor variant and a device arithmetic at most, separated by a comma.
      {{"--place", "9", "--variant", ","}, "--variant: an empty name in \",\""},
      {{"--place", "9", "--variant", std::string(tly_bbp_variants[0].name) + ","}, "--variant: an empty name in"},
      {{"--place", "9", "--variant", std::string(tly_bbp_variants[0].name) + "," + tly_bbp_variants[0].name},
       "names two processor variants; name one of each at most"},
      {{"--place", "9", "--variant", "x64,montgomery64"}, "--variant: \"x64\" is no variant of this program"},
      {{"--place", "9", "--formula", "pi"}, "--formula: \"pi\" is none of bellard, plouffe and both"},
      {{"--place", "9", "--devices", ","}, "--devices: an empty name in \",\""},
      {{"--place", "9", "--devices", "cpu,"}, "--devices: an empty name in \"cpu,\""},
      {{"--place", "9", "--devices", "cpu,gpu,cpu"}, "--devices: \"cpu\" is named twice"},
      {{"--place", "9", "--devices", "CPU"}, "--devices: \"CPU\" is no device; write cpu, gpu, all"},
      {{"--place", "9", "--devices", "opencl:00:1"}, "--devices: \"opencl:00:1\" is no device"},
      {{"--place", "9", "--devices", "opencl:0:-1"}, "--devices: \"opencl:0:-1\" is no device"},
      {{"--place", "9", "--devices", "opencl:0:99999999999"}, "is no device"},
      {{"--list-devices", "--devices", "cpu"}, "--devices does not go with --list-devices"},
  };
  // An empty value is refused, whichever option it belongs to.
  cases.push_back({{"--place", ""}, "--place: the value is empty"});
  for (const char* option : {"--formula", "--digits", "--threads", "--checkpoint", "--variant", "--devices"})
    cases.push_back({{"--place", "9", option, ""}, std::string(option) + ": the value is empty"});
  cases.push_back({{"--place", "9", "--checkpoint", ck, "--checkpoint-every", ""}, "--checkpoint-every: the value"});
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (!tly_bbp_variants[i].supported())
      cases.push_back({{"--place", "9", "--variant", tly_bbp_variants[i].name}, "not supported by this processor"});
  for (const program_case& c : cases) {
    const tly_bbp_program_run run = tly_bbp_run_with_arguments(c.arguments, 60);
    EXPECT_EQ(run.exit_code, 2) << c.said;
    EXPECT_EQ(run.output, "") << c.said;
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    EXPECT_NE(run.errors.find(c.said), std::string::npos) << run.errors;
    // The program's own words, never the option library's.
    EXPECT_TRUE(std::regex_search(run.errors, std::regex("^tallyspire-bbp: [^A-Z]"))) << run.errors;
    for (const char* foreign : {"TEXT", "At Most", "not expected", "required but"})
      EXPECT_EQ(run.errors.find(foreign), std::string::npos) << run.errors;
  }
  EXPECT_EQ(rmdir(directory.c_str()), 0) << "a refused run left a file";
}

// Help, version and the variant list: the help's lines fit a terminal and state the limits, the
// lists agree, and each ends with exit code 1 when standard output cannot be written.
TEST(CommandLine, HelpVersionAndVariantList) {
  const tly_bbp_program_run help = tly_bbp_run_with_arguments({"--help"}, 60);
  EXPECT_EQ(help.exit_code, 0);
  for (const char* part : {"Exit codes: 0 done", "written during the run), 2 bad", "not writable at the start, 3",
                           "1 to 2^60 − 1\n                        with plouffe, 8 to 2^61 − 1",
                           "8 to 1024", "1 to 1024", "0.0001 to 1000000"})
    EXPECT_NE(help.output.find(part), std::string::npos) << part;
  std::istringstream lines(help.output);
  std::vector<std::string> options;
  for (std::string line; std::getline(lines, line);) {
    // Columns, not bytes: the minus sign is three bytes of UTF-8.
    EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }), 80) << line;
    for (const char* tag : {"UINT", "FLOAT", "TEXT"}) EXPECT_EQ(line.find(tag), std::string::npos) << line;
    if (line.rfind("  -", 0) == 0) options.push_back(line.substr(2, line.find("  ", 2) - 2));
  }
  EXPECT_EQ(options, (std::vector<std::string>{"--place N", "--formula NAME", "--digits D", "--threads T",
                                               "--devices LIST", "--variant NAME", "--isa CLASS", "--estimate", "--checkpoint FILE",
                                               "--checkpoint-every MINUTES", "--json", "--quiet", "--list-variants",
                                               "--list-devices", "-h, --help", "--version"}));
  const tly_bbp_program_run version = tly_bbp_run_with_arguments({"--version"}, 60);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output, std::string("tallyspire-bbp ") + tly_bbp_version + " (Build 119)\n");

  const tly_bbp_program_run text = tly_bbp_run_with_arguments({"--list-variants"}, 60);
  const tly_bbp_program_run json = tly_bbp_run_with_arguments({"--list-variants", "--json"}, 60);
  EXPECT_EQ(text.exit_code + json.exit_code, 0);
  EXPECT_EQ(text.output.rfind(std::string(tly_bbp_variants[0].name) + "\tmoduli below 2^47\tsupported", 0), 0u);
  const nlohmann::json list = nlohmann::json::parse(json.output);
  // The processor variants, then the GPU arithmetics where the build has GPUs.
  size_t processor_variants = 0;
  for (const nlohmann::json& v : list) processor_variants += v["device"] == false;
  ASSERT_EQ(processor_variants, size_t(tly_bbp_variant_count));
  EXPECT_EQ(list[0]["moduli_below"], "140737488355328");
  std::string from_json;
  for (const nlohmann::json& v : list) {
    const std::string below = v["moduli_below"].is_null() ? "" : v["moduli_below"].get<std::string>();
    EXPECT_EQ(v["moduli"], below.empty() ? "every 64-bit modulus"
                                         : "moduli below 2^" + std::to_string(std::countr_zero(std::stoull(below))));
    from_json += v["name"].get<std::string>() + "\t" + v["moduli"].get<std::string>() + "\t" +
                 (v["device"]       ? "device arithmetic"
                  : !v["supported"] ? "not supported by this processor"
                  : v["default"]    ? "supported, the default"
                                    : "supported") +
                 "\n";
  }
  EXPECT_EQ(text.output, from_json);
#if defined(__x86_64__)
  // Under --isa: what a processor of that class would choose.
  const tly_bbp_program_run sse = tly_bbp_run_with_arguments({"--list-variants", "--isa", "sse4.1"}, 60);
  EXPECT_EQ(sse.exit_code, 0);
  EXPECT_NE(sse.output.find("x64 SSE4.1\tmoduli below 2^47\tsupported, the default\n"), std::string::npos)
      << sse.output;
#endif

  for (const char* asked : {"--help", "--version", "--list-variants", "--list-variants --json"}) {
    const tly_bbp_program_run full = tly_bbp_run_command(
        "", 60, {}, {"sh", "-c", std::string("exec '" TLY_BBP_PROGRAM "' ") + asked + " >/dev/full"});
    EXPECT_EQ(full.exit_code, 1) << asked;
    EXPECT_EQ(full.errors, "tallyspire-bbp: standard output cannot be written\n") << asked;
  }
}

TEST(CommandLine, BothFormulasAsOneJsonObject) {
  const tly_bbp_program_run run = tly_bbp_run_with_arguments(
      {"--place", "1e6+1", "--formula", "both", "--json", "--digits", "40", "--threads", "1"});
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  // Progress goes to logs once a minute at most, and never to standard output.
  EXPECT_TRUE(std::regex_match(run.errors, std::regex("(Progress: [^\n]*\n)*"))) << run.errors;
  const nlohmann::json j = nlohmann::json::parse(run.output);
  const std::string expected = tly_bbp_oracle_hex(1000001, 40);
  EXPECT_EQ(j["formula"], "both");
  EXPECT_EQ(j["place"], 1000001);
  EXPECT_EQ(j["place_decimal"], "1000001");
  EXPECT_TRUE(j["ranks"] == 1 && j["threads_per_rank"] == 1) << j;
  EXPECT_EQ(j["hexadecimal"], expected);
  EXPECT_EQ(j["agree"], true);
  EXPECT_EQ(j["threads"], 1);
  EXPECT_EQ(j["from_checkpoint"], false);
  EXPECT_EQ(j["version"], tly_bbp_version);
  ASSERT_EQ(j["results"].size(), 2u);
  const size_t series[] = {4, 7};
  for (size_t f = 0; f < 2; ++f) {
    const nlohmann::json& r = j["results"][f];
    EXPECT_EQ(r["formula"], f ? "bellard" : "plouffe");
    EXPECT_EQ(r["hexadecimal"], expected);
    EXPECT_EQ(r["series_seconds"].size(), series[f]);
    std::string binary;
    for (char hex : expected) {
      const int v = hex <= '9' ? hex - '0' : hex - 'a' + 10;
      for (int bit = 3; bit >= 0; --bit) binary += char('0' + (v >> bit & 1));
    }
    EXPECT_EQ(r["binary"], binary);
  }
}

// Standard output of a command-line run holds results only: a fatal error, such as the first
// allocation failing, is one line on standard error.
TEST(CommandLine, FatalErrorGoesToStandardError) {
  GTEST_FLAG_SET(death_test_style, tly_bbp_death_test_style);
  const auto fail_allocations = [] {
    static const tly_bbp_allocator none = {[](uint64_t) -> void* { return nullptr; }, [](void*) {}};
    const char* argv[] = {"tallyspire-bbp", "--place", "1", "--formula", "plouffe", "--json", "--quiet"};
    tly_bbp_command_line_main(7, const_cast<char**>(argv), {nullptr, [](int code) { std::_Exit(code); }, &none, nullptr});
  };
  EXPECT_EXIT(fail_allocations(), testing::ExitedWithCode(1), "^tallyspire-bbp: Memory Allocation Failure\n$");
}

TEST(CommandLine, TextOutputIsTheConsoleBlocksAndASummary) {
  const tly_bbp_program_run console = tly_bbp_run_program("0 1000001 40\n");
  const std::string blocks = console.output.substr(console.output.find("Binary Digits"));
  const tly_bbp_program_run one =
      tly_bbp_run_with_arguments({"--place", "1000001", "--formula", "plouffe", "--digits", "40", "--threads", "1"});
  EXPECT_EQ(one.exit_code, 0);
  EXPECT_EQ(one.output.substr(0, blocks.size()), blocks);
  EXPECT_EQ(
      one.output.substr(blocks.size())
          .rfind("Result: plouffe, place 1000001, 40 digits, hexadecimal " + tly_bbp_oracle_hex(1000001, 40) + ", ", 0),
      0u);
  EXPECT_NE(one.output.find(" s on 1 thread ("), std::string::npos) << one.output;
  const tly_bbp_program_run both =
      tly_bbp_run_with_arguments({"--place", "1000001", "--formula", "both", "--digits", "40"});
  EXPECT_EQ(both.exit_code, 0);
  EXPECT_EQ(both.output, "Plouffe formula:\n\n" + blocks + "Bellard formula:\n\n" + blocks +
                             "The formulas agree on all 40 digits.\n\n" +
                             both.output.substr(both.output.find("Result: ")));
  EXPECT_NE(both.output.find("Result: both formulas agree, place 1000001"), std::string::npos);
}

#if defined(__x86_64__)
// Larger moduli than the one in use handles go to the tiers after it, and the result names each
// with the modulus from which it takes over: under each class, what such a processor runs.
TEST(CommandLine, TiersAreNamed) {
  tly_bbp_variant_policy p = tly_bbp_engine_choice;
  EXPECT_EQ(tly_bbp_variant_used(p, 1), tly_bbp_active_variant(p)->name);
  const struct {
    int isa;
    const char* used;
  } classes[] = {{0, "x64 SSE4.1, x64 64-bit Montgomery for moduli from 2^47"},
                 {1, "x64 AVX2, x64 AVX2 exact for moduli from 2^47, x64 64-bit Montgomery for moduli from 2^52"},
                 {2, "x64 AVX-512, x64 AVX-512 exact for moduli from 2^47, x64 64-bit Montgomery for moduli from 2^52"},
                 {3, "x64 AVX-512 IFMA, x64 AVX-512 IFMA two limbs for moduli from 2^52"}};
  int highest = 0;
  for (const auto& c : classes) {
    if (!tly_bbp_limit_isa(&p, c.isa)) continue;
    highest = c.isa;
    EXPECT_EQ(tly_bbp_variant_used(p, ~uint64_t{0}), c.used);
    EXPECT_EQ(tly_bbp_variant_used(p, (uint64_t{1} << 47) - 1), tly_bbp_active_variant(p)->name);
    EXPECT_EQ(tly_bbp_exact_tiers_from(p, ~uint64_t{0}), tly_bbp_run_tiers(p, ~uint64_t{0})[0].moduli_from);
  }
  if (highest < 1) GTEST_SKIP() << "no AVX2";
  // In JSON: tiers, and exact_tiers_from as the first of them.
  const tly_bbp_program_run run = tly_bbp_run_with_arguments(
      {"--place", "2^46", "--isa", "avx2", "--estimate", "--json", "--threads", "1", "--quiet"}, 120);
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  const nlohmann::json j = nlohmann::json::parse(run.output);
  EXPECT_EQ(j["variant"], "x64 AVX2");
  EXPECT_EQ(j["exact_tiers_from"], uint64_t{1} << 47);
  EXPECT_EQ(j["exact_tiers_from_decimal"], "140737488355328");
  EXPECT_EQ(j["tiers"], nlohmann::json::parse(R"([{"variant": "x64 AVX2 exact", "moduli_from": 140737488355328,
                                                   "moduli_from_decimal": "140737488355328"}])"));
}
#endif

TEST(CommandLine, EstimateAnswersQuicklyWithAPositiveTime) {
  const tly_bbp_program_run text = tly_bbp_run_with_arguments({"--place", "1e6+1", "--estimate", "--threads", "2"}, 120);
  ASSERT_EQ(text.exit_code, 0) << text.errors;
  std::smatch field;
  ASSERT_TRUE(std::regex_match(text.output, field,
                               std::regex("Estimated time: (under 0.1|[0-9.]+) s on 2 threads \\(.+\\)\n")))
      << text.output;
  EXPECT_TRUE(field[1] == "under 0.1" || std::stod(field[1]) > 0.0);
  // Both formulas: the time of each after the whole.
  const tly_bbp_program_run both =
      tly_bbp_run_with_arguments({"--place", "1e6+1", "--estimate", "--formula", "both", "--threads", "1"}, 120);
  EXPECT_TRUE(std::regex_match(both.output, std::regex("Estimated time: [^:]+ on 1 thread \\(.+\\): plouffe "
                                                       "(under 0.1|[0-9.]+) s, bellard (under 0.1|[0-9.]+) s\n")))
      << both.output;

  const tly_bbp_program_run json =
      tly_bbp_run_with_arguments({"--place", "1e6+1", "--estimate", "--json", "--formula", "both"}, 120);
  ASSERT_EQ(json.exit_code, 0) << json.errors;
  const nlohmann::json j = nlohmann::json::parse(json.output);
  EXPECT_GT(j["estimated_seconds"], 0.0);
  EXPECT_EQ(j["terms"], 4 * 1000072 + 7 * 400037);  // the term counts of both formulas at this place
  EXPECT_EQ(j["terms_decimal"], std::to_string(4 * 1000072 + 7 * 400037));
  EXPECT_EQ(j["sample_terms_decimal"], std::to_string(j["sample_terms"].get<uint64_t>()));
  // The threads alone: the one worker, with every term.
  ASSERT_EQ(j["workers"].size(), 1u) << j;
  EXPECT_EQ(j["workers"][0]["name"], "cpu");
  EXPECT_EQ(j["workers"][0]["share"], 1.0);
  EXPECT_GT(j["workers"][0]["terms_per_second"], 0);
  ASSERT_EQ(j["results"].size(), 2u);
  EXPECT_EQ(j["results"][0]["series_seconds"].size(), 4u);
  EXPECT_EQ(j["results"][1]["series_seconds"].size(), 7u);
  EXPECT_NEAR(j["results"][0]["seconds"].get<double>() + j["results"][1]["seconds"].get<double>(),
              j["estimated_seconds"].get<double>(), 0.002);
}

// Durations as people read them, and the progress line that shows them: in full in logs, and
// shortened to fit a narrow terminal.
TEST(CommandLine, ProgressAndDurationsAsPeopleReadThem) {
  const std::pair<double, const char*> durations[] = {
      {0.01, "under 0.1 s"}, {0.0512, "0.1 s"},      {0.3, "0.3 s"},        {2.5, "2.5 s"},
      {59.4, "59 s"},        {61, "1 min 1 s"},      {11520, "3 h 12 min"}, {273600, "3 d 4 h"},
      {1e8, "3.2 years"},    {7e9, "222 years"},     {1e12, "31,688 years"}};
  for (const auto& [seconds, text] : durations) EXPECT_EQ(tly_bbp_duration_text(seconds), text) << seconds;
  const std::string full = "Progress: Bellard series 3/7, 42.5% of the run, 1,234,567 terms/s, 3 h 12 min left";
  const std::pair<size_t, std::string> widths[] = {
      {0, full},
      {full.size() + 1, full},
      {full.size(), "Progress: Bellard series 3/7, 42.5% of the run, 3 h 12 min left"},
      {50, "Bellard 3/7, 42.5%, 3 h 12 min left"},
      {30, "42.5%, 3 h 12 min left"},
      {10, "42.5%, 3 "}};
  for (const auto& [columns, text] : widths)
    EXPECT_EQ(tly_bbp_progress_line(1, 2, 7, 0.425, 1234567, 11520, columns), text) << columns;
  EXPECT_EQ(tly_bbp_progress_line(0, 0, 4, 0, -1, 0, 0), "Progress: Plouffe series 1/4, 0.0% of the run, estimating speed");
  EXPECT_EQ(tly_bbp_progress_line(1, 6, 7, 0.999, 1.43e8, 57 * 365.25 * 86400, 0),
            "Progress: Bellard series 7/7, 99.9% of the run, 143,000,000 terms/s, 57 years left");
  EXPECT_EQ(tly_bbp_progress_line(0, 1, 4, 0.3, 2e6, 273600, 0),
            "Progress: Plouffe series 2/4, 30.0% of the run, 2,000,000 terms/s, 3 d 4 h left");
}

}  // namespace
