// Test-only modular arithmetic: 128-bit products, Miller-Rabin, Pohlig-Hellman with baby steps.
#include "exact_powers.h"

#include <cmath>
#include <unordered_map>
#include <vector>

uint64_t tly_bbp_exact_mulmod(uint64_t a, uint64_t b, uint64_t m) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

uint64_t tly_bbp_exact_powmod(uint64_t base, uint64_t e, uint64_t m) {
  uint64_t result = 1 % m;
  base %= m;
  for (; e; e >>= 1) {
    if (e & 1) result = tly_bbp_exact_mulmod(result, base, m);
    base = tly_bbp_exact_mulmod(base, base, m);
  }
  return result;
}

uint64_t tly_bbp_exact_pow2_mod(uint64_t e, uint64_t m) { return tly_bbp_exact_powmod(2, e, m); }

bool tly_bbp_exact_is_prime(uint64_t n) {
  if (n < 2) return false;
  // These twelve bases decide every n below 3.3e24.
  const uint64_t bases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  for (uint64_t p : bases)
    if (n % p == 0) return n == p;
  uint64_t d = n - 1;
  int s = 0;
  for (; !(d & 1); d >>= 1) ++s;
  for (uint64_t a : bases) {
    uint64_t x = tly_bbp_exact_powmod(a, d, n);
    if (x == 1 || x == n - 1) continue;
    bool composite = true;
    for (int i = 1; i < s && composite; ++i) {
      x = tly_bbp_exact_mulmod(x, x, n);
      composite = x != n - 1;
    }
    if (composite) return false;
  }
  return true;
}

namespace {

constexpr uint64_t largest_searched_factor = uint64_t{1} << 40;

// The distinct prime factors of n, or an empty list when one of them is too large to search.
std::vector<uint64_t> prime_factors(uint64_t n) {
  std::vector<uint64_t> factors;
  for (uint64_t q = 2; q * q <= n && q < (1u << 20); q += q == 2 ? 1 : 2) {
    if (n % q) continue;
    factors.push_back(q);
    while (n % q == 0) n /= q;
  }
  if (n > 1) {
    if (!tly_bbp_exact_is_prime(n) || n > largest_searched_factor) return {};
    factors.push_back(n);
  }
  return factors;
}

// x in [0, q) with g^x = h (mod p), where g has prime order q; false if there is none.
bool baby_steps(uint64_t g, uint64_t h, uint64_t q, uint64_t p, uint64_t* x) {
  const uint64_t width = static_cast<uint64_t>(std::ceil(std::sqrt(static_cast<double>(q))));
  std::unordered_map<uint64_t, uint64_t> table;
  uint64_t power = 1;
  for (uint64_t j = 0; j < width; ++j) {
    table.emplace(power, j);
    power = tly_bbp_exact_mulmod(power, g, p);
  }
  const uint64_t giant = tly_bbp_exact_powmod(g, q - width % q, p);  // g^-width
  uint64_t y = h;
  for (uint64_t i = 0; i <= width; ++i) {
    const auto found = table.find(y);
    if (found != table.end()) {
      *x = (i * width + found->second) % q;
      return true;
    }
    y = tly_bbp_exact_mulmod(y, giant, p);
  }
  return false;
}

// a^-1 mod n for gcd(a, n) = 1.
uint64_t inverse_mod(uint64_t a, uint64_t n) {
  __int128 r0 = n, r1 = a % n, t0 = 0, t1 = 1;
  while (r1) {
    const __int128 q = r0 / r1;
    __int128 t = r0 - q * r1;
    r0 = r1, r1 = t;
    t = t0 - q * t1;
    t0 = t1, t1 = t;
  }
  return static_cast<uint64_t>(t0 < 0 ? t0 + n : t0);
}

}  // namespace

bool tly_bbp_exact_log2_mod(uint64_t h, uint64_t p, uint64_t* e, uint64_t* order) {
  h %= p;
  if (h == 0) return false;
  const std::vector<uint64_t> factors = prime_factors(p - 1);
  if (factors.empty() && p > 2) return false;
  uint64_t n = p - 1;
  for (uint64_t q : factors)
    while (n % q == 0 && tly_bbp_exact_pow2_mod(n / q, p) == 1) n /= q;
  if (tly_bbp_exact_powmod(h, n, p) != 1) return false;

  // Pohlig-Hellman: the logarithm modulo each prime power of the order, joined by the CRT.
  unsigned __int128 x = 0;
  for (uint64_t q : factors) {
    uint64_t qa = 1;
    int a = 0;
    while (n % (qa * q) == 0) qa *= q, ++a;
    if (a == 0) continue;
    const uint64_t g = tly_bbp_exact_pow2_mod(n / qa, p);
    const uint64_t target = tly_bbp_exact_powmod(h, n / qa, p);
    const uint64_t g_q = tly_bbp_exact_powmod(g, qa / q, p);  // order q
    uint64_t xq = 0, qi = 1;
    for (int i = 0; i < a; ++i, qi *= q) {
      const uint64_t g_inv_x = tly_bbp_exact_powmod(g, qa - xq, p);
      const uint64_t rest = tly_bbp_exact_mulmod(target, g_inv_x, p);
      uint64_t digit;
      if (!baby_steps(g_q, tly_bbp_exact_powmod(rest, qa / q / qi, p), q, p, &digit)) return false;
      xq += digit * qi;
    }
    const uint64_t others = n / qa;
    x += static_cast<unsigned __int128>(xq) * others % n * inverse_mod(others % qa, qa);
    x %= n;
  }
  *e = static_cast<uint64_t>(x);
  *order = n;
  return tly_bbp_exact_pow2_mod(*e, p) == h;
}
