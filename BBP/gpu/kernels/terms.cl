// The GPU kernels: groups of terms of one series, their floor digits summed per work-group.
//
// Written once for OpenCL C and CUDA C++ (compiled at run time by the device's driver or by
// NVRTC) and for plain C++, behind the macros of the first lines. Term k of a series has the
// modulus m = multiplier*k + offset and the exponent e = shift - step*k; it adds the floor of
// frac(2^e/m) * 2^(32 cells), negated for the odd terms of an alternating block. Every sum is of
// integers, so the result is the same whatever the order or the grouping of the terms.

// Every OpenCL C compiler defines one of the two (clang alone only the language's).
#if defined(__OPENCL_C_VERSION__) || defined(__OPENCL_VERSION__)
#define TLY_OPENCL 1
#endif

#if defined(TLY_OPENCL)
// Devices without double precision (many integrated GPUs) build the Montgomery kernels alone.
#if defined(cl_khr_fp64)
#pragma OPENCL EXTENSION cl_khr_fp64 : enable
#define TLY_FP64 1
#else
#define TLY_FP64 0
#endif
// A contracted multiply-add would change the quotient estimates of the exact double arithmetic.
#pragma OPENCL FP_CONTRACT OFF
typedef ulong tly_u64;
typedef long tly_i64;
typedef uint tly_u32;
#define TLY_KERNEL __kernel
#define TLY_GLOBAL __global
#define TLY_LOCAL __local
#define TLY_SHARED __local
#define TLY_FN static inline
#define TLY_LOCAL_ID ((tly_u64)get_local_id(0))
#define TLY_GROUP_ID ((tly_u64)get_group_id(0))
#define TLY_GLOBAL_ID ((tly_u64)get_global_id(0))
#define TLY_BARRIER() barrier(CLK_LOCAL_MEM_FENCE)
#define TLY_MULHI64(a, b) mul_hi((tly_u64)(a), (tly_u64)(b))
#define TLY_CLZ64(a) ((tly_u32)clz((tly_u64)(a)))
#define TLY_FMA(a, b, c) fma(a, b, c)
#define TLY_FLOOR(a) floor(a)
#elif defined(__CUDACC__) || defined(__CUDACC_RTC__)
typedef unsigned long long tly_u64;
typedef long long tly_i64;
typedef unsigned int tly_u32;
#define TLY_FP64 1
#define TLY_KERNEL extern "C" __global__
#define TLY_GLOBAL
// Pointers into shared memory are generic in CUDA; only the arrays are declared shared.
#define TLY_LOCAL
#define TLY_SHARED __shared__
#define TLY_FN static __device__ inline
#define TLY_LOCAL_ID ((tly_u64)threadIdx.x)
#define TLY_GROUP_ID ((tly_u64)blockIdx.x)
#define TLY_GLOBAL_ID ((tly_u64)blockIdx.x * blockDim.x + threadIdx.x)
#define TLY_BARRIER() __syncthreads()
#define TLY_MULHI64(a, b) __umul64hi((tly_u64)(a), (tly_u64)(b))
#define TLY_CLZ64(a) ((tly_u32)__clzll((long long)(a)))
#define TLY_FMA(a, b, c) fma(a, b, c)
#define TLY_FLOOR(a) floor(a)
#else
// Plain C++ on the host: the same functions, for tests against the engine's references.
#include <cmath>
#include <cstdint>
#define TLY_FP64 1
typedef uint64_t tly_u64;
typedef int64_t tly_i64;
typedef uint32_t tly_u32;
#define TLY_FN static inline
#define TLY_MULHI64(a, b) ((tly_u64)(((unsigned __int128)(a) * (tly_u64)(b)) >> 64))
#define TLY_CLZ64(a) ((tly_u32)((a) ? __builtin_clzll(a) : 64))
#define TLY_FMA(a, b, c) std::fma(a, b, c)
#define TLY_FLOOR(a) std::floor(a)
#endif

// Terms per work-group pass and the cells summed per pass of the reduction: the group's
// digits of 16 cells take 8 KiB of local memory.
#define TLY_GROUP_SIZE 64
#define TLY_CHUNK 16
// The most cells a block has: 131 words.
#define TLY_MAX_CELLS 131

// clz of 0 is 64 on every target.
TLY_FN tly_u32 tly_clz(tly_u64 a) { return a ? TLY_CLZ64(a) : 64u; }

// The bit at which the square-and-double loop starts for an exponent e >= 1: the top five
// bits are the starting power 2^w whenever there are five.
TLY_FN tly_u32 tly_start_bit(tly_u64 e) {
  const tly_u32 s = tly_clz(e);
  return s <= 59 ? s + 5 : s;
}

