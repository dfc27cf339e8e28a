// The GPU kernels through OpenCL (PoCL's processor device here) against the engine's scalar references and GMP.
#include <dlfcn.h>
#include <gmp.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/vpowmod.h"
#include "exact.h"
#include "gpu.h"
#include "gpu/kernels/terms.cl"
#include "opencl_device.h"
#include "run_program.h"

namespace {

const tly_bbp_gpu_arithmetic arithmetics[] = {tly_bbp_gpu_fp64_exact, tly_bbp_gpu_montgomery64};

// floor(2^(32 cells) * frac(2^e / m)) for e = shift - step*k, e <= 0 included, into `value`.
void exact_term(mpz_t value, uint64_t cells, uint64_t shift, uint64_t k, uint32_t step, uint64_t m) {
  const uint64_t descent = uint64_t{step} * k;
  mpz_t numerator;
  mpz_init(numerator);
  if (descent < shift) {
    mpz_set_ui(numerator, tly_bbp_exact_pow2_mod(shift - descent, m));
    mpz_mul_2exp(numerator, numerator, 32 * cells);
  } else if (descent - shift <= 32 * cells) {
    mpz_setbit(numerator, 32 * cells - (descent - shift));
  }
  mpz_set_ui(value, m);
  mpz_fdiv_q(value, numerator, value);
  mpz_clear(numerator);
}

// The block result of tly_bbp_gpu_block from GMP: each term's floor, signed, modulo 2^(32 cells).
std::vector<int64_t> exact_block(uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first, uint64_t last,
                                 uint32_t step, uint32_t multiplier, uint32_t offset) {
  mpz_t sum, term;
  mpz_inits(sum, term, nullptr);
  for (uint64_t k = first; k < last; ++k) {
    exact_term(term, cells, shift, k, step, uint64_t{multiplier} * k + offset);
    if (alternating && ((k - first) & 1))
      mpz_sub(sum, sum, term);
    else
      mpz_add(sum, sum, term);
  }
  mpz_fdiv_r_2exp(sum, sum, 32 * cells);
  std::vector<int64_t> cells_out(cells);
  for (uint64_t c = 0; c < cells; ++c) {
    mpz_fdiv_q_2exp(term, sum, 32 * c);
    cells_out[c] = static_cast<int64_t>(mpz_get_ui(term) & 0xFFFFFFFF);
  }
  mpz_clears(sum, term, nullptr);
  return cells_out;
}

// A term's cells, cell c weighing 2^(32 c), read as one number.
void cells_value(mpz_t value, const uint64_t* cells, uint64_t count) {
  mpz_set_ui(value, 0);
  for (uint64_t c = count; c-- > 0;) {
    mpz_mul_2exp(value, value, 32);
    mpz_add_ui(value, value, cells[c]);
  }
}

// Runs of consecutive moduli of one exponent (multiplier 1, step 0: term k has modulus k).
struct modulus_run {
  uint64_t first_modulus, exponent;
};

std::vector<modulus_run> modulus_runs(uint64_t below) {
  std::vector<modulus_run> runs = {{1, 1}, {2, 3}, {3, 64}, {1000, 70}, {(uint64_t{1} << 32) - 5, 33}};
  for (int bits : {47, 52, 62, 64}) {
    const uint64_t top = bits == 64 ? ~uint64_t{0} : uint64_t{1} << bits;
    for (uint64_t e : {uint64_t{97}, uint64_t{1} << 40, top / 3}) {
      runs.push_back({top - 40, e});  // just below the power, the last of it included
      if (bits < 64) runs.push_back({top + 1, e});
    }
  }
  std::mt19937_64 random(27);
  for (int i = 0; i < 12; ++i) runs.push_back({(random() >> (1 + random() % 60)) | 1, (random() >> (random() % 63)) + 1});
  std::vector<modulus_run> kept;
  for (const modulus_run& r : runs)
    if (below == 0 || r.first_modulus + 40 < below) kept.push_back(r);
  return kept;
}

// Each term's cells from `cells_of(arithmetic, out, cells, exponent, first modulus, count)`
// (consecutive moduli of one exponent) against the engine's scalar reference of the
// arithmetic, cell for cell, and against GMP.
template <typename CellsOf>
void check_term_cells(CellsOf cells_of) {
  mpz_t got, expected;
  mpz_inits(got, expected, nullptr);
  constexpr uint64_t terms = 40;
  for (tly_bbp_gpu_arithmetic a : arithmetics) {
    const tly_bbp_vpowmod8_fn reference = a == tly_bbp_gpu_fp64_exact ? tly_bbp_vpowmod8_double : tly_bbp_vpowmod8_general;
    for (uint64_t cells : {uint64_t{1}, uint64_t{2}, uint64_t{5}, uint64_t{131}}) {
      for (const modulus_run& run : modulus_runs(tly_bbp_gpu_moduli_below(a))) {
        const uint64_t first = run.first_modulus, e = run.exponent;
        std::vector<uint64_t> device(terms * cells);
        ASSERT_TRUE(cells_of(a, device.data(), cells, e, first, terms));
        for (uint64_t i = 0; i < terms; ++i) {
          const uint64_t m = first + i;
          // Eight lanes of the same term (step 0): lane 0's column is the term's cells.
          const uint64_t moduli[8] = {m, m, m, m, m, m, m, m};
          std::vector<uint64_t> rows(8 * cells, 0), lane(cells);
          reference(rows.data(), cells, moduli, 0, e, 0);
          for (uint64_t c = 0; c < cells; ++c) lane[c] = rows[8 * c];
          const std::vector<uint64_t> got_cells(device.begin() + i * cells, device.begin() + (i + 1) * cells);
          ASSERT_EQ(got_cells, lane) << tly_bbp_gpu_arithmetic_name(a) << " m=" << m << " e=" << e
                                     << " cells=" << cells;
          cells_value(got, got_cells.data(), cells);
          exact_term(expected, cells, e, 0, 1, m);
          ASSERT_EQ(mpz_cmp(got, expected), 0) << tly_bbp_gpu_arithmetic_name(a) << " m=" << m << " e=" << e;
        }
      }
    }
  }
  mpz_clears(got, expected, nullptr);
}

TEST(Gpu, TermCellsEqualTheScalarReferencesAndGmp) {
  NEED_DEVICE();
  check_term_cells([](tly_bbp_gpu_arithmetic a, uint64_t* out, uint64_t cells, uint64_t e, uint64_t first,
                      uint64_t count) {
    tly_bbp_gpu_error error{};
    const bool done =
        tly_bbp_gpu_term_cells(opencl().gpu, opencl().device, a, out, cells, e, first, count, 0, 1, 0, &error);
    EXPECT_TRUE(done) << error.message;
    return done;
  });
}

// The kernels' functions compiled as plain C++ give the same cells: the arithmetic checked
// where no OpenCL device is at hand.
TEST(Gpu, KernelSourceAsCppEqualsTheScalarReferences) {
  check_term_cells([](tly_bbp_gpu_arithmetic a, uint64_t* out, uint64_t cells, uint64_t e, uint64_t first,
                      uint64_t count) {
    const int use_double = a == tly_bbp_gpu_fp64_exact;
    for (uint64_t i = 0; i < count; ++i) {
      tly_term t = tly_term_setup(use_double, cells, e, first + i, 0, 1, 0);
      for (uint64_t c = cells; c-- > 0;) out[i * cells + c] = tly_term_digit(&t, use_double, c);
    }
    return true;
  });
}

// The Montgomery arithmetic's digit, estimated from the divisor's high word and corrected, on
// random and extreme pairs against 128-bit division: the estimate never passes the quotient.
TEST(Gpu, KernelDigitIsTheExactQuotient) {
  std::mt19937_64 random(2027);
  for (int i = 0; i < 200000; ++i) {
    uint64_t m = random() >> (random() % 64);
    if (i % 4 == 0) m = (~uint64_t{0} >> (random() % 64)) - (random() % 3);  // all ones below a power
    if (i % 4 == 1) m = (uint64_t{1} << (random() % 64)) + (random() % 3);   // just above a power
    if (m == 0) m = 1;
    uint64_t r = random() % m;
    if (i % 8 == 2) r = m - 1;
    const unsigned __int128 numerator = static_cast<unsigned __int128>(r) << 32;
    const uint64_t z = static_cast<uint64_t>(__builtin_clzll(m));
    uint64_t shifted = r << z;
    const uint64_t digit = tly_exact_digit(&shifted, tly_divisor_of(m));
    ASSERT_EQ(digit, static_cast<uint64_t>(numerator / m)) << "r=" << r << " m=" << m;
    ASSERT_EQ(shifted >> z, static_cast<uint64_t>(numerator % m)) << "r=" << r << " m=" << m;
  }
}

// Blocks of series with terms of both signs, across the exponent's zero and into the terms
// that lie wholly below the last cell, with moduli of every size.
TEST(Gpu, BlocksEqualGmp) {
  NEED_DEVICE();
  struct series_case {
    uint64_t cells;
    int32_t alternating;
    uint64_t shift, first, last;
    uint32_t step, multiplier, offset;
  };
  const series_case cases[] = {
      {1, 0, 400, 0, 130, 4, 8, 1},                                        // every term, the tail included
      {2, 1, 0, 0, 5, 1, 1, 1},                                            // whole units in the first term's cell
      {4, 1, 1000, 3, 300, 10, 4, 3},                                      // alternating from an odd first
      {7, 1, 4000003, 999000, 1000250, 4, 8, 5},                           // across the exponent's zero
      {131, 0, 77777, 0, 4100, 10, 10, 9},                                 // the most cells
      {3, 0, (uint64_t{1} << 47) * 4 + 11, (uint64_t{1} << 47) - 700, (uint64_t{1} << 47) + 300, 4, 8, 1},
      {2, 1, (uint64_t{1} << 51) * 10, (uint64_t{1} << 49) - 500, (uint64_t{1} << 49) + 500, 10, 4, 1},
      {3, 1, (uint64_t{1} << 62) + 5, (uint64_t{1} << 59) - 300, (uint64_t{1} << 59) + 200, 1, 10, 7},
  };
  for (tly_bbp_gpu_arithmetic a : arithmetics) {
    for (const series_case& s : cases) {
      const uint64_t largest = uint64_t{s.multiplier} * (s.last - 1) + s.offset;
      if (tly_bbp_gpu_moduli_below(a) && largest >= tly_bbp_gpu_moduli_below(a)) continue;
      std::vector<int64_t> device(s.cells, -1);
      tly_bbp_gpu_error error{};
      ASSERT_TRUE(tly_bbp_gpu_block(opencl().gpu, opencl().device, a, device.data(), s.cells, s.alternating, s.shift,
                                    s.first, s.last, s.step, s.multiplier, s.offset, 0, nullptr, nullptr, &error))
          << error.message;
      EXPECT_EQ(device, exact_block(s.cells, s.alternating, s.shift, s.first, s.last, s.step, s.multiplier, s.offset))
          << tly_bbp_gpu_arithmetic_name(a) << " first " << s.first;
    }
  }
}

// Launches of about a millisecond: the block is split where the launches' sizes fall, odd
// ones too, and the signs of an alternating series still count from the block's first term.
// Before each launch the stop function hears the terms finished so far.
TEST(Gpu, BlocksSplitIntoShortLaunches) {
  NEED_DEVICE();
  const uint64_t first = 300001, last = first + 30011, shift = 4 * first + 5000000;
  for (tly_bbp_gpu_arithmetic a : arithmetics) {
    std::vector<int64_t> device(3);
    tly_bbp_gpu_error error{};
    std::vector<uint64_t> asked;
    const auto note_asks = [](void* asked_so_far, uint64_t terms_done) {
      static_cast<std::vector<uint64_t>*>(asked_so_far)->push_back(terms_done);
      return false;
    };
    ASSERT_TRUE(tly_bbp_gpu_block(opencl().gpu, opencl().device, a, device.data(), 3, 1, shift, first, last, 4, 8, 1,
                                  1, note_asks, &asked, &error))
        << error.message;
    ASSERT_GT(asked.size(), 2u) << "one launch took the whole block";
    EXPECT_EQ(asked[0], 0u);
    EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()) &&
                std::adjacent_find(asked.begin(), asked.end()) == asked.end());
    EXPECT_LT(asked.back(), last - first);
    EXPECT_EQ(device, exact_block(3, 1, shift, first, last, 4, 8, 1)) << tly_bbp_gpu_arithmetic_name(a);
  }
}

