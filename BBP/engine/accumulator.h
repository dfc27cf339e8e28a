// Fixed-point fractions modulo 1: signed 64-bit cells of 32-bit digits, least significant first.
#pragma once
#include <cstdint>

// A <- A - B (mod 1), borrows propagated; A leaves normalised.
void tly_bbp_acc_sub(int64_t* a, const int64_t* b, uint64_t words);
// A <- A + B cell by cell, no carry.
void tly_bbp_acc_add(int64_t* a, const int64_t* b, uint64_t words);
// Result words <- A with carries propagated; the carry out of the top is dropped.
void tly_bbp_acc_to_words(uint32_t* result, const int64_t* a, uint64_t words);
// Sum <- (Sum + B) modulo 2^(32 words), carried: Sum leaves normalised. Both read as unsigned
// cells of any size. Every sum of block results goes through it, so that no count of blocks
// can overflow a cell.
void tly_bbp_acc_add_block(int64_t* sum, const int64_t* b, uint64_t words);
