// Output of command-line runs: the console's digit blocks, the agreement line and the summary line.
#include <cinttypes>
#include <cstdio>

#include "../engine/engine.h"
#include "batch.h"
#include "console.h"

const char* const tly_bbp_formula_names[2] = {"plouffe", "bellard"};

std::string tly_bbp_hex_string(const uint32_t* result, uint64_t digits) {
  const uint32_t* display = result + 3;  // above the guard words
  std::string text;
  for (uint64_t h = 8 * ((digits + 7) / 8); text.size() < digits;) {
    --h;
    text += "0123456789abcdef"[(display[h / 8] >> (4 * (h % 8))) & 0xF];
  }
  return text;
}

std::string tly_bbp_binary_string(const uint32_t* result, uint64_t digits) {
  const uint32_t* display = result + 3;
  std::string text;
  for (uint64_t b = 32 * ((digits + 7) / 8); text.size() < 4 * digits;) {
    --b;
    text += (display[b / 32] >> (b % 32)) & 1 ? '1' : '0';
  }
  return text;
}

void tly_bbp_print_batch_text(const tly_bbp_batch_result& r) {
  const tly_bbp_options& o = r.options;
  const uint64_t position = tly_bbp_derive_run_values(o.place, o.digits).position;
  double seconds = 0;
  for (const tly_bbp_formula_result& f : r.formulas) {
    if (r.formulas.size() > 1) std::printf("%s formula:\n\n", f.formula ? "Bellard" : "Plouffe");
    tly_bbp_print_digits(f.words.data(), o.digits, position);
    seconds += f.seconds;
  }
  std::string verdict = tly_bbp_formula_names[r.formulas[0].formula];
  std::string digits = "hexadecimal " + tly_bbp_hex_string(r.formulas.back().words.data(), o.digits);
  if (r.formulas.size() > 1) {
    if (r.first_difference < 0) {
      std::printf("The formulas agree on all %" PRIu64 " digits.\n\n", o.digits);
      verdict = "both formulas agree";
    } else {
      std::printf("The formulas disagree from digit %" PRId64 " on (hexadecimal place %" PRIu64 ").\n\n",
                  r.first_difference + 1, o.place + uint64_t(r.first_difference));
      verdict = "the formulas DISAGREE from digit " + std::to_string(r.first_difference + 1);
      digits = "plouffe " + tly_bbp_hex_string(r.formulas[0].words.data(), o.digits) + ", bellard " +
               tly_bbp_hex_string(r.formulas[1].words.data(), o.digits);
    }
  }
  std::printf("Result: %s, place %" PRIu64 ", %" PRIu64 " digits, %s, %.3f s on %d threads (%s)%s\n", verdict.c_str(),
              o.place, o.digits, digits.c_str(), seconds, r.threads, tly_bbp_active_variant()->name,
              r.from_checkpoint ? ", resumed from the checkpoint" : "");
}
