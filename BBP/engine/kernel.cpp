// The block kernel: one block of one series, groups of eight through the vector routine,
// the few leftover and non-positive-exponent terms one at a time.
#include "kernel.h"

#include "engine.h"
#include "general.h"
#include "numeric.h"

namespace {

// A group adds below 2^34 to a lane cell: the estimates' first digit (later ones below 2^33;
// 2^48 in the one group of a series whose exponent has five bits), the 52-bit Montgomery and
// the exact double tier's digits below 2^33, the 64-bit tier's exact floor digits below 2^32. A carry pass leaves
// cells below 2^32, so the 65,537 groups up to the next one keep every cell below
// 2^32 + 2^48 + 65,537 * 2^34 < 2^51, far below the 2^56 that the check guards.
constexpr uint64_t groups_between_checks = 65536;
// Up to sixteen groups per call: the IFMA variant keeps them all in flight.
constexpr uint32_t groups_per_pass = 16;

// Base-2^32 digits of r/m into digit[top] down to digit[0], truncated after digit 0.
void expand(uint64_t* digit, uint64_t top, uint64_t r, uint64_t m, double inv) {
  for (uint64_t i = top + 1; i-- > 0;) {
    const uint64_t q = tly_bbp_near((tly_bbp_dbl(r) * tly_bbp_digit_scale) * inv - 1.0);
    digit[i] = q;
    r = (r << 32) - q * m;
  }
}

// Adds the digit buffer into the block result, or subtracts it with borrows.
void add_term(int64_t* block_result, const uint64_t* digit, uint64_t cells, bool subtract) {
  if (!subtract) {
    for (uint64_t i = 0; i < cells; ++i)
      block_result[i] = static_cast<int64_t>(static_cast<uint64_t>(block_result[i]) + digit[i]);
    return;
  }
  int64_t carry = 0;
  for (uint64_t i = 0; i < cells; ++i) {
    carry = static_cast<int64_t>(static_cast<uint64_t>(carry) + static_cast<uint64_t>(block_result[i]) - digit[i]);
    block_result[i] = carry & 0xFFFFFFFF;
    carry >>= 32;
  }
}

// The exact floor digits of r/m (r < m) into digit[top] down to digit[0].
void expand_exact(uint64_t* digit, uint64_t top, uint64_t r, uint64_t m) {
  for (uint64_t i = 0; i <= top; ++i) digit[i] = 0;
  tly_bbp_general_add_digits(digit, 1, top + 1, r, m);
}

// 2^e mod m, lazily reduced, left to right without a window.
uint64_t pow2_mod(uint64_t e, uint64_t m, double inv) {
  const uint32_t z = tly_bbp_leading_zeros(e);
  uint64_t bits = e << z;
  uint64_t r = 1;
  for (uint32_t i = z; i < 64; ++i) {
    const double f = tly_bbp_dbl(r);
    const uint64_t q = tly_bbp_near(f * (f * inv) - 1.0);
    r = r * r - q * m;
    r <<= bits >> 63;
    bits <<= 1;
  }
  return r;
}

// Folds the eight normalised lanes into the block result: even lanes hold their terms
// divided by 2^step, and in an alternating series they are the added ones.
void fold(int64_t* block_result, const uint64_t* rows, uint64_t cells, int32_t alternating, uint32_t step) {
  int64_t carry = 0;
  for (uint64_t i = 0; i < cells; ++i) {
    const uint64_t* row = rows + 8 * i;
    const uint64_t even = row[0] + row[2] + row[4] + row[6];
    const uint64_t odd = row[1] + row[3] + row[5] + row[7];
    if (!alternating) {
      block_result[i] = static_cast<int64_t>(odd + (even << step));
    } else {
      carry = static_cast<int64_t>(static_cast<uint64_t>(carry) + (even << step) - odd);
      block_result[i] = carry & 0xFFFFFFFF;
      carry >>= 32;
    }
  }
}

}  // namespace

bool tly_bbp_check_lanes(uint64_t* rows, uint64_t cells) {
  uint64_t any = 0;
  for (uint64_t i = 0; i < 8 * cells; ++i) any |= rows[i];
  if (any & 0xFF00000000000000ull) return false;
  // Row by row with the eight lanes' carries side by side, so the lanes go through together.
  uint64_t carry[8] = {};
  for (uint64_t r = 0; r < cells; ++r) {
    for (int lane = 0; lane < 8; ++lane) {
      const uint64_t v = rows[8 * r + lane] + carry[lane];
      rows[8 * r + lane] = v & 0xFFFFFFFF;
      carry[lane] = v >> 32;
    }
  }
  return true;
}

