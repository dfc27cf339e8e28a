// Test-only exact values: series sums by binary splitting over GMP integers, lane read-back.
#include "exact_series.h"

#include <gmp.h>

#include <algorithm>
#include <cstdlib>

namespace {

// mpz_t with a destructor, only to keep the recursion below leak-free.
struct big {
  mpz_t v;
  big() { mpz_init(v); }
  ~big() { mpz_clear(v); }
  big(const big&) = delete;
  big& operator=(const big&) = delete;
};

void set_u64(mpz_t z, uint64_t u) { mpz_import(z, 1, -1, sizeof u, 0, 0, &u); }

uint64_t get_u64(const mpz_t z) {
  uint64_t u = 0;
  if (mpz_sizeinbase(z, 2) <= 64) mpz_export(&u, nullptr, -1, sizeof u, 0, 0, z);
  return u;
}

// One term: sign * numerator / (modulus * 2^down).
struct term {
  int sign;
  uint64_t modulus;
  uint64_t down;
  big numerator;
};

// Sum of terms[lo, hi) scaled by 2^top, as p / q with q the product of the moduli.
void split(const std::vector<term*>& terms, size_t lo, size_t hi, uint64_t top, mpz_t p, mpz_t q) {
  if (hi - lo == 1) {
    const term& t = *terms[lo];
    mpz_mul_2exp(p, t.numerator.v, top - t.down);
    if (t.sign < 0) mpz_neg(p, p);
    set_u64(q, t.modulus);
    return;
  }
  const size_t mid = lo + (hi - lo) / 2;
  big p2, q2;
  split(terms, lo, mid, top, p, q);
  split(terms, mid, hi, top, p2.v, q2.v);
  mpz_mul(p, p, q2.v);
  mpz_addmul(p, p2.v, q);
  mpz_mul(q, q, q2.v);
}

}  // namespace

std::vector<uint32_t> tly_bbp_exact_series(uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first,
                                           uint64_t last, uint32_t step, uint32_t multiplier, uint32_t offset) {
  std::vector<uint32_t> words(cells, 0);
  if (first >= last) return words;

  // Positive exponents reduce to (2^e mod m) / m; the others are 1 / (m * 2^-e).
  std::vector<term> storage(last - first);
  std::vector<term*> terms;
  uint64_t top = 0;
  big two, modulus;
  mpz_set_ui(two.v, 2);
  for (uint64_t k = first; k < last; ++k) {
    term& t = storage[k - first];
    t.sign = alternating && ((k - first) & 1) ? -1 : 1;
    t.modulus = uint64_t{multiplier} * k + offset;
    const unsigned __int128 drop = static_cast<unsigned __int128>(step) * k;
    if (drop < shift) {
      set_u64(modulus.v, t.modulus);
      big e;
      set_u64(e.v, shift - static_cast<uint64_t>(drop));
      mpz_powm(t.numerator.v, two.v, e.v, modulus.v);
      t.down = 0;
    } else {
      mpz_set_ui(t.numerator.v, 1);
      t.down = static_cast<uint64_t>(drop - shift);
    }
    top = std::max(top, t.down);
    terms.push_back(&t);
  }

  big p, q;
  split(terms, 0, terms.size(), top, p.v, q.v);
  // floor(p * 2^(32*cells) / (q * 2^top)) modulo 2^(32*cells), floored also for negative sums.
  mpz_mul_2exp(p.v, p.v, 32 * cells);
  mpz_mul_2exp(q.v, q.v, top);
  mpz_fdiv_q(p.v, p.v, q.v);
  mpz_fdiv_r_2exp(p.v, p.v, 32 * cells);
  mpz_export(words.data(), nullptr, -1, sizeof(uint32_t), 0, 0, p.v);
  return words;
}

int64_t tly_bbp_exact_difference(const uint32_t* a, const uint32_t* b, uint64_t cells) {
  big x, y;
  mpz_import(x.v, cells, -1, sizeof(uint32_t), 0, 0, a);
  mpz_import(y.v, cells, -1, sizeof(uint32_t), 0, 0, b);
  mpz_sub(x.v, x.v, y.v);
  mpz_fdiv_r_2exp(x.v, x.v, 32 * cells);
  // The upper half of the residues stands for negative differences.
  if (mpz_sizeinbase(x.v, 2) == 32 * cells) {
    mpz_set_ui(y.v, 1);
    mpz_mul_2exp(y.v, y.v, 32 * cells);
    mpz_sub(x.v, x.v, y.v);
  }
  const int64_t limit = int64_t{1} << 62;
  if (mpz_sizeinbase(x.v, 2) > 62) return mpz_sgn(x.v) < 0 ? -limit : limit;
  const int64_t magnitude = static_cast<int64_t>(get_u64(x.v));
  return mpz_sgn(x.v) < 0 ? -magnitude : magnitude;
}

tly_bbp_exact_lane tly_bbp_exact_lane_power(const uint64_t* digits, uint64_t stride, uint64_t cells, uint64_t m,
                                            uint64_t residue) {
  const uint64_t bits = 32 * cells;
  big n, f, part, mod;
  for (uint64_t r = cells; r-- > 0;) {
    mpz_mul_2exp(n.v, n.v, 32);
    set_u64(part.v, digits[r * stride]);
    mpz_add(n.v, n.v, part.v);
  }
  set_u64(mod.v, m);
  set_u64(f.v, residue);
  mpz_mul_2exp(f.v, f.v, bits);
  mpz_fdiv_q(f.v, f.v, mod.v);
  mpz_sub(n.v, n.v, f.v);  // j * 2^bits - short_by
  big j;
  mpz_cdiv_q_2exp(j.v, n.v, bits);
  tly_bbp_exact_lane lane{false, 0, UINT64_MAX};
  mpz_mul_2exp(part.v, j.v, bits);
  mpz_sub(part.v, part.v, n.v);
  if (mpz_sizeinbase(part.v, 2) <= 64) lane.short_by = get_u64(part.v);
  if (mpz_sgn(j.v) < 0 || mpz_sizeinbase(j.v, 2) > 32) return lane;
  const unsigned __int128 x = static_cast<unsigned __int128>(get_u64(j.v)) * m + residue;
  if (x >> 64) return lane;
  lane.found = true;
  lane.x = static_cast<uint64_t>(x);
  return lane;
}
