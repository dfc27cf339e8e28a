// The JSON output of command-line runs: one object on standard output.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "../engine/engine.h"
#include "batch.h"

namespace {

// Times to the millisecond the clock can vouch for, not 17 digits of noise.
double milliseconds(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

}  // namespace

void tly_bbp_print_batch_json(const tly_bbp_batch_result& r) {
  const tly_bbp_options& o = r.options;
  nlohmann::ordered_json out;
  static const char* const choices[] = {"plouffe", "bellard", "both"};
  out["formula"] = choices[o.choice];
  out["place"] = o.place;
  out["digits"] = o.digits;
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
    std::vector<double> series_seconds;
    for (double s : f.series_seconds) series_seconds.push_back(milliseconds(s));
    results.push_back({{"formula", tly_bbp_formula_names[f.formula]},
                       {"hexadecimal", tly_bbp_hex_string(f.words.data(), o.digits)},
                       {"binary", tly_bbp_binary_string(f.words.data(), o.digits)},
                       {"seconds", milliseconds(f.seconds)},
                       {"series_seconds", series_seconds}});
    seconds += f.seconds;
  }
  out["results"] = results;
  out["seconds"] = milliseconds(seconds);
  out["threads"] = r.threads;
  out["variant"] = tly_bbp_active_variant()->name;
  out["version"] = tly_bbp_version;
  out["from_checkpoint"] = r.from_checkpoint;
  std::printf("%s\n", out.dump().c_str());
}
