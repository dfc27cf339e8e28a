// Stress tool: how much of the 0.5 margin the quotient estimates use at the far end of the
// moduli (2^46 to 2^47), measured exactly with 128-bit integers, and random groups through
// every engine variant checked against 2^e mod m.
//
//   estimate_margin [steps of each kind, default 1e9] [groups per variant, default steps/1000] [seed]
//                   [x scanned per adversarial modulus, default 2^26]
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/engine.h"
#include "engine/numeric.h"
#include "engine/vpowmod.h"

namespace {

using u128 = unsigned __int128;

constexpr uint64_t lowest_modulus = uint64_t{1} << 46;

uint64_t next_random(uint64_t* state) {  // splitmix64
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Below `bound` (at least 1), without noticeable bias for bounds far below 2^64.
uint64_t random_below(uint64_t* state, uint64_t bound) {
  return static_cast<uint64_t>((u128{next_random(state)} * bound) >> 64);
}

struct Tally {
  uint64_t steps = 0;
  uint64_t above_quotient = 0;  // estimates above the true quotient: the remainder would wrap
  uint64_t remainder_too_large = 0;  // remainders of 2m or more: the next x could reach 4m
  double largest_error = 0;     // |v - (n/m - 1)|, the estimate's absolute error
  // q - (n/m - 1): below 1 keeps q at most the quotient, above -1 keeps the remainder below 2m.
  double highest_rounded = -2, lowest_rounded = 2;
  double smallest_remainder = 1e300, largest_remainder = 0;  // in units of m
  uint64_t worst_x = 0, worst_m = 0;
};

void merge(Tally* into, const Tally& t) {
  into->steps += t.steps;
  into->above_quotient += t.above_quotient;
  into->remainder_too_large += t.remainder_too_large;
  if (t.largest_error > into->largest_error) {
    into->largest_error = t.largest_error;
    into->worst_x = t.worst_x;
    into->worst_m = t.worst_m;
  }
  into->highest_rounded = std::max(into->highest_rounded, t.highest_rounded);
  into->lowest_rounded = std::min(into->lowest_rounded, t.lowest_rounded);
  into->smallest_remainder = std::min(into->smallest_remainder, t.smallest_remainder);
  into->largest_remainder = std::max(into->largest_remainder, t.largest_remainder);
}

// One step as the engine takes it: v estimates n/m - 1 where n = x*x (squaring) or x*2^32
// (digit); q is its nearest integer and n - q*m the remainder kept.
void measure(Tally* t, u128 n, double v, uint64_t x, uint64_t m) {
  ++t->steps;
  const uint64_t q = tly_bbp_near(v);
  const u128 qm = u128{q} * m;
  if (qm > n) {
    if (t->above_quotient++ < 10)
      std::printf("FAULT: estimate above the quotient: x = %llu, m = %llu, q = %llu\n",
                  (unsigned long long)x, (unsigned long long)m, (unsigned long long)q);
    return;
  }
  // The true quotient is q plus the few m that the remainder still holds.
  u128 r = n - qm;
  uint64_t quotient = q;
  while (r >= m) {
    r -= m;
    ++quotient;
  }
  const double kept = static_cast<double>(n - qm) / static_cast<double>(m);
  // q - (quotient + r/m - 1) = 1 - kept.
  t->highest_rounded = std::max(t->highest_rounded, 1.0 - kept);
  t->lowest_rounded = std::min(t->lowest_rounded, 1.0 - kept);
  t->smallest_remainder = std::min(t->smallest_remainder, kept);
  t->largest_remainder = std::max(t->largest_remainder, kept);
  if (kept >= 2.0 && t->remainder_too_large++ < 10)
    std::printf("FAULT: remainder of %.3f m: x = %llu, m = %llu\n", kept, (unsigned long long)x,
                (unsigned long long)m);
  // v - (quotient + r/m - 1), with v split exactly into its integer and fraction parts.
  const double whole = std::floor(v);
  const double error = (whole - (static_cast<double>(quotient) - 1.0)) + ((v - whole) - double(r) / double(m));
  if (std::fabs(error) > t->largest_error) {
    t->largest_error = std::fabs(error);
    t->worst_x = x;
    t->worst_m = m;
  }
}

// The two regimes measured: moduli over the whole range with x anywhere below 4m, and moduli
// at the top of the range with x near 4m, where the quotients and with them the estimate's
// error are largest.
enum regime { whole_range, far_end };

void draw(uint64_t* state, regime where, uint64_t* x, uint64_t* m) {
  if (where == far_end) {
    *m = (uint64_t{1} << 47) - 1 - random_below(state, uint64_t{1} << 40);
    *x = 4 * *m - 1 - random_below(state, *m / 8);
  } else {
    *m = lowest_modulus + random_below(state, lowest_modulus);
    *x = random_below(state, 4 * *m);
  }
}

// Tallies per regime: squaring[regime] and digit[regime].
void estimate_steps(uint64_t count, uint64_t seed, Tally squaring[2], Tally digit[2]) {
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
    uint64_t state = seed * 0x100000001B3ull + uint64_t(t) * 0xD1B54A32D192ED03ull;
    Tally mine_squaring[2], mine_digit[2];
    for (uint64_t i = uint64_t(t); i < count; i += uint64_t(threads)) {
      const regime where = (i / uint64_t(threads)) & 1 ? far_end : whole_range;
      uint64_t x, m;
      draw(&state, where, &x, &m);
      const double inv = 1.0 / tly_bbp_dbl(m);
      const double f = tly_bbp_dbl(x);
      measure(&mine_squaring[where], u128{x} * x, ((f * f) * inv) - 1.0, x, m);
      draw(&state, where, &x, &m);
      const double digit_inv = 1.0 / tly_bbp_dbl(m);
      const double g = tly_bbp_dbl(x);
      measure(&mine_digit[where], u128{x} << 32, ((g * tly_bbp_digit_scale) * digit_inv) - 1.0, x, m);
    }
#pragma omp critical
    for (int r = 0; r < 2; ++r) {
      merge(&squaring[r], mine_squaring[r]);
      merge(&digit[r], mine_digit[r]);
    }
  }
}

// Adversarial inputs for the squaring estimate, where its three roundings all err one way at
// nearly their largest. The reciprocal: moduli just below 2^47 whose 1/m rounds by nearly
// half an ulp, up for one side and down for the other. The second rounding: x from 4m - 2
// downwards (the largest quotients), keeping only the x whose rounded square (the vector
// routines' (f*f)*inv) or rounded x*inv (the kernel's f*(f*inv)) errs by at least 15/16 of its
// half ulp the same way. The third, the product's, and the fraction of x^2/m vary over the
// kept x, each measured exactly.
struct Adversary {
  uint64_t m;
  double ulps;  // 1.0/m minus 1/m, in ulps of 1/m: near +-0.5 is the worst
};

// The `count` moduli below 2^47 whose reciprocal rounds farthest up (sign > 0) or down.
std::vector<Adversary> worst_reciprocals(int sign, size_t count, uint64_t scanned) {
  std::vector<Adversary> best;
  const u128 numerator = u128{1} << 99;  // 1/m = (2^99/m) ulps of 2^-99 for m in (2^46, 2^47)
  for (uint64_t m = (uint64_t{1} << 47) - 1; m > (uint64_t{1} << 47) - scanned; --m) {
    const double fraction = static_cast<double>(static_cast<uint64_t>(numerator % m)) / static_cast<double>(m);
    const double ulps = fraction < 0.5 ? -fraction : 1.0 - fraction;  // round to nearest
    if (ulps * sign <= 0 || (best.size() == count && std::fabs(ulps) <= std::fabs(best.back().ulps))) continue;
    best.push_back({m, ulps});
    std::sort(best.begin(), best.end(),
              [](const Adversary& a, const Adversary& b) { return std::fabs(a.ulps) > std::fabs(b.ulps); });
    if (best.size() > count) best.pop_back();
  }
  return best;
}

// Whether an integer whose low bits are `low` rounds away by nearly half a unit of 2*half,
// upwards (up) or downwards.
bool rounds_far(uint64_t low, uint64_t half, bool up) {
  return up ? low > half && low - half < half / 16 : low < half && half - low < half / 16;
}

// Tallies adversarial[order][side]: order 0 is (f*f)*inv, 1 is f*(f*inv); side 1 rounds up.
void adversarial_steps(uint64_t xs_per_modulus, Tally adversarial[2][2], double* worst_ulps) {
  for (int side = 0; side < 2; ++side) {
    const std::vector<Adversary> moduli = worst_reciprocals(side ? 1 : -1, 16, uint64_t{1} << 24);
    worst_ulps[side] = moduli.back().ulps;  // every chosen modulus rounds at least this far
#pragma omp parallel
    {
      Tally mine[2];
#pragma omp for schedule(dynamic)
      for (size_t i = 0; i < moduli.size(); ++i) {
        const uint64_t m = moduli[i].m;
        const double inv = 1.0 / tly_bbp_dbl(m);
        // inv = I * 2^-99, so x*inv < 4 rounds at the 2^48 of x*I, and x*x < 2^98 at its 2^45.
        const uint64_t inv_bits = (std::bit_cast<uint64_t>(inv) & tly_bbp_mantissa_mask) | (uint64_t{1} << 52);
        for (uint64_t j = 1; j <= xs_per_modulus; ++j) {
          const uint64_t x = 4 * m - 2 * j;  // doubled, so even
          const double f = tly_bbp_dbl(x);
          if (rounds_far((x * x) & ((uint64_t{1} << 45) - 1), uint64_t{1} << 44, side))
            measure(&mine[0], u128{x} * x, ((f * f) * inv) - 1.0, x, m);
          if (rounds_far((x * inv_bits) & ((uint64_t{1} << 48) - 1), uint64_t{1} << 47, side))
            measure(&mine[1], u128{x} * x, (f * (f * inv)) - 1.0, x, m);
        }
      }
#pragma omp critical
      for (int order = 0; order < 2; ++order) merge(&adversarial[order][side], mine[order]);
    }
  }
}

uint64_t pow2_mod(uint64_t e, uint64_t m) {
  u128 result = 1 % m, base = 2 % m;
  for (; e; e >>= 1) {
    if (e & 1) result = result * base % m;
    base = base * base % m;
  }
  return static_cast<uint64_t>(result);
}

constexpr uint64_t cells = 4;  // four digits: one lane's number fits 128 bits
constexpr uint32_t groups_per_call = 4;

// The lane's digits as one number of 32*cells bits (modulo 2^128), integer part dropped.
u128 lane_number(const uint64_t* rows, int lane) {
  u128 v = 0;
  for (uint64_t r = cells; r-- > 0;) v = (v << 32) + rows[8 * r + lane];
  return v;
}

// The first 128 bits of p/m (p < m).
u128 exact_fraction(uint64_t p, uint64_t m) {
  u128 digits = 0, r = p;
  for (uint64_t i = 0; i < cells; ++i) {
    r <<= 32;
    digits = (digits << 32) | static_cast<uint64_t>(r / m);
    r %= m;
  }
  return digits;
}

struct GroupTally {
  uint64_t groups = 0, lanes_off = 0, cells_unlike_scalar = 0;
};

// Random groups of moduli in [2^46, 2^47), ascending in each group, with exponents up to
// 2^47, through one variant and the scalar reference.
GroupTally check_variant(const tly_bbp_variant& variant, uint64_t count, uint64_t seed) {
  GroupTally total;
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + uint64_t(t) + 1;
    GroupTally mine;
    alignas(64) uint64_t moduli[8 * groups_per_call];
    alignas(64) uint64_t rows[8 * cells], reference[8 * cells];
    for (uint64_t i = uint64_t(t); i < count; i += uint64_t(threads) * groups_per_call) {
      const uint64_t step = next_random(&state) & 1 ? 10 : 4;
      const uint64_t exponent = (uint64_t{1} << 20) + random_below(&state, (uint64_t{1} << 47) - (uint64_t{1} << 20));
      const uint32_t known_zeros = static_cast<uint32_t>(random_below(&state, std::countl_zero(exponent) + 1));
      for (uint32_t g = 0; g < groups_per_call; ++g) {
        uint64_t* group = moduli + 8 * g;
        for (int l = 0; l < 8; ++l) group[l] = lowest_modulus + random_below(&state, lowest_modulus);
        std::sort(group, group + 8);
      }
      std::fill(rows, rows + 8 * cells, 0);
      std::fill(reference, reference + 8 * cells, 0);
      variant.groups(rows, cells, moduli, known_zeros, exponent, step, groups_per_call);
      for (uint32_t g = 0; g < groups_per_call; ++g)
        variant.reference(reference, cells, moduli + 8 * g, known_zeros, exponent - 8 * g * step, step);
      if (!std::equal(rows, rows + 8 * cells, reference)) ++mine.cells_unlike_scalar;

      // Each lane's sum over the groups against the exact fractions, which it may undercut
      // by less than two units of the last digit per group.
      for (int lane = 0; lane < 8; ++lane) {
        u128 exact = 0;
        for (uint32_t g = 0; g < groups_per_call; ++g) {
          const uint64_t e = exponent - 8 * g * step - uint64_t(lane | 1) * step;
          const uint64_t m = moduli[8 * g + lane];
          exact += exact_fraction(pow2_mod(e, m), m);
        }
        const u128 shortfall = exact - lane_number(rows, lane);
        if (shortfall >= 2 * groups_per_call && mine.lanes_off++ < 10) {
          std::printf("FAULT: %s, lane %d off by %llu units: exponent %llu, step %llu, moduli %llu...\n",
                      variant.name, lane, (unsigned long long)shortfall, (unsigned long long)exponent,
                      (unsigned long long)step, (unsigned long long)moduli[lane]);
        }
      }
      mine.groups += groups_per_call;
    }
#pragma omp critical
    {
      total.groups += mine.groups;
      total.lanes_off += mine.lanes_off;
      total.cells_unlike_scalar += mine.cells_unlike_scalar;
    }
  }
  return total;
}