#if TLY_FP64
// ---- The exact double arithmetic, moduli below 2^52 ----------------------------------------

// fl(v*inv + 1.5*2^52) - 1.5*2^52: v*inv rounded once to the nearest integer.
TLY_FN double tly_quotient(double v, double inv) {
  const double rounder = 6755399441055744.0;  // 1.5 * 2^52
  return TLY_FMA(v, inv, rounder) - rounder;
}

TLY_FN double tly_reduce(double v, double m, double inv) { return TLY_FMA(-tly_quotient(v, inv), m, v); }

// 2^e mod m for e >= 1, m < 2^52: a signed residue within about m/2 at every step (every value
// an integer below 2^53, held exactly), brought into [0, m) at the end.
TLY_FN double tly_double_pow2_mod(tly_u64 e, double m, double inv) {
  const tly_u32 start = tly_start_bit(e);
  tly_u64 bits = start < 64 ? e << start : 0;
  double x = tly_reduce((double)((tly_u64)1 << (start == 64 ? e : e >> (64 - start))), m, inv);
  for (tly_u32 i = start; i < 64; ++i) {
    const double hi = x * x;
    const double q = tly_quotient(hi, inv);
    const double r = TLY_FMA(-q, m, hi) + TLY_FMA(x, x, -hi);
    x = tly_reduce((bits >> 63) ? r + r : r, m, inv);
    bits <<= 1;
  }
  return x < 0.0 ? x + m : x;
}

#endif

// ---- The exact 64-bit Montgomery arithmetic, every modulus --------------------------------

// x*y*2^-64 mod o in [0, o), for x*y < o*2^64: the low halves of x*y and u*o cancel.
TLY_FN tly_u64 tly_mont_product(tly_u64 x, tly_u64 y, tly_u64 o, tly_u64 o_inverse) {
  const tly_u64 high = TLY_MULHI64(x, y);
  const tly_u64 u = (x * y) * o_inverse;
  const tly_u64 subtrahend = TLY_MULHI64(u, o);
  return high - subtrahend + (high < subtrahend ? o : 0);
}

TLY_FN tly_u64 tly_mod_double(tly_u64 x, tly_u64 o) { return x >= o - x ? x - (o - x) : x + x; }

// o^-1 mod 2^64 for odd o: five correct bits, doubled by each Newton step.
TLY_FN tly_u64 tly_odd_inverse(tly_u64 o) {
  tly_u64 inverse = (3 * o) ^ 2;
  for (int i = 0; i < 4; ++i) inverse *= 2 - o * inverse;
  return inverse;
}

// 2^e mod m exactly for e >= 1 and any m >= 1: modulo the odd part o of m = 2^s*o, with
// R = 2^64; 2^e itself where e < s.
TLY_FN tly_u64 tly_mont_pow2_mod(tly_u64 e, tly_u64 m) {
  const tly_u32 s = 63 - tly_clz(m & (0 - m));
  const tly_u64 o = m >> s;
  if (e < s) return (tly_u64)1 << e;
  const tly_u64 o_inverse = tly_odd_inverse(o);
  const tly_u64 e_odd = e - s;
  const tly_u32 start = tly_start_bit(e_odd);
  tly_u64 bits = start < 64 ? e_odd << start : 0;
  const tly_u32 w = (tly_u32)(start >= 64 ? e_odd : e_odd >> (64 - start));
  tly_u64 x = (0 - o) % o;  // 2^64 mod o: the Montgomery form of 1
  for (tly_u32 i = 0; i < w; ++i) x = tly_mod_double(x, o);
  const int folded = o < ((tly_u64)1 << 63);  // x*2x < o*2^64 without a reduction
  for (tly_u32 i = start; i < 64; ++i) {
    const tly_u64 bit = bits >> 63;
    if (folded)
      x = tly_mont_product(x, x << bit, o, o_inverse);
    else
      x = tly_mont_product(x, bit ? tly_mod_double(x, o) : x, o, o_inverse);
    bits <<= 1;
  }
  const tly_u64 high = TLY_MULHI64(x * o_inverse, o);
  return (high ? o - high : 0) << s;
}

// The exact digits of the Montgomery arithmetic in integer operations alone (consumer GPUs run
// double precision at 1/64 of the rate): the modulus shifted up to its top bit, d = m*2^z, and
// v = floor((2^64 - 1) / (d_high + 1)) for its high word, once per term.
typedef struct {
  tly_u64 d, v;
} tly_divisor;

TLY_FN tly_divisor tly_divisor_of(tly_u64 m) {
  tly_divisor divisor;
  divisor.d = m << tly_clz(m);
  divisor.v = ~(tly_u64)0 / ((divisor.d >> 32) + 1);
  return divisor;
}

