// Fixed-point fractions modulo 1: the three operations on signed 64-bit cells.
#include "accumulator.h"

// Cell sums wrap by design, so they are formed in unsigned arithmetic.

void tly_bbp_acc_sub(int64_t* a, const int64_t* b, uint64_t words) {
  int64_t carry = 0;
  for (uint64_t i = 0; i < words; ++i) {
    const int64_t x = static_cast<int64_t>(static_cast<uint64_t>(carry) + static_cast<uint64_t>(a[i]) -
                                           static_cast<uint64_t>(b[i]));
    a[i] = x & 0xFFFFFFFF;
    carry = x >> 32;  // arithmetic: a negative x borrows from the next cell
  }
}

void tly_bbp_acc_add(int64_t* a, const int64_t* b, uint64_t words) {
  for (uint64_t i = 0; i < words; ++i)
    a[i] = static_cast<int64_t>(static_cast<uint64_t>(a[i]) + static_cast<uint64_t>(b[i]));
}

void tly_bbp_acc_to_words(uint32_t* result, const int64_t* a, uint64_t words) {
  uint64_t carry = 0;
  for (uint64_t i = 0; i < words; ++i) {
    carry += static_cast<uint64_t>(a[i]);
    result[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
}

void tly_bbp_acc_add_block(int64_t* sum, const int64_t* b, uint64_t words) {
  constexpr uint64_t low = 0xFFFFFFFF;
  uint64_t carry = 0;  // stays below 2^34 whatever the cells hold
  for (uint64_t i = 0; i < words; ++i) {
    const uint64_t s = static_cast<uint64_t>(sum[i]), x = static_cast<uint64_t>(b[i]);
    const uint64_t digit = (s & low) + (x & low) + (carry & low);
    sum[i] = static_cast<int64_t>(digit & low);
    carry = (s >> 32) + (x >> 32) + (carry >> 32) + (digit >> 32);
  }
}
