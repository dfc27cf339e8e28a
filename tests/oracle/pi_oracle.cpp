// MPFR-backed reference digits of pi: fixed-point pi cached as an integer, windows read from its bits.
#include "pi_oracle.h"

#include <gmp.h>
#include <mpfr.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <stdexcept>

namespace {

static_assert(GMP_LIMB_BITS == 64, "bit reads below assume 64-bit limbs");

// Bits kept below the last requested digit; the exact check in settles() makes these a speed
// choice rather than a correctness one.
constexpr uint64_t kGuardBits = 64;

// pi ~ m / 2^frac_bits, rounded to nearest, so the true value is within 2^-(frac_bits+1).
struct FixedPi {
  mpz_t m;
  uint64_t frac_bits = 0;
  FixedPi() { mpz_init(m); }
  ~FixedPi() { mpz_clear(m); }
  FixedPi(const FixedPi&) = delete;
  FixedPi& operator=(const FixedPi&) = delete;
};

uint64_t last_place(uint64_t start, uint64_t count) {
  if (start == 0) throw std::invalid_argument("hex places start at 1");
  if (start > std::numeric_limits<uint64_t>::max() / 8 - count)
    throw std::invalid_argument("hex place out of range");
  return count == 0 ? start : start + count - 1;
}

// Precision that leaves kGuardBits below hex place `last` (pi's significand has 2 integer bits).
uint64_t precision_for(uint64_t last) { return 4 * last + kGuardBits + 2; }

void compute_pi(FixedPi& out, uint64_t precision_bits) {
  if (precision_bits < 8 || precision_bits > static_cast<uint64_t>(MPFR_PREC_MAX))
    throw std::invalid_argument("precision outside the oracle's range");
  mpfr_t pi;
  mpfr_init2(pi, static_cast<mpfr_prec_t>(precision_bits));
  mpfr_const_pi(pi, MPFR_RNDN);
  mpfr_exp_t e = mpfr_get_z_2exp(out.m, pi);
  mpfr_clear(pi);
  mpfr_free_cache();  // MPFR's own copy of pi would double the memory held
  out.frac_bits = static_cast<uint64_t>(-e);
}

// True when the digits through place `last` are the same for every value within half a unit of
// m: the bits below that place must be neither all zero nor all one.
bool settles(const FixedPi& pi, uint64_t last) {
  if (pi.frac_bits < 4 * last + 1) return false;
  const mp_bitcnt_t below = pi.frac_bits - 4 * last;
  return mpz_scan1(pi.m, 0) < below && mpz_scan0(pi.m, 0) < below;
}

// Up to 32 bits of m starting at bit q, read straight from the limbs so a window costs O(count).
uint32_t bits_at(const mpz_t m, uint64_t q, unsigned width) {
  const mp_size_t limb = static_cast<mp_size_t>(q / 64);
  const unsigned off = static_cast<unsigned>(q % 64);
  uint64_t v = mpz_getlimbn(m, limb) >> off;
  if (off + width > 64) v |= static_cast<uint64_t>(mpz_getlimbn(m, limb + 1)) << (64 - off);
  return static_cast<uint32_t>(v & ((uint64_t{1} << width) - 1));
}

// Hex place p occupies bits frac_bits-4p .. frac_bits-4p+3 of m.
uint32_t nibble(const FixedPi& pi, uint64_t place) { return bits_at(pi.m, pi.frac_bits - 4 * place, 4); }

std::string read_hex(const FixedPi& pi, uint64_t start, uint64_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(count, '0');
  for (uint64_t i = 0; i < count; ++i) out[i] = kHex[nibble(pi, start + i)];
  return out;
}

std::mutex g_mutex;
FixedPi g_pi;

// Makes the cache good through place `last`. Grows by at least a quarter each time so a test
// walking outward does not recompute pi at every step.
const FixedPi& cached_through(uint64_t last) {
  if (g_pi.frac_bits != 0 && settles(g_pi, last)) return g_pi;
  uint64_t bits = precision_for(last);
  if (g_pi.frac_bits != 0) bits = std::max(bits, g_pi.frac_bits + g_pi.frac_bits / 4);
  for (;;) {
    compute_pi(g_pi, bits);
    if (settles(g_pi, last)) return g_pi;
    bits += 1024;  // a long run of equal bits right after the window: look further
  }
}

}  // namespace

std::string tly_bbp_oracle_hex(uint64_t start, uint64_t count) {
  const uint64_t last = last_place(start, count);
  if (count == 0) return {};
  std::lock_guard<std::mutex> lock(g_mutex);
  return read_hex(cached_through(last), start, count);
}

std::vector<uint32_t> tly_bbp_oracle_words(uint64_t start, uint64_t word_count) {
  if (word_count > std::numeric_limits<uint64_t>::max() / 16)
    throw std::invalid_argument("too many words");
  const uint64_t last = last_place(start, 8 * word_count);
  if (word_count == 0) return {};
  std::lock_guard<std::mutex> lock(g_mutex);
  const FixedPi& pi = cached_through(last);
  std::vector<uint32_t> out(word_count);
  for (uint64_t i = 0; i < word_count; ++i)
    out[i] = bits_at(pi.m, pi.frac_bits - 4 * (start + 8 * i + 7), 32);
  return out;
}

void tly_bbp_oracle_reserve(uint64_t last_place_wanted) {
  const uint64_t last = last_place(last_place_wanted, 1);
  std::lock_guard<std::mutex> lock(g_mutex);
  cached_through(last);
}

uint64_t tly_bbp_oracle_cached_precision() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_pi.frac_bits == 0 ? 0 : g_pi.frac_bits + 2;
}

std::string tly_bbp_oracle_hex_at_precision(uint64_t start, uint64_t count, uint64_t precision_bits) {
  const uint64_t last = last_place(start, count);
  if (count == 0) return {};
  // MPFR keeps its own per-thread pi; drop it so this value is computed afresh at this precision.
  mpfr_free_cache();
  FixedPi pi;
  compute_pi(pi, precision_bits);
  if (!settles(pi, last)) throw std::invalid_argument("precision too small for this window");
  return read_hex(pi, start, count);
}