TEST(Gpu, RefusesWhatItCannotTake) {
  NEED_DEVICE();
  int64_t block[2];
  tly_bbp_gpu_error error{};
  // The exact double arithmetic ends below 2^52; 132 cells are more than the kernels hold.
  EXPECT_FALSE(tly_bbp_gpu_block(opencl().gpu, opencl().device, tly_bbp_gpu_fp64_exact, block, 2, 0, 1ull << 56,
                                 (1ull << 50) - 2, (1ull << 50) + 2, 1, 4, 1, 0, nullptr, nullptr, &error));
  EXPECT_EQ(error.code, -1000);
  EXPECT_FALSE(tly_bbp_gpu_block(opencl().gpu, opencl().device, tly_bbp_gpu_montgomery64, block, 132, 0, 100, 0, 10,
                                 4, 8, 1, 0, nullptr, nullptr, &error));
  EXPECT_FALSE(tly_bbp_gpu_block(opencl().gpu, 99, tly_bbp_gpu_montgomery64, block, 2, 0, 100, 0, 10, 4, 8, 1, 0,
                                 nullptr, nullptr, &error));
  EXPECT_FALSE(tly_bbp_gpu_block(opencl().gpu, opencl().device, tly_bbp_gpu_montgomery64, block, 2, 0, 100, 0, 10, 4,
                                 8, 1, 0, [](void*, uint64_t) { return true; }, nullptr, &error));
  EXPECT_EQ(error.code, -1001);
  tly_bbp_gpu_arithmetic chosen = tly_bbp_gpu_fp64_exact;
  ASSERT_TRUE(tly_bbp_gpu_choose_arithmetic(opencl().gpu, opencl().device, 1ull << 60, 2, &chosen, &error));
  EXPECT_EQ(chosen, tly_bbp_gpu_montgomery64);
  ASSERT_TRUE(tly_bbp_gpu_choose_arithmetic(opencl().gpu, opencl().device, 1ull << 30, 2, &chosen, &error))
      << error.message;
}

