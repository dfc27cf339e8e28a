// Test-only reference digits of pi, computed with MPFR independently of the program's BBP engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// `count` lower-case hex digits of pi starting at hex place `start` (1-based: place 1 is the
// first digit after the point, so start = 1 gives "243f6a88..."). Pi is cached at the largest
// precision asked for so far, so many windows in one process cost one pi computation.
std::string tly_bbp_oracle_hex(uint64_t start, uint64_t count);

// The same digits packed eight to a 32-bit word: word i holds places start+8i .. start+8i+7,
// the first of them in its top nibble.
std::vector<uint32_t> tly_bbp_oracle_words(uint64_t start, uint64_t word_count);

// Computes pi once for every place up to `last_place`, so a test can pay for it up front.
void tly_bbp_oracle_reserve(uint64_t last_place);

// Bits of pi's significand currently cached (0 before the first use).
uint64_t tly_bbp_oracle_cached_precision();

// The same digits from a fresh pi at exactly `precision_bits`, bypassing every cache; throws
// std::invalid_argument if that precision cannot settle the window. Lets tests check that the
// answer does not depend on the working precision.
std::string tly_bbp_oracle_hex_at_precision(uint64_t start, uint64_t count, uint64_t precision_bits);
