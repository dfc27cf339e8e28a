// Test-only exact references in GMP and MPFR: powers, series sums, lane read-back, digits of pi.
#include "exact.h"

#include <gmp.h>
#include <mpfr.h>

#include <cstdlib>
#include <mutex>

namespace {

// mpz_t that frees itself.
struct big {
  mpz_t v;
  big() { mpz_init(v); }
  ~big() { mpz_clear(v); }
  big(const big&) = delete;
};

void set_u64(mpz_t z, uint64_t u) { mpz_import(z, 1, -1, sizeof u, 0, 0, &u); }

}  // namespace

uint64_t tly_bbp_exact_pow2_mod(uint64_t e, uint64_t m) {
  unsigned __int128 result = 1 % m, base = 2 % m;
  for (; e; e >>= 1, base = base * base % m)
    if (e & 1) result = result * base % m;
  return static_cast<uint64_t>(result);
}

std::vector<uint32_t> tly_bbp_exact_series(uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first,
                                           uint64_t last, uint32_t step, uint32_t multiplier, uint32_t offset) {
  // Every term floored 64 bits below the last digit: the sum is then off by less than one unit.
  const uint64_t bits = 32 * cells + 64;
  big sum, term, modulus;
  for (uint64_t k = first; k < last; ++k) {
    const uint64_t m = uint64_t{multiplier} * k + offset;
    const unsigned __int128 drop = static_cast<unsigned __int128>(step) * k;
    if (drop < shift) {
      set_u64(term.v, tly_bbp_exact_pow2_mod(shift - static_cast<uint64_t>(drop), m));
      mpz_mul_2exp(term.v, term.v, bits);
    } else if (drop - shift <= bits) {
      mpz_set_ui(term.v, 1);
      mpz_mul_2exp(term.v, term.v, bits - static_cast<uint64_t>(drop - shift));
    } else {
      continue;
    }
    set_u64(modulus.v, m);
    mpz_fdiv_q(term.v, term.v, modulus.v);
    if (alternating && ((k - first) & 1))
      mpz_sub(sum.v, sum.v, term.v);
    else
      mpz_add(sum.v, sum.v, term.v);
  }
  mpz_fdiv_q_2exp(sum.v, sum.v, 64);
  mpz_fdiv_r_2exp(sum.v, sum.v, 32 * cells);
  std::vector<uint32_t> words(cells, 0);
  mpz_export(words.data(), nullptr, -1, sizeof(uint32_t), 0, 0, sum.v);
  return words;
}

int64_t tly_bbp_exact_difference(const uint32_t* a, const uint32_t* b, uint64_t cells) {
  big x, y;
  mpz_import(x.v, cells, -1, sizeof(uint32_t), 0, 0, a);
  mpz_import(y.v, cells, -1, sizeof(uint32_t), 0, 0, b);
  mpz_sub(x.v, x.v, y.v);
  mpz_fdiv_r_2exp(x.v, x.v, 32 * cells);
  if (mpz_sizeinbase(x.v, 2) == 32 * cells) {  // the upper half stands for negative differences
    mpz_set_ui(y.v, 1);
    mpz_mul_2exp(y.v, y.v, 32 * cells);
    mpz_sub(x.v, x.v, y.v);
  }
  if (mpz_sizeinbase(x.v, 2) > 62) return mpz_sgn(x.v) < 0 ? -(int64_t{1} << 62) : int64_t{1} << 62;
  return mpz_get_si(x.v);
}

int64_t tly_bbp_exact_lane_multiple(const uint64_t* digits, uint64_t cells, uint64_t m, uint64_t residue,
                                    uint64_t* short_by) {
  big n, f, part;
  for (uint64_t r = cells; r-- > 0;) {
    mpz_mul_2exp(n.v, n.v, 32);
    set_u64(part.v, digits[8 * r]);
    mpz_add(n.v, n.v, part.v);
  }
  // n = j * 2^bits + floor(residue * 2^bits / m) - short_by
  set_u64(f.v, residue);
  mpz_mul_2exp(f.v, f.v, 32 * cells);
  set_u64(part.v, m);
  mpz_fdiv_q(f.v, f.v, part.v);
  mpz_sub(n.v, n.v, f.v);
  mpz_add_ui(n.v, n.v, 1);
  mpz_fdiv_q_2exp(f.v, n.v, 32 * cells);
  mpz_fdiv_r_2exp(n.v, n.v, 32 * cells);
  if (mpz_cmp_ui(n.v, 1) > 0 || mpz_sgn(f.v) < 0 || mpz_sizeinbase(f.v, 2) > 32) return -1;
  if (short_by) *short_by = 1 - mpz_get_ui(n.v);
  return mpz_get_si(f.v);
}

std::string tly_bbp_oracle_hex(uint64_t start, uint64_t count) {
  static std::mutex lock;
  static big pi;  // floor(pi * 2^pi_bits)
  static uint64_t pi_bits = 0;
  const std::lock_guard<std::mutex> hold(lock);
  const uint64_t bits = 4 * (start + count - 1);
  if (pi_bits < bits + 128) {
    pi_bits = bits + bits / 4 + 256;  // room for windows further out
    mpfr_t value;
    mpfr_init2(value, static_cast<mpfr_prec_t>(pi_bits + 8));
    mpfr_const_pi(value, MPFR_RNDN);
    mpfr_mul_2ui(value, value, pi_bits, MPFR_RNDN);
    mpfr_get_z(pi.v, value, MPFR_RNDD);
    mpfr_clear(value);
    mpfr_free_cache();
  }
  big window;
  mpz_fdiv_q_2exp(window.v, pi.v, pi_bits - bits);
  mpz_fdiv_r_2exp(window.v, window.v, 4 * count);
  std::string hex(count, '0');
  char* text = mpz_get_str(nullptr, 16, window.v);
  const std::string digits = text;
  free(text);
  return hex.replace(count - digits.size(), digits.size(), digits);
}