// --list-devices names the device the tests use, with what the library reports of it.
TEST(Gpu, ProgramListsTheDevices) {
  NEED_DEVICE();
  const tly_bbp_program_run text = tly_bbp_run_with_arguments({"--list-devices"});
  EXPECT_EQ(text.exit_code, 0) << text.errors;
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(opencl().gpu, opencl().device);
  const std::string name = "opencl:" + std::to_string(d.platform) + ":" + std::to_string(d.index);
  EXPECT_NE(text.output.find(name + "\t" + d.name + "\n"), std::string::npos) << text.output;
  const tly_bbp_program_run json = tly_bbp_run_with_arguments({"--list-devices", "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.errors;
  const nlohmann::json list = nlohmann::json::parse(json.output);
  EXPECT_TRUE(list["opencl"].is_null());
  bool found = false;
  for (const auto& device : list["devices"])
    if (device["device"] == name) {
      found = true;
      EXPECT_EQ(device["gpu"], false);
      EXPECT_EQ(device["compute_units"], d.compute_units);
      EXPECT_EQ(device["arithmetic"], tly_bbp_gpu_arithmetic_name(d.arithmetic));
    }
  EXPECT_TRUE(found) << json.output;
}

std::string device_name() {
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(opencl().gpu, opencl().device);
  return "opencl:" + std::to_string(d.platform) + ":" + std::to_string(d.index);
}

std::vector<std::string> hexadecimal_results(const nlohmann::json& run) {
  std::vector<std::string> hex;
  for (const auto& result : run["results"]) hex.push_back(result["hexadecimal"]);
  return hex;
}

// Whole runs on the device alone and beside the processor threads print the digits of the
// processors' run, both formulas and each: the device's exact floors and the processors'
// estimates differ only in the guard words. The Result names each worker with its share.
TEST(Gpu, ProgramRunsOnTheDeviceGiveTheProcessorsDigits) {
  NEED_DEVICE();
  const std::string device = device_name();
  for (const char* formula : {"plouffe", "bellard", "both"}) {
    const std::vector<std::string> run = {"--place", "1000001", "--formula", formula, "--quiet", "--json", "--devices"};
    std::vector<std::string> arguments = run;
    arguments.push_back("cpu");
    const tly_bbp_program_run cpu = tly_bbp_run_with_arguments(arguments);
    ASSERT_EQ(cpu.exit_code, 0) << cpu.errors;
    const nlohmann::json on_cpu = nlohmann::json::parse(cpu.output);
    EXPECT_EQ(on_cpu["hexadecimal"], tly_bbp_oracle_hex(1000001, 32));
    EXPECT_FALSE(on_cpu.contains("devices"));  // the processors alone: as before there were devices
    for (const std::string& devices : {device, "cpu," + device}) {
      arguments = run;
      arguments.push_back(devices);
      const tly_bbp_program_run mixed = tly_bbp_run_with_arguments(arguments, 120);
      ASSERT_EQ(mixed.exit_code, 0) << devices << ": " << mixed.errors;
      EXPECT_EQ(mixed.errors, "");
      const nlohmann::json j = nlohmann::json::parse(mixed.output);
      EXPECT_EQ(hexadecimal_results(j), hexadecimal_results(on_cpu)) << formula << " on " << devices;
      ASSERT_EQ(j["devices"].size(), devices == device ? 1u : 2u) << j;
      EXPECT_EQ(j["devices"][0]["name"].get<std::string>().rfind(device + " (", 0), 0u) << j;
      if (devices == device) { EXPECT_GT(j["devices"][0]["terms"], 0) << j; }
      if (devices != device) { EXPECT_EQ(j["devices"][1]["name"], "cpu"); }
    }
  }
}

// --estimate times the device a run would use, through the run's own compute: it is named with
// its rate and share, the shares add up to 1, and an arithmetic --variant forces is the one its
// sample used. Without --devices the processor's device is not used: the line of the threads alone.
TEST(Gpu, EstimateTimesTheDeviceBesideTheThreads) {
  NEED_DEVICE();
  const std::string device = device_name();
  const std::string label = device + " (" + tly_bbp_gpu_device(opencl().gpu, opencl().device)->name;
  for (const std::string& devices : {device, "cpu," + device}) {
    std::vector<std::string> arguments = {"--place", "1000001", "--estimate", "--json", "--devices", devices};
    if (devices == device) arguments.insert(arguments.end(), {"--variant", "montgomery64"});
    const tly_bbp_program_run run = tly_bbp_run_with_arguments(arguments, 120);
    ASSERT_EQ(run.exit_code, 0) << devices << ": " << run.errors;
    EXPECT_EQ(run.errors, "");
    const nlohmann::json j = nlohmann::json::parse(run.output);
    EXPECT_GT(j["estimated_seconds"], 0.0) << j;
    ASSERT_EQ(j["workers"].size(), devices == device ? 1u : 2u) << j;
    double shares = 0;
    for (const auto& w : j["workers"]) {
      EXPECT_GT(w["terms_per_second"], 0) << j;
      EXPECT_GT(w["share"], 0.0) << j;
      shares += w["share"].get<double>();
    }
    EXPECT_NEAR(shares, 1.0, 1e-5) << j;
    if (devices == device) {
      EXPECT_EQ(j["workers"][0]["name"], label + ", montgomery64)") << j;
      EXPECT_EQ(j["threads"], 0) << j;
    } else {
      EXPECT_EQ(j["workers"][0]["name"].get<std::string>().rfind(label + ", ", 0), 0u) << j;
      EXPECT_EQ(j["workers"][1]["name"], "cpu") << j;
    }
  }
  const tly_bbp_program_run text = tly_bbp_run_with_arguments(
      {"--place", "1000001", "--estimate", "--threads", "1", "--devices", "cpu," + device}, 120);
  ASSERT_EQ(text.exit_code, 0) << text.errors;
  const std::string share = ": [0-9,]+ terms/s, [0-9.]+% of the terms\n";
  EXPECT_TRUE(std::regex_match(text.output, std::regex("Estimated time: [^\n]+ s on 1 thread and 1 device \\(.+\\)\n  " +
                                                       std::regex_replace(device, std::regex("[.()]"), "\\$&") +
                                                       " \\([^\n]+\\)" + share + "  1 thread" + share)))
      << text.output;
  const tly_bbp_program_run alone =
      tly_bbp_run_with_arguments({"--place", "1000001", "--estimate", "--threads", "1"}, 120);
  ASSERT_EQ(alone.exit_code, 0) << alone.errors;
  EXPECT_TRUE(std::regex_match(alone.output, std::regex("Estimated time: [^\n]+ s on 1 thread \\([^\n]+\\)\n")))
      << alone.output;
}

// --variant forces a device arithmetic on the device, alone or with a processor variant: the
// processors' digits, and the Result line names that arithmetic alone. Names that cannot be
// are refused before anything runs.
TEST(Gpu, VariantForcesTheDevicesArithmetic) {
  NEED_DEVICE();
  const std::string device = device_name();
  const std::string baseline = tly_bbp_variants[0].name;
  for (const auto& [variant, used] : {std::pair{std::string("fp64-exact"), "fp64-exact"},
                                      std::pair{baseline + ",montgomery64", "montgomery64"}}) {
    const tly_bbp_program_run run = tly_bbp_run_with_arguments(
        {"--place", "1000001", "--quiet", "--devices", device, "--variant", variant}, 120);
    ASSERT_EQ(run.exit_code, 0) << variant << ": " << run.errors;
    const size_t result = run.output.find("Result: bellard, place 1000001, 32 digits, hexadecimal " +
                                          tly_bbp_oracle_hex(1000001, 32) + ", ");
    ASSERT_NE(result, std::string::npos) << run.output;
    const std::string line = run.output.substr(result);
    EXPECT_NE(line.find(", " + std::string(used) + ") 100.0% of the terms"), std::string::npos) << line;
    EXPECT_EQ(line.find(used == std::string("fp64-exact") ? "montgomery64" : "fp64-exact"), std::string::npos) << line;
    if (variant != used) { EXPECT_NE(line.find("(" + baseline + ")"), std::string::npos) << line; }
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--place", "9", "--variant", "fp64-exact,montgomery64"}, "--variant: \"fp64-exact,montgomery64\" names two device arithmetics"},
      {{"--place", "9", "--variant", "montgomery64,"}, "--variant: an empty name in \"montgomery64,\""},
      {{"--place", "9", "--variant", "FP64-exact"}, "--variant: \"FP64-exact\" is no variant of this program"},
      {{"--place", "2^50", "--variant", "fp64-exact", "--devices", device},
       "--variant: fp64-exact handles moduli below 2^52, but the run's terms reach the modulus "},
  };
  for (const auto& [arguments, said] : refused) {
    const tly_bbp_program_run run = tly_bbp_run_with_arguments(arguments, 60);
    EXPECT_EQ(run.exit_code, 2) << said;
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors.rfind("tallyspire-bbp: " + said, 0), 0u) << run.errors;
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
  }
  // Listed after the processor variants, marked as device arithmetics.
  const tly_bbp_program_run text = tly_bbp_run_with_arguments({"--list-variants"}, 60);
  EXPECT_NE(text.output.find("\nfp64-exact\tmoduli below 2^52\tdevice arithmetic\n"
                             "montgomery64\tevery 64-bit modulus\tdevice arithmetic\n"),
            std::string::npos)
      << text.output;
  const nlohmann::json list = nlohmann::json::parse(tly_bbp_run_with_arguments({"--list-variants", "--json"}, 60).output);
  ASSERT_EQ(list.size(), size_t(tly_bbp_variant_count) + 2);
  EXPECT_EQ(list[tly_bbp_variant_count]["name"], "fp64-exact");
  EXPECT_EQ(list[tly_bbp_variant_count]["moduli_below"], "4503599627370496");
  EXPECT_EQ(list[tly_bbp_variant_count + 1]["moduli_below"], nullptr);
  EXPECT_EQ(list[tly_bbp_variant_count + 1]["device"], true);
  EXPECT_EQ(list[0]["device"], false);
}

