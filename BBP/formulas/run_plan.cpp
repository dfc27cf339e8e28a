// The formulas, series and term counts of a command-line run.
#include "run_plan.h"

#include <algorithm>

std::vector<tly_bbp_run_formula> tly_bbp_run_formulas(int32_t choice, uint64_t place, uint64_t digits) {
  const tly_bbp_run_values values = tly_bbp_command_line_run_values(place, digits);
  std::vector<tly_bbp_run_formula> formulas;
  if (choice != 1)
    formulas.push_back({0, tly_bbp_Plouffe_series, 4, tly_bbp_Plouffe_term_count(values.position, values.words)});
  if (choice != 0)
    formulas.push_back({1, tly_bbp_Bellard_series, 7, tly_bbp_Bellard_term_count(values.position, values.words)});
  return formulas;
}

uint64_t tly_bbp_power_count(const tly_bbp_series& series, uint64_t position, uint64_t term_count) {
  return std::min(term_count, (tly_bbp_series_shift(series, position) + series.step - 1) / series.step);
}

uint64_t tly_bbp_run_largest_modulus(int32_t choice, uint64_t place, uint64_t digits) {
  const uint64_t position = tly_bbp_command_line_run_values(place, digits).position;
  uint64_t largest = 0;
  for (const tly_bbp_run_formula& f : tly_bbp_run_formulas(choice, place, digits))
    for (int i = 0; i < f.count; ++i) {
      const uint64_t powers = tly_bbp_power_count(f.series[i], position, f.term_count);
      // Below 2^63 by the place limits, with room to spare.
      if (powers) largest = std::max(largest, f.series[i].multiplier * (powers - 1) + f.series[i].offset);
    }
  return largest;
}
