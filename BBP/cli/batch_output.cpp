// Output of command-line runs: the console's digit blocks, the agreement line and the summary
// line; the line of an estimate.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "../formulas/run_values.h"
#include "display.h"
#include "batch.h"
#include "../formulas/run_plan.h"
#include "variant_choice.h"

const char* const tly_bbp_formula_names[2] = {"plouffe", "bellard"};

std::string tly_bbp_hex_string(const uint32_t* result, uint64_t digits) {
  std::string text(digits, '0');
  tly_bbp_hex_digits(result, digits, text.data());
  return text;
}

std::string tly_bbp_binary_string(const uint32_t* result, uint64_t digits) {
  const uint32_t* display = result + tly_bbp_display_guard_words;
  std::string text;
  for (uint64_t b = 32 * ((digits + 7) / 8); text.size() < 4 * digits;) {
    --b;
    text += (display[b / 32] >> (b % 32)) & 1 ? '1' : '0';
  }
  return text;
}

void tly_bbp_print_batch_text(const tly_bbp_batch_result& r) {
  const tly_bbp_options& o = r.options;
  const uint64_t position = tly_bbp_command_line_run_values(o.place, o.digits).position;
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
  // A job: its ranks, and the threads of each when they ran alike.
  const int32_t threads = r.ranks > 1 && r.threads_per_rank ? r.threads_per_rank : r.threads;
  std::string team = std::to_string(threads) + (threads == 1 ? " thread" : " threads");
  if (r.ranks > 1)
    team = std::to_string(r.ranks) + " ranks" + (r.threads_per_rank ? " × " : ", ") + team +
           (r.threads_per_rank ? "" : " in all");
  // Workers beside or instead of the threads: each with its share of the terms.
  if (!r.devices.empty()) {
    uint64_t all = 0;
    for (uint64_t terms : r.device_terms) all += terms;
    std::string shares;
    for (size_t k = 0; k < r.devices.size(); ++k) {
      char share[32];
      std::snprintf(share, sizeof share, " %.1f%%", all ? 100.0 * double(r.device_terms[k]) / double(all) : 0.0);
      // In a job each device's rank; the threads' share is that of every rank's.
      const int32_t rank = k < r.device_ranks.size() ? r.device_ranks[k] : -1;
      const std::string where = rank < 0 ? "" : " on rank " + std::to_string(rank);
      shares += (k ? ", " : "") + (r.devices[k] == "cpu" ? team : r.devices[k] + where) + share;
    }
    team = shares + " of the terms";
  }
  std::printf("Result: %s, place %" PRIu64 ", %" PRIu64 " digits, %s, %.3f s on %s (%s)%s\n", verdict.c_str(), o.place,
              o.digits, digits.c_str(), seconds, team.c_str(),
              tly_bbp_variant_used(o.policy, tly_bbp_run_largest_modulus(o.choice, o.place, o.digits)).c_str(),
              r.from_checkpoint ? ", resumed from the checkpoint" : "");
}

std::string tly_bbp_thousands(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

namespace {

// Clamped below 2^63: an hour's rate of a far place may leave more years than a number holds.
std::string thousands(double value) { return tly_bbp_thousands(uint64_t(std::min(value, 9e18) + 0.5)); }

std::string seconds_text(double seconds) {
  if (seconds >= 10) return thousands(seconds) + " s";
  char text[32];
  std::snprintf(text, sizeof text, "%.3g s", seconds);
  return text;
}

}  // namespace

std::string tly_bbp_duration_text(double seconds) {
  const double year = 365.25 * 86400;
  char text[64];
  // An estimate's precision: tenths of a second at most.
  if (seconds < 0.05) return "under 0.1 s";
  if (seconds < 1) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }
  if (seconds < 60) return seconds_text(seconds);
  if (seconds < 3600) {
    const long long s = std::llround(seconds);
    std::snprintf(text, sizeof text, "%lld min %lld s", s / 60, s % 60);
  } else if (seconds < 86400) {
    const long long m = std::llround(seconds / 60);
    std::snprintf(text, sizeof text, "%lld h %lld min", m / 60, m % 60);
  } else if (seconds < year) {
    const long long h = std::llround(seconds / 3600);
    std::snprintf(text, sizeof text, "%lld d %lld h", h / 24, h % 24);
  } else if (seconds < 10 * year) {
    std::snprintf(text, sizeof text, "%.1f years", seconds / year);
  } else {
    return thousands(seconds / year) + " years";
  }
  return text;
}

void tly_bbp_print_estimate_text(const tly_bbp_options& o, const tly_bbp_estimate& e,
                                 const std::vector<std::string>& workers) {
  std::string parts;
  if (e.formulas.size() > 1)
    for (const tly_bbp_formula_estimate& f : e.formulas)
      parts += std::string(parts.empty() ? ": " : ", ") + tly_bbp_formula_names[f.formula] + " " +
               tly_bbp_duration_text(f.seconds);
  // The seconds beside a longer time, for scripts and sums.
  const std::string seconds = e.seconds < 60 ? "" : " (" + seconds_text(e.seconds) + ")";
  // The threads, and the devices beside or instead of them; each worker's line follows.
  std::string team = std::to_string(e.threads) + (e.threads == 1 ? " thread" : " threads");
  std::string lines;
  int devices = 0;
  const bool threads_alone = workers.size() == 1 && workers[0] == "cpu";
  for (size_t k = 0; k < e.workers.size() && !threads_alone; ++k) {
    if (e.workers[k].failed) continue;
    if (workers[k] != "cpu") ++devices;
    char share[48];
    std::snprintf(share, sizeof share, " terms/s, %.1f%% of the terms\n", 100 * e.workers[k].share);
    lines += "  " + (workers[k] == "cpu" ? team : workers[k]) + ": " + thousands(e.workers[k].terms_per_second) + share;
  }
  if (devices > 0) {
    const std::string on_devices = std::to_string(devices) + (devices == 1 ? " device" : " devices");
    team = workers.back() == "cpu" ? team + " and " + on_devices : on_devices;
  }
  std::printf("Estimated time: %s%s on %s (%s)%s\n%s", tly_bbp_duration_text(e.seconds).c_str(), seconds.c_str(),
              team.c_str(),
              tly_bbp_variant_used(o.policy, tly_bbp_run_largest_modulus(o.choice, o.place, o.digits)).c_str(),
              parts.c_str(), lines.c_str());
}
