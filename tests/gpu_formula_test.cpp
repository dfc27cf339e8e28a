// Whole formulas summed on the GPU kernels through OpenCL (PoCL here) against pi's digits and the engine's run.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/kernel.h"
#include "engine/pblock.h"
#include "engine/system.h"
#include "exact.h"
#include "formulas/formulas.h"
#include "formulas/run_values.h"
#include "formulas/series_sum.h"
#include "gpu.h"
#include "opencl_device.h"
#include "run_program.h"

namespace {

// Whole formulas: every series summed on the device in one block, combined by the series'
// signs; its digits are pi's, and those of the engine's run where `with_engine`, each series
// then also against the engine's block kernel over the same terms.
void whole_formulas(uint64_t place, bool with_engine) {
  constexpr uint64_t digits = 16;
  const tly_bbp_run_values v = tly_bbp_derive_run_values(place, digits);
  for (int formula = 0; formula < 2; ++formula) {
    const tly_bbp_series* series = formula == 0 ? tly_bbp_Plouffe_series : tly_bbp_Bellard_series;
    const int count = formula == 0 ? 4 : 7;
    const uint64_t terms = (formula == 0 ? tly_bbp_Plouffe_term_count : tly_bbp_Bellard_term_count)(v.position, v.words);
    std::vector<int64_t> sum(v.words, 0), block(v.words);
    for (int i = 0; i < count; ++i) {
      const tly_bbp_series& s = series[i];
      tly_bbp_gpu_error error{};
      ASSERT_TRUE(tly_bbp_gpu_block(opencl().gpu, opencl().device, tly_bbp_gpu_fp64_exact, block.data(), v.words,
                                    s.alternating, tly_bbp_series_shift(s, v.position), 0, terms, s.step,
                                    s.multiplier, s.offset, 0, nullptr, nullptr, &error))
          << error.message;
      if (with_engine) {
        std::vector<int64_t> cpu(v.words);
        void* scratch = tly_bbp_alloc(8 * v.words * sizeof(uint64_t));
        tly_bbp_kernel(cpu.data(), v.words, s.alternating, tly_bbp_series_shift(s, v.position), 0, terms, s.step,
                       s.multiplier, s.offset, scratch, tly_bbp_engine_choice);
        tly_bbp_free(scratch);
        std::vector<uint32_t> on_device(block.begin(), block.end()), on_cpu(cpu.begin(), cpu.end());
        // The engine's estimates fall short by up to two units a term, and its even lanes, a
        // step lower, up to 2^(step+1) once shifted back: the device's exact floors lie within
        // terms * 2^(step+2) units above (at place 10^6 + 1 about terms * 2^(step-2)), more
        // than a word below the displayed digits.
        const int64_t difference = tly_bbp_exact_difference(on_device.data(), on_cpu.data(), v.words);
        EXPECT_GE(difference, 0) << "series " << i;
        EXPECT_LE(difference, static_cast<int64_t>(terms) << (s.step + 2)) << "series " << i;
      }
      int64_t carry = 0;
      for (uint64_t c = 0; c < v.words; ++c) {
        carry += sum[c] + (s.negative ? -block[c] : block[c]);
        sum[c] = carry & 0xFFFFFFFF;
        carry >>= 32;
      }
    }
    std::vector<uint32_t> device(v.words), engine(v.words);
    for (uint64_t c = 0; c < v.words; ++c) device[c] = static_cast<uint32_t>(sum[c]);
    auto hex = [&](const std::vector<uint32_t>& words) {
      std::string text;
      char word[9];
      for (uint64_t c = v.words; c-- > v.words - digits / 8;) {
        std::snprintf(word, sizeof word, "%08" PRIx32, words[c]);
        text += word;
      }
      return text;
    };
    EXPECT_EQ(hex(device), tly_bbp_oracle_hex(place, digits)) << "formula " << formula << " place " << place;
    if (with_engine) {
      const tly_bbp_engine_run run{0, tly_bbp_engine_choice, nullptr, nullptr, nullptr, 0, {}, nullptr, nullptr, nullptr};
      ASSERT_EQ((formula == 0 ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(engine.data(), v.position, v.words,
                                                                         v.block_hint, run),
                tly_bbp_status_done);
      EXPECT_EQ(hex(device), hex(engine));
    }
  }
}

TEST(Gpu, WholeFormulasAtPlace1000001) {
  NEED_DEVICE();
  whole_formulas(1000001, true);
}

// And through the program, the device beside the processor threads: both formulas agree on
// pi's digits.
TEST(Gpu, WholeFormulasAtPlace10000001) {
  NEED_DEVICE();
  whole_formulas(10000001, false);
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(opencl().gpu, opencl().device);
  const std::string device = "opencl:" + std::to_string(d.platform) + ":" + std::to_string(d.index);
  const tly_bbp_program_run run = tly_bbp_run_with_arguments(
      {"--place", "10000001", "--formula", "both", "--quiet", "--devices", "cpu," + device}, 600);
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_NE(run.output.find("Result: both formulas agree, place 10000001, 32 digits, hexadecimal " +
                            tly_bbp_oracle_hex(10000001, 32) + ", "),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(" on " + device + " ("), std::string::npos) << run.output;
}

}  // namespace