// floor(r * 2^32 / d) for r < d (r and d shifted alike: the quotient of the unshifted pair), and
// r becomes the remainder. The estimate r_high * v / 2^32 never exceeds the quotient and
// falls short by at most 6 (d_high + 1 > 2^31 is within 2^-31 of d/2^32, r_low adds below 2),
// corrected on the exact 96-bit product.
TLY_FN tly_u64 tly_exact_digit(tly_u64* r, tly_divisor divisor) {
  const tly_u64 nh = *r >> 32, nl = *r << 32, d = divisor.d;
  tly_u64 q = TLY_MULHI64(nh << 32, divisor.v);  // v may pass 2^32: the product 96 bits
  const tly_u64 ph = TLY_MULHI64(q, d), pl = q * d;
  tly_u64 rl = nl - pl, rh = nh - ph - (nl < pl);
  while (rh != 0 || rl >= d) {
    ++q;
    rh -= rl < d;
    rl -= d;
  }
  *r = rl;
  return q;
}

// ---- One term's digits, cell by cell from the top ---------------------------------------

// The term's value in cells: integer * 2^(32*lead) + floor(n * 2^(32*lead) / m), n < m;
// cells above `lead` are 0, the integer lies in cell `lead` (none where lead = cells).
typedef struct {
  tly_u64 m, n_exact, integer, lead;  // n_exact: the Montgomery arithmetic's remainder, shifted as divisor.d
  tly_divisor divisor;
#if TLY_FP64
  double dm, dr, reciprocal;
#endif
} tly_term;

// The digit routine of the exact double arithmetic: the remainders left uncorrected (each
// digit below 2^33), only the last digit corrected; their value is the exact floor.
#define TLY_DIGIT_LOWERING (1.0 - 9.094947017729282e-13)  // 1 - 2^-40

// Sets up term k; `use_double` picks the arithmetic (every modulus below 2^52 for it).
TLY_FN tly_term tly_term_setup(int use_double, tly_u64 cells, tly_u64 shift, tly_u64 k, tly_u32 step,
                               tly_u32 multiplier, tly_u32 offset) {
  (void)use_double;  // without double precision there is one arithmetic
  tly_term t;
  t.m = (tly_u64)multiplier * k + offset;
  t.n_exact = 0;
  t.divisor.d = 0;
  t.divisor.v = 0;
  t.integer = 0;
  t.lead = cells;
#if TLY_FP64
  t.dm = 0.0;
  t.dr = 0.0;
  t.reciprocal = 0.0;
#endif
  tly_u64 n = 0;
  const tly_u64 descent = (tly_u64)step * k;
  if (descent < shift) {
#if TLY_FP64
    if (use_double) {
      t.dm = (double)t.m;
      const double inv = 1.0 / t.dm;
      t.reciprocal = inv * TLY_DIGIT_LOWERING;
      t.dr = tly_double_pow2_mod(shift - descent, t.dm, inv) * 4294967296.0;
      return t;
    }
#endif
    n = tly_mont_pow2_mod(shift - descent, t.m);
  } else {
    // 2^-d / m: its integer part of 2^(32 - d%32) / m in cell cells-1-d/32.
    const tly_u64 d = descent - shift;
    if ((d >> 5) >= cells) {
      t.lead = 0;
    } else {
      t.lead = cells - 1 - (d >> 5);
      const tly_u64 power = ((tly_u64)1 << 32) >> (d & 31);
      t.integer = power < t.m ? 0 : power / t.m;
      n = power - t.integer * t.m;
    }
  }
#if TLY_FP64
  if (use_double) {
    t.dm = (double)t.m;
    t.reciprocal = (1.0 / t.dm) * TLY_DIGIT_LOWERING;
    t.dr = (double)n * 4294967296.0;
    return t;
  }
#endif
  t.divisor = tly_divisor_of(t.m);
  t.n_exact = n << tly_clz(t.m);
  return t;
}

// The term's digit in cell `cell`; called for every cell from cells-1 down to 0 in turn.
TLY_FN tly_u64 tly_term_digit(tly_term* t, int use_double, tly_u64 cell) {
  (void)use_double;
  if (cell > t->lead) return 0;
  if (cell == t->lead) return t->integer;
#if TLY_FP64
  if (use_double) {
    const double q = TLY_FLOOR(t->dr * t->reciprocal);
    if (cell == 0) return (tly_u64)q + (TLY_FMA(-q, t->dm, t->dr) >= t->dm ? 1 : 0);
    t->dr = TLY_FMA(-q, t->dm * 4294967296.0, t->dr * 4294967296.0);
    return (tly_u64)q;
  }
#endif
  return tly_exact_digit(&t->n_exact, t->divisor);
}