// A checkpoint saved by a run on the device resumes on the processors alone and the other way
// round, with the same digits.
TEST(Gpu, CheckpointsPassBetweenTheDeviceAndTheProcessors) {
  NEED_DEVICE();
  const std::string device = device_name();
  for (const auto& [first, then] : {std::pair{device, std::string("cpu")}, std::pair{std::string("cpu"), device}}) {
    const std::string directory = tly_bbp_scratch_directory();
    ASSERT_FALSE(directory.empty());
    const std::string path = directory + "ck";
    const std::vector<std::string> run = {"--place", "1000001", "--formula", "both", "--quiet", "--json",
                                          "--threads", "1", "--checkpoint", path, "--devices"};
    // Stopped after the save at its start: the processors are quick, and may still finish first.
    std::vector<std::string> command = tly_bbp_stopped_after_saves(path, 1, "INT");
    command.push_back(TLY_BBP_PROGRAM);
    command.insert(command.end(), run.begin(), run.end());
    command.push_back(first);
    const tly_bbp_program_run stopped = tly_bbp_run_command("", 120, {}, command);
    std::vector<std::string> arguments = run;
    arguments.push_back(then);
    const tly_bbp_program_run resumed = tly_bbp_run_with_arguments(arguments, 120);
    ASSERT_EQ(resumed.exit_code, 0) << first << " then " << then << ": " << stopped.output << resumed.errors;
    const nlohmann::json j = nlohmann::json::parse(resumed.output);
    EXPECT_EQ(j["from_checkpoint"], true);
    if (first == device) { EXPECT_EQ(stopped.output.substr(0, 4), "130 ") << stopped.output; }
    EXPECT_EQ(hexadecimal_results(j), std::vector<std::string>(2, tly_bbp_oracle_hex(1000001, 32)))
        << first << " then " << then;
  }
}

