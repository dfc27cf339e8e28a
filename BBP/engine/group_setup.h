// Where one group's square-and-double loop starts: aligned pair exponents and the first window.
#pragma once
#include <cstdint>
#include <type_traits>
#include <utility>

namespace {

struct tly_bbp_group_start {
  uint32_t s;              // bit counter at the loop's start: 64 - s steps remain
  uint32_t power[4];       // each pair starts at x = 2^power (0 without the window)
  uint64_t pair_bits[4];   // each pair's exponent, its next bit at bit 63
};

// The exponents fall from pair to pair by 2*step; all four are aligned on the leading one
// of `exponent`, so the shorter ones begin with zero bits, which square 1 to 1.
inline tly_bbp_group_start tly_bbp_group_setup(const uint64_t* moduli, uint32_t known_zeros, uint64_t exponent,
                                               uint64_t step) {
  tly_bbp_group_start g;
  uint64_t t = exponent << (known_zeros & 63);
  g.s = known_zeros;
  while (static_cast<int64_t>(t) > 0) {
    t += t;
    ++g.s;
  }
  const uint64_t d = step << (g.s & 63);
  g.pair_bits[0] = t - d;
  for (int j = 1; j < 4; ++j) g.pair_bits[j] = g.pair_bits[j - 1] - 2 * d;
  for (int j = 0; j < 4; ++j) g.power[j] = 0;
  // The five-bit window is decided on lane 0, the group's smallest modulus, alone: below
  // 65536 an unreduced start of up to 2^31 would overflow the estimate's range.
  if (moduli[0] >= 0x10000) {
    for (int j = 0; j < 4; ++j) {
      g.power[j] = static_cast<uint32_t>(g.pair_bits[j] >> 59);
      g.pair_bits[j] <<= 5;
    }
    g.s += 5;
  }
  return g;
}

// Calls run(std::integral_constant<int, n>{}) for the run-time count n in 1..most.
template <int most, typename Run>
inline void tly_bbp_with_count(uint32_t n, Run run) {
  [&]<int... i>(std::integer_sequence<int, i...>) {
    ((n == i + 1 ? run(std::integral_constant<int, i + 1>{}) : void()), ...);
  }(std::make_integer_sequence<int, most>{});
}

// Splits `groups` consecutive groups into runs whose loops start at the same bit, at most
// `most` groups each, and calls run(std::integral_constant<int, n>, first group, starts) for
// each run of n groups; setup(k) gives group k's start.
template <int most, typename Setup, typename Run>
inline void tly_bbp_group_runs(uint32_t groups, Setup setup, Run run) {
  tly_bbp_group_start start[most];
  uint32_t g = 0;
  while (g < groups) {
    uint32_t n = 0;
    while (n < most && g + n < groups) {
      start[n] = setup(g + n);
      if (n > 0 && start[n].s != start[0].s) break;
      ++n;
    }
    tly_bbp_with_count<most>(n, [&](auto count) { run(count, g, start); });
    g += n;
  }
}

// Runs as above for the exact tiers, which read only the bit at which a group's loop starts,
// start_bit(the group's exponent): run(std::integral_constant<int, n>, the first group's
// moduli, that bit, its exponent). Only that bit is formed per group: the full starts cost
// the whole program several per cent.
template <int most, typename StartBit, typename Run>
inline void tly_bbp_start_bit_runs(uint32_t groups, const uint64_t* moduli, uint64_t exponent, uint64_t step,
                                   StartBit start_bit, Run run) {
  uint32_t g = 0;
  while (g < groups) {
    const uint64_t first = exponent - 8 * g * step;
    const uint32_t s = start_bit(first);
    uint32_t n = 1;
    while (n < most && g + n < groups && start_bit(first - 8 * n * step) == s) ++n;
    tly_bbp_with_count<most>(n, [&](auto count) { run(count, moduli + 8 * g, s, first); });
    g += n;
  }
}

}  // namespace
