// What a command-line run evaluates: its formulas, their series and term counts, and the
// moduli its powers reach.
#pragma once
#include <cstdint>
#include <vector>

#include "formulas.h"
#include "run_values.h"

struct tly_bbp_run_formula {
  int32_t formula;  // 0 Plouffe, 1 Bellard
  const tly_bbp_series* series;
  int count;
  uint64_t term_count;  // of every series
};

// The formulas of a --formula choice (0 Plouffe, 1 Bellard, 2 both), in the order computed.
std::vector<tly_bbp_run_formula> tly_bbp_run_formulas(int32_t choice, uint64_t place, uint64_t digits);

// The number of a series' terms with a positive exponent (the powers; the later terms are
// plain fractions).
uint64_t tly_bbp_power_count(const tly_bbp_series& series, uint64_t position, uint64_t term_count);

// The largest modulus multiplier*k + offset of the run's powers (the terms with a positive
// exponent, which the variants compute; the later ones are plain fractions).
uint64_t tly_bbp_run_largest_modulus(int32_t choice, uint64_t place, uint64_t digits);