bool tly_bbp_kernel(int64_t* block_result, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first,
                    uint64_t last, uint32_t step, uint32_t multiplier, uint32_t offset, void* scratch,
                    const tly_bbp_variant_policy& policy) {
  if (first * step > 32 * cells + shift) {
    for (uint64_t i = 0; i < cells; ++i) block_result[i] = 0;
    return true;
  }
  const tly_bbp_variant* chosen = tly_bbp_active_variant(policy);

  uint64_t* rows = static_cast<uint64_t*>(scratch);
  uint64_t lane_offset[8];
  for (uint32_t j = 0; j < 8; ++j) lane_offset[j] = offset + uint64_t{j} * multiplier;
  const uint32_t z0 = tly_bbp_leading_zeros(shift - step * first);
  for (uint64_t i = 0; i < 8 * cells; ++i) rows[i] = 0;

  alignas(64) uint64_t moduli[8 * groups_per_pass];
  uint64_t since_check = 0;
  uint64_t k = first;
  // A group needs all eight terms in the block and a positive exponent for the eighth.
  auto group_fits = [&](uint64_t g) { return g + 7 < last && step * (g + 7) < shift; };
  while (group_fits(k)) {
    // Passes end where a carry pass is due, so the checks fall after the same groups as
    // they would one group at a time.
    const uint64_t until_check = groups_between_checks + 1 - since_check;
    uint32_t n = 0;
    while (n < groups_per_pass && n < until_check && group_fits(k + 8 * n)) {
      const uint64_t first_modulus = uint64_t{multiplier} * (k + 8 * n);
      for (uint32_t j = 0; j < 8; ++j) moduli[8 * n + j] = first_modulus + lane_offset[j];
      ++n;
    }
    // The moduli grow with k: the pass's last decides which variant can take all of them.
    const uint64_t largest = moduli[8 * n - 1];
    const tly_bbp_variant* variant = tly_bbp_variant_covers(chosen, largest) ? chosen : tly_bbp_variant_for(policy, largest);
    variant->groups(rows, cells, moduli, z0, shift - step * k, step, n);
    if (n == until_check) {
      if (!tly_bbp_check_lanes(rows, cells)) return false;
      since_check = 1;
    } else {
      since_check += n;
    }
    k += 8 * uint64_t{n};
  }
  if (!tly_bbp_check_lanes(rows, cells)) return false;
  fold(block_result, rows, cells, alternating, step);

  uint64_t* digit = rows;
  for (; k < last && step * k < shift; ++k) {
    const uint64_t m = uint64_t{multiplier} * k + offset;
    if (m < tly_bbp_estimate_moduli_below) {
      const double inv = 1.0 / tly_bbp_dbl(m);
      expand(digit, cells - 1, pow2_mod(shift - step * k, m, inv), m, inv);
    } else {
      expand_exact(digit, cells - 1, tly_bbp_general_pow2_mod(shift - step * k, m), m);
    }
    add_term(block_result, digit, cells, alternating && ((k - first) & 1));
  }
  for (; k < last; ++k) {
    const uint64_t d = step * k - shift;
    const uint64_t w = d >> 5;
    // Exponents only fall, so once a term lies wholly below the last digit all later ones do.
    if (w >= cells) break;
    const uint64_t m = uint64_t{multiplier} * k + offset;
    for (uint64_t i = cells - w; i < cells; ++i) digit[i] = 0;
    uint64_t r = uint64_t{0x100000000} >> (d & 31);
    const uint64_t top = cells - 1 - w;
    if (m < tly_bbp_estimate_moduli_below) {
      const double inv = 1.0 / tly_bbp_dbl(m);
      digit[top] = tly_bbp_near(tly_bbp_dbl(r) * inv - 1.0);
      r -= digit[top] * m;
      if (top > 0) expand(digit, top - 1, r, m, inv);
    } else {
      // r <= 2^32 < m: the top digit is 0 and r itself the first remainder.
      digit[top] = 0;
      if (top > 0) expand_exact(digit, top - 1, r, m);
    }
    add_term(block_result, digit, cells, alternating && ((k - first) & 1));
  }

  uint64_t carry = 0;
  for (uint64_t i = 0; i < cells; ++i) {
    carry += static_cast<uint64_t>(block_result[i]);
    block_result[i] = static_cast<int64_t>(carry & 0xFFFFFFFF);
    carry >>= 32;
  }
  return true;
}
