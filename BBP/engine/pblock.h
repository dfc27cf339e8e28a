// One whole series on all processors: blocks of terms claimed on demand by an OpenMP team.
#pragma once
#include <cstdint>

void tly_bbp_pblock(int64_t* out, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t term_count,
                    uint32_t step, uint32_t multiplier, uint32_t offset, uint64_t block_hint);

// Terms per block before the first claim.
uint64_t tly_bbp_initial_block_size(int32_t threads, uint64_t term_count, uint64_t block_hint);

// The next block [first, last) of the range, halving the shared size near the end;
// false when the range is exhausted. The caller holds the lock.
bool tly_bbp_claim_block(uint64_t term_count, int32_t team_size, uint64_t* next_term, uint64_t* block_size,
                         uint64_t* first, uint64_t* last);