#if defined(TLY_OPENCL) || defined(__CUDACC__) || defined(__CUDACC_RTC__)

// Group g sums the terms first + g*terms_per_group up to the next group's or first + count,
// TLY_GROUP_SIZE at a time, into partial[g*cells + cell]: signed sums of digits below 2^33,
// exact in 64 bits for up to 2^24 terms per group.
TLY_FN void tly_block(int use_double, TLY_GLOBAL tly_i64* partial, tly_u64 cells, int alternating, tly_u64 shift,
                      tly_u64 first, tly_u64 count, tly_u64 terms_per_group, tly_u32 step, tly_u32 multiplier,
                      tly_u32 offset, TLY_LOCAL tly_i64* digits, TLY_LOCAL tly_i64* sums) {
  const tly_u64 lid = TLY_LOCAL_ID, group = TLY_GROUP_ID;
  for (tly_u64 c = lid; c < cells; c += TLY_GROUP_SIZE) sums[c] = 0;
  const tly_u64 begin = group * terms_per_group;
  const tly_u64 end = begin + terms_per_group < count ? begin + terms_per_group : count;
  for (tly_u64 base = begin; base < end; base += TLY_GROUP_SIZE) {
    const tly_u64 i = base + lid;
    const int active = i < end;
    tly_term t = tly_term_setup(use_double, cells, shift, first + (active ? i : 0), step, multiplier, offset);
    if (!active) {  // past the group's last term: nothing in any cell
      t.lead = 0;
      t.integer = 0;
    }
    const int negative = alternating && (i & 1);
    for (tly_u64 top = cells; top > 0;) {
      const tly_u64 rows = top < TLY_CHUNK ? top : TLY_CHUNK;
      for (tly_u64 j = 0; j < rows; ++j) {
        const tly_i64 d = (tly_i64)tly_term_digit(&t, use_double, top - 1 - j);
        digits[j * TLY_GROUP_SIZE + lid] = negative ? -d : d;
      }
      TLY_BARRIER();
      if (lid < rows) {
        tly_i64 s = 0;
        for (tly_u64 j = 0; j < TLY_GROUP_SIZE; ++j) s += digits[lid * TLY_GROUP_SIZE + j];
        sums[top - 1 - lid] += s;
      }
      TLY_BARRIER();
      top -= rows;
    }
  }
  for (tly_u64 c = lid; c < cells; c += TLY_GROUP_SIZE) partial[group * cells + c] = sums[c];
}

#if TLY_FP64
TLY_KERNEL void tly_bbp_gpu_block_double(TLY_GLOBAL tly_i64* partial, tly_u64 cells, int alternating, tly_u64 shift,
                                         tly_u64 first, tly_u64 count, tly_u64 terms_per_group, tly_u32 step,
                                         tly_u32 multiplier, tly_u32 offset) {
  TLY_SHARED tly_i64 digits[TLY_CHUNK * TLY_GROUP_SIZE];
  TLY_SHARED tly_i64 sums[TLY_MAX_CELLS];
  tly_block(1, partial, cells, alternating, shift, first, count, terms_per_group, step, multiplier, offset, digits, sums);
}
#endif

TLY_KERNEL void tly_bbp_gpu_block_montgomery(TLY_GLOBAL tly_i64* partial, tly_u64 cells, int alternating,
                                             tly_u64 shift, tly_u64 first, tly_u64 count, tly_u64 terms_per_group,
                                             tly_u32 step, tly_u32 multiplier, tly_u32 offset) {
  TLY_SHARED tly_i64 digits[TLY_CHUNK * TLY_GROUP_SIZE];
  TLY_SHARED tly_i64 sums[TLY_MAX_CELLS];
  tly_block(0, partial, cells, alternating, shift, first, count, terms_per_group, step, multiplier, offset, digits, sums);
}

// Each term's own digits, term i's cell c in cells[i*cells + c]: for the checks of single
// lanes against the engine's references.
TLY_KERNEL void tly_bbp_gpu_term_cells(TLY_GLOBAL tly_u64* out, int use_double, tly_u64 cells, tly_u64 shift,
                                       tly_u64 first, tly_u64 count, tly_u32 step, tly_u32 multiplier,
                                       tly_u32 offset) {
  const tly_u64 i = TLY_GLOBAL_ID;
  if (i >= count) return;
  tly_term t = tly_term_setup(use_double, cells, shift, first + i, step, multiplier, offset);
  for (tly_u64 c = cells; c-- > 0;) out[i * cells + c] = tly_term_digit(&t, use_double, c);
}

#endif
