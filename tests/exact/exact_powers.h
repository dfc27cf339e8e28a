// Test-only modular arithmetic on 64-bit integers: powers of two, primes and base-2 logarithms.
#pragma once
#include <cstdint>

// a * b mod m and 2^e mod m, exactly (128-bit products); m >= 1.
uint64_t tly_bbp_exact_mulmod(uint64_t a, uint64_t b, uint64_t m);
uint64_t tly_bbp_exact_powmod(uint64_t base, uint64_t e, uint64_t m);
uint64_t tly_bbp_exact_pow2_mod(uint64_t e, uint64_t m);

// Deterministic for every 64-bit n.
bool tly_bbp_exact_is_prime(uint64_t n);

// For a prime p below 2^62: an exponent e with 2^e = h (mod p), and the multiplicative order
// of 2, so that e + i * order are all the solutions. False when h is not a power of two
// modulo p, or when p - 1 has a prime factor too large (above 2^40) to search.
bool tly_bbp_exact_log2_mod(uint64_t h, uint64_t p, uint64_t* e, uint64_t* order);