// Devices asked for and not there are refused before anything runs, in the program's words.
TEST(Gpu, MissingDevicesAreRefused) {
  NEED_DEVICE();
  bool any_gpu = false;
  for (int d = 0; d < tly_bbp_gpu_device_count(opencl().gpu); ++d) any_gpu = any_gpu || tly_bbp_gpu_device(opencl().gpu, d)->is_gpu;
  std::vector<std::pair<std::string, std::string>> cases = {{"opencl:0:99", "--devices: there is no device opencl:0:99"},
                                                            {"cpu,opencl:99:0", "--devices: there is no device opencl:99:0"}};
  if (!any_gpu) cases.push_back({"gpu", "--devices gpu: no GPU found"});
  // The estimate opens the same workers, and refuses the same.
  for (const auto& [devices, said] : cases)
    for (const char* what : {"--quiet", "--estimate"}) {
      const tly_bbp_program_run run = tly_bbp_run_with_arguments({"--place", "1000001", what, "--devices", devices});
      EXPECT_EQ(run.exit_code, 2) << devices << " " << what;
      EXPECT_EQ(run.output, "");
      EXPECT_EQ(run.errors.rfind("tallyspire-bbp: " + said, 0), 0u) << run.errors;
      EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    }
}

// Without the CUDA driver (none on these machines) CUDA reports why, in the library and in the
// listing, and the OpenCL devices stay usable.
TEST(Gpu, NoCudaDriverIsReportedAndOpenClGoesOn) {
  NEED_DEVICE();
#if defined(TLY_BBP_HAVE_CUDA)
  if (void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL)) {
    dlclose(driver);
    GTEST_SKIP() << "this machine has a CUDA driver";
  }
  const std::string why = "no CUDA driver (libcuda.so.1)";
