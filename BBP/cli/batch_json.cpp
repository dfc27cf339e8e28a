// The JSON output of command-line runs and estimates: one object on standard output.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "../engine/engine.h"
#include "batch.h"
#include "../formulas/run_plan.h"
#include "variant_choice.h"

namespace {

// Times to the millisecond the clock can vouch for, not 17 digits of noise.
double milliseconds(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

std::vector<double> milliseconds(const std::vector<double>& seconds) {
  std::vector<double> rounded;
  for (double s : seconds) rounded.push_back(milliseconds(s));
  return rounded;
}

// A whole number that may pass 2^53, as a number and beside it as decimal digits under
// name_decimal: readers that hold numbers in doubles (jq 1.6, JavaScript) round it.
void put_large(nlohmann::ordered_json* out, const char* name, uint64_t value) {
  (*out)[name] = value;
  (*out)[std::string(name) + "_decimal"] = std::to_string(value);
}

// The fields every object begins with: the run asked for.
nlohmann::ordered_json run_asked(const tly_bbp_options& o) {
  static const char* const choices[] = {"plouffe", "bellard", "both"};
  nlohmann::ordered_json out = {{"formula", choices[o.choice]}};
  put_large(&out, "place", o.place);
  out["digits"] = o.digits;
  return out;
}

// The variant in use, and the tiers that take over from it when the run needs them; the first
// one's modulus also as exact_tiers_from, for the scripts that read only that.
void put_variant(nlohmann::ordered_json* out, const tly_bbp_options& o) {
  (*out)["variant"] = tly_bbp_active_variant(o.policy)->name;
  const std::vector<tly_bbp_tier> tiers = tly_bbp_run_tiers(o.policy, tly_bbp_run_largest_modulus(o.choice, o.place, o.digits));
  if (tiers.empty()) return;
  put_large(out, "exact_tiers_from", tiers[0].moduli_from);
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const tly_bbp_tier& t : tiers) {
    nlohmann::ordered_json tier = {{"variant", t.variant}};
    put_large(&tier, "moduli_from", t.moduli_from);
    list.push_back(tier);
  }
  (*out)["tiers"] = list;
}

}  // namespace

void tly_bbp_print_batch_json(const tly_bbp_batch_result& r) {
  const tly_bbp_options& o = r.options;
  nlohmann::ordered_json out = run_asked(o);
  const bool agree = r.first_difference < 0;
  // The window at the top only when it is certain: one formula, or two that agree.
  if (agree) {
    out["hexadecimal"] = tly_bbp_hex_string(r.formulas.back().words.data(), o.digits);
    out["binary"] = tly_bbp_binary_string(r.formulas.back().words.data(), o.digits);
  }
  if (r.formulas.size() > 1) out["agree"] = agree;
  if (!agree) out["first_difference"] = r.first_difference + 1;
  double seconds = 0;
  nlohmann::ordered_json results = nlohmann::ordered_json::array();
  for (const tly_bbp_formula_result& f : r.formulas) {
    results.push_back({{"formula", tly_bbp_formula_names[f.formula]},
                       {"hexadecimal", tly_bbp_hex_string(f.words.data(), o.digits)},
                       {"binary", tly_bbp_binary_string(f.words.data(), o.digits)},
                       {"seconds", milliseconds(f.seconds)},
                       {"series_seconds", milliseconds(f.series_seconds)}});
    seconds += f.seconds;
  }
  out["results"] = results;
  out["seconds"] = milliseconds(seconds);
  out["threads"] = r.threads;
  out["ranks"] = r.ranks;
  out["threads_per_rank"] = r.threads_per_rank ? nlohmann::ordered_json(r.threads_per_rank) : nlohmann::ordered_json();
  if (!r.devices.empty()) {
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (size_t k = 0; k < r.devices.size(); ++k) {
      devices.push_back({{"name", r.devices[k]}, {"terms", r.device_terms[k]}});
      if (k < r.device_ranks.size() && r.device_ranks[k] >= 0) devices.back()["rank"] = r.device_ranks[k];
    }
    out["devices"] = devices;
  }
  put_variant(&out, o);
  out["version"] = tly_bbp_version;
  out["from_checkpoint"] = r.from_checkpoint;
  std::printf("%s\n", out.dump().c_str());
}

void tly_bbp_print_estimate_json(const tly_bbp_options& o, const tly_bbp_estimate& e,
                                 const std::vector<std::string>& workers) {
  nlohmann::ordered_json out = run_asked(o);
  out["estimated_seconds"] = milliseconds(e.seconds);
  nlohmann::ordered_json results = nlohmann::ordered_json::array();
  for (const tly_bbp_formula_estimate& f : e.formulas) {
    results.push_back({{"formula", tly_bbp_formula_names[f.formula]},
                       {"seconds", milliseconds(f.seconds)},
                       {"series_seconds", milliseconds(f.series_seconds)}});
  }
  out["results"] = results;
  put_large(&out, "terms", e.terms);
  out["threads"] = e.threads;
  put_variant(&out, o);
  // Each worker that computed in the sample: its rate alone and its share beside the others.
  nlohmann::ordered_json shares = nlohmann::ordered_json::array();
  for (size_t k = 0; k < e.workers.size(); ++k)
    if (!e.workers[k].failed)
      shares.push_back({{"name", workers[k]},
                        {"terms_per_second", std::llround(e.workers[k].terms_per_second)},
                        {"share", std::round(e.workers[k].share * 1e6) / 1e6}});
  out["workers"] = shares;
  put_large(&out, "sample_terms", e.sample_terms);
  out["sample_seconds"] = milliseconds(e.sample_seconds);
  out["version"] = tly_bbp_version;
  std::printf("%s\n", out.dump().c_str());
}
