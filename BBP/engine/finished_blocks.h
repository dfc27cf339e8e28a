// What of a series is finished: its finished term ranges and their summed block results, and
// claims that hand out only the terms not finished yet (for runs that resume).
#pragma once
#include <cstdint>
#include <vector>

struct tly_bbp_range {
  uint64_t first, last;  // terms [first, last)
};

struct tly_bbp_series_record {
  uint64_t term_count;
  std::vector<tly_bbp_range> finished;  // sorted, disjoint, neighbours merged
  std::vector<uint64_t> sum;            // the finished blocks' results, added with carries (a fraction)
};

// Adds a finished block and its `cells` normalised digits to the record.
void tly_bbp_record_block(tly_bbp_series_record* record, uint64_t first, uint64_t last, const int64_t* block_result,
                          uint64_t cells);

uint64_t tly_bbp_finished_terms(const tly_bbp_series_record& record);

// The ranges not finished yet, in order: what claims still have to hand out.
std::vector<tly_bbp_range> tly_bbp_unfinished(const tly_bbp_series_record& record);

// Whether the ranges could have come from blocks of this series: sorted, disjoint and merged,
// inside [0, term_count), every start and every end but term_count a multiple of 4,194,304.
bool tly_bbp_ranges_valid(const std::vector<tly_bbp_range>& ranges, uint64_t term_count);

// The next block from the front of `open`, by the block loop's claim rule with what is left
// in all of `open` as the remainder, cut at the end of its range: blocks still start at
// multiples of 4,194,304. With one open range [next_term, term_count) the same blocks as
// tly_bbp_claim_block. False when nothing is left. The caller holds the lock.
bool tly_bbp_claim_unfinished(std::vector<tly_bbp_range>* open, int32_t team_size, uint64_t* block_size,
                              uint64_t* first, uint64_t* last);