#else
  const std::string why = "this build has no CUDA support";
#endif
  EXPECT_EQ(tly_bbp_gpu_backend_status(opencl().gpu, tly_bbp_gpu_cuda), why);
  EXPECT_STREQ(tly_bbp_gpu_backend_status(opencl().gpu, tly_bbp_gpu_opencl), "");
  const tly_bbp_program_run text = tly_bbp_run_with_arguments({"--list-devices"});
  EXPECT_EQ(text.exit_code, 0) << text.errors;
  EXPECT_NE(text.output.find("No CUDA devices: " + why + ".\n"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("opencl:"), std::string::npos) << text.output;
  const tly_bbp_program_run json = tly_bbp_run_with_arguments({"--list-devices", "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.errors;
  EXPECT_EQ(nlohmann::json::parse(json.output)["cuda"], why);
  // A block on the OpenCL device with CUDA missing.
  int64_t block[2];
  tly_bbp_gpu_error error{};
  EXPECT_TRUE(tly_bbp_gpu_block(opencl().gpu, opencl().device, tly_bbp_gpu_montgomery64, block, 2, 0, 40, 0, 8, 4, 8,
                                1, 0, nullptr, nullptr, &error))
      << error.message;
  EXPECT_EQ(std::vector<int64_t>(block, block + 2), exact_block(2, 0, 40, 0, 8, 4, 8, 1));
}

// Each entry is found by its own name and by no near miss: the names --devices takes.
TEST(Gpu, DevicesAreFoundByTheirNamesAlone) {
  NEED_DEVICE();
  tly_bbp_gpu* gpu = opencl().gpu;
  for (int i = 0; i < tly_bbp_gpu_device_count(gpu); ++i) {
    const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(gpu, i);
    char name[32];
    tly_bbp_gpu_device_name(&d, name, sizeof name);
    EXPECT_EQ(tly_bbp_gpu_find_device(gpu, name), i) << name;
    EXPECT_EQ(d.backends & (1u << d.backend), 1u << d.backend) << name;
    EXPECT_TRUE(d.same_as < 0 || tly_bbp_gpu_device(gpu, d.same_as)->backend == tly_bbp_gpu_cuda) << name;
  }
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(gpu, opencl().device);
  EXPECT_EQ(d.backend, tly_bbp_gpu_opencl);
  const std::string platform = std::to_string(d.platform), index = std::to_string(d.index);
  for (const std::string& miss : {"opencl:0" + platform + ":" + index, "opencl:" + platform + ":" + index + " ",
                                  "opencl:+" + platform + ":" + index, "OpenCL:" + platform + ":" + index,
                                  "opencl:" + platform, std::string("opencl:"), std::string(""),
                                  std::string("cuda:-0"), std::string("cuda:999999999999")})
    EXPECT_EQ(tly_bbp_gpu_find_device(gpu, miss.c_str()), -1) << miss;
  EXPECT_EQ(tly_bbp_gpu_find_device(gpu, nullptr), -1);
}

}  // namespace