void report(const char* kind, const Tally& t) {
  std::printf("%s steps: %llu\n", kind, (unsigned long long)t.steps);
  std::printf("  largest estimate error %.6f = %.3f%% of the 0.5 margin (x = %llu, m = %llu)\n", t.largest_error,
              t.largest_error / 0.5 * 100.0, (unsigned long long)t.worst_x, (unsigned long long)t.worst_m);
  std::printf("  q - (n/m - 1) from %.6f to %.6f (must stay within (-1, 1))\n", t.lowest_rounded, t.highest_rounded);
  std::printf("  remainders kept: %.6f m to %.6f m\n", t.smallest_remainder, t.largest_remainder);
  std::printf("  estimates above the true quotient: %llu; remainders of 2m or more: %llu\n",
              (unsigned long long)t.above_quotient, (unsigned long long)t.remainder_too_large);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t count = argc > 1 ? static_cast<uint64_t>(std::strtod(argv[1], nullptr)) : 1000000000;
  const uint64_t groups = argc > 2 ? static_cast<uint64_t>(std::strtod(argv[2], nullptr)) : count / 1000;
  const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  const uint64_t adversaries = argc > 4 ? static_cast<uint64_t>(std::strtod(argv[4], nullptr)) : uint64_t{1} << 26;
  std::printf("whole range: m in [2^46, 2^47), x in [0, 4m); far end: m in [2^47 - 2^40, 2^47), x in [3.875m, 4m);"
              " half the steps each; %d threads, seed %llu\n",
              omp_get_max_threads(), (unsigned long long)seed);

  Tally squaring[2], digit[2];
  estimate_steps(count, seed, squaring, digit);
  report("squaring, whole range", squaring[whole_range]);
  report("squaring, far end", squaring[far_end]);
  report("digit, whole range", digit[whole_range]);
  report("digit, far end", digit[far_end]);
  bool fault = false;
  for (int r = 0; r < 2; ++r)
    fault = fault || squaring[r].above_quotient || squaring[r].remainder_too_large || digit[r].above_quotient ||
            digit[r].remainder_too_large;

  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    if (!v.supported()) {
      std::printf("variant %s: not supported here\n", v.name);
      continue;
    }
    const GroupTally g = check_variant(v, groups, seed + 1 + i);
    std::printf("variant %s: %llu groups, lanes off by 2 units or more per group: %llu, calls unlike the scalar "
                "reference: %llu\n",
                v.name, (unsigned long long)g.groups, (unsigned long long)g.lanes_off,
                (unsigned long long)g.cells_unlike_scalar);
    fault = fault || g.lanes_off || g.cells_unlike_scalar;
  }
  Tally adversarial[2][2];
  double worst_ulps[2];
  adversarial_steps(adversaries, adversarial, worst_ulps);
  std::printf("adversarial: 16 moduli in [2^47 - 2^24, 2^47) whose reciprocal rounds down by at least %.6f ulp,"
              " 16 up by at least %.6f ulp; x = 4m - 2j for j = 1 .. %llu whose second rounding errs as far"
              " the same way\n",
              -worst_ulps[0], worst_ulps[1], (unsigned long long)adversaries);
  const char* names[2][2] = {{"adversarial (f*f)*inv, 1/m rounded down", "adversarial (f*f)*inv, 1/m rounded up"},
                             {"adversarial f*(f*inv), 1/m rounded down", "adversarial f*(f*inv), 1/m rounded up"}};
  for (int order = 0; order < 2; ++order)
    for (int side = 0; side < 2; ++side) {
      report(names[order][side], adversarial[order][side]);
      fault = fault || adversarial[order][side].above_quotient || adversarial[order][side].remainder_too_large;
    }
  std::printf(fault ? "FAULTS FOUND\n" : "no fault\n");
  return fault ? 1 : 0;
}
