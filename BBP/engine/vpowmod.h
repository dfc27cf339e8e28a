// Powers of two modulo eight moduli at once, with their fraction digits added to lane rows.
#pragma once
#include <cstdint>

struct tly_bbp_variant_policy;

// One group, with the variant the policy puts in use: lane pair j is raised to exponent - (2j+1)*step modulo moduli[2j], moduli[2j+1];
// each lane adds the first `cells` base-2^32 digits of x/m into its column of `scratch`
// (`cells` rows of eight cells, row cells-1 the first digit after the point).
void tly_bbp_vpowmod8(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                      uint64_t exponent, uint64_t step, const tly_bbp_variant_policy* policy);

// The signature of the group routine and of its scalar references.
using tly_bbp_vpowmod8_fn = void (*)(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                    uint64_t exponent, uint64_t step);

// The plain scalar version of the same arithmetic, lane by lane: the reference the
// estimate variants (SSE4.1, AVX2, AVX-512) must match cell for cell. Each lane's cells, read
// as one number, fall short of x * 2^(32 cells) / m by less than two units, for an x = 2^e mod m
// plus a multiple of m below 4m (2^e itself where the window takes the whole exponent); the
// first digit may reach 2^34 (2^48 in that case), the others 2^33.
void tly_bbp_vpowmod8_scalar(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step);

// The exact Montgomery arithmetic lane by lane (any moduli from 1 to below 2^52, even ones
// too). Each lane's cells, read as one number, are exactly floor(n * 2^(32 cells) / m) with n
// in (0, m] and n = 2^e mod m unless that is 0 (then n = m: a power of two m <= 2^e adds
// 1.0, equal modulo 1); single cells may reach 2^33. The reference of the IFMA variant.
void tly_bbp_vpowmod8_montgomery(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                 uint64_t exponent, uint64_t step);

// The exact 64-bit Montgomery arithmetic lane by lane, for every modulus from 1 to 2^64 - 1:
// each lane adds the floor digits of (2^e mod m)/m, each below 2^32. The reference of the
// general tier.
void tly_bbp_vpowmod8_general(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                              uint64_t exponent, uint64_t step);

// The exact two-limb Montgomery arithmetic lane by lane, for every modulus from 1 to 2^64 - 1:
// each lane adds the floor digits of (2^e mod m)/m, each below 2^32, as the 64-bit tier's. The
// reference of the two-limb IFMA variant.
void tly_bbp_vpowmod8_limbs(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                            uint64_t exponent, uint64_t step);

// The exact double-precision arithmetic lane by lane (any moduli from 1 to below 2^52): each
// lane's cells, read as one number, are exactly floor((2^e mod m) * 2^(32 cells) / m), a power
// of two m <= 2^e adding 0; single cells may reach 2^33. The reference of the AVX2 and AVX-512
// exact variants.
void tly_bbp_vpowmod8_double(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step);

// Two lanes per 128-bit vector with SSE4.1: the baseline variant; the cells of tly_bbp_vpowmod8_scalar.
void tly_bbp_vpowmod8_sse41(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                            uint64_t exponent, uint64_t step);

// Several consecutive groups in one pass: group g has moduli[8g .. 8g+7] and exponent
// exponent - 8*g*step, and adds into the same lane rows. Leaves exactly the cells that
// `groups` calls of the group routine would.
using tly_bbp_vpowgroups_fn = void (*)(uint64_t* scratch, uint64_t cells, const uint64_t* moduli,
                                       uint32_t known_zeros, uint64_t exponent, uint64_t step, uint32_t groups);

// Several groups at once on wide vectors, wholly in double precision with fused
// multiply-adds forming the remainders exactly; for processors that support them. They leave
// the cells of tly_bbp_vpowmod8_scalar.
void tly_bbp_vpowgroups_avx2(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step, uint32_t groups);
void tly_bbp_vpowgroups_avx512(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                               uint64_t exponent, uint64_t step, uint32_t groups);

// Several groups at once with the exact double-precision arithmetic, for processors without
// AVX-512 IFMA: two vectors of four lanes per group on AVX2 with FMA, one of eight on AVX-512
// F/DQ. They leave the cells of tly_bbp_vpowmod8_double.
void tly_bbp_vpowgroups_avx2_exact(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                   uint64_t exponent, uint64_t step, uint32_t groups);
void tly_bbp_vpowgroups_avx512_exact(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                     uint64_t exponent, uint64_t step, uint32_t groups);

// Several groups at once with the exact Montgomery arithmetic on the 52-bit integer
// multiply-adds of AVX-512 IFMA, one group of eight lanes per vector: the cells of
// tly_bbp_vpowmod8_montgomery.
void tly_bbp_vpowgroups_ifma(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step, uint32_t groups);

// Several groups at once with the exact two-limb Montgomery arithmetic on AVX-512 IFMA, for
// the moduli beyond the one-limb variant's 52 bits: the cells of tly_bbp_vpowmod8_limbs.
void tly_bbp_vpowgroups_ifma_limbs(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                   uint64_t exponent, uint64_t step, uint32_t groups);

// Several groups with the exact 64-bit arithmetic, the eight lanes of a group interleaved:
// every modulus, on any processor; the cells of tly_bbp_vpowmod8_general.
void tly_bbp_vpowgroups_general(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                uint64_t exponent, uint64_t step, uint32_t groups);

// The estimates' arithmetic in plain C++, the eight lanes of a group interleaved: the baseline
// on processors other than x86-64.
void tly_bbp_vpowgroups_portable(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                                 uint64_t exponent, uint64_t step, uint32_t groups);

// Several groups at once on ARM64 NEON: two lanes of doubles per vector, fused multiply-adds
// forming the remainders exactly.
void tly_bbp_vpowgroups_neon(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                             uint64_t exponent, uint64_t step, uint32_t groups);
