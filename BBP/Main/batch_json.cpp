// The JSON output of command-line runs: one object on standard output.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "batch.h"
#include "../engine/engine.h"

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
    results.push_back({{"formula", tly_bbp_formula_names[f.formula]},
                       {"hexadecimal", tly_bbp_hex_string(f.words.data(), o.digits)},
                       {"binary", tly_bbp_binary_string(f.words.data(), o.digits)},
                       {"seconds", f.seconds},
                       {"series_seconds", f.series_seconds}});
    seconds += f.seconds;
  }
  out["results"] = results;
  out["seconds"] = seconds;
  out["threads"] = r.threads;
  out["variant"] = tly_bbp_active_variant()->name;
  out["version"] = tly_bbp_version;
  out["from_checkpoint"] = r.from_checkpoint;
  std::printf("%s\n", out.dump().c_str());
}
