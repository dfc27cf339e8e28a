// Test-only replay of one series' block claims in a team's order, and their progress values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/pblock.h"

struct tly_bbp_claimed_block {
  uint64_t first, last;
  uint64_t block_size;  // the shared block size right after the claim
};

// Every claim of a range, from a first block size, until the range is exhausted; at most
// 2^24 of them, so that claims that stop advancing end the replay too.
inline std::vector<tly_bbp_claimed_block> tly_bbp_replay_claims(uint64_t term_count, int32_t team_size,
                                                                uint64_t block_size) {
  std::vector<tly_bbp_claimed_block> blocks;
  uint64_t next_term = 0, first = 0, last = 0;
  while (blocks.size() < (size_t{1} << 24) &&
         tly_bbp_claim_block(term_count, team_size, &next_term, &block_size, &first, &last))
    blocks.push_back({first, last, block_size});
  return blocks;
}

// The progress report's value after `terms_done` of `term_count` terms, as the console shows it.
inline std::string tly_bbp_progress_text(uint64_t terms_done, uint64_t term_count) {
  char text[64];
  std::snprintf(text, sizeof text, "%g",
                (static_cast<double>(terms_done) * 100.0) * (1.0 / static_cast<double>(term_count)));
  return text;
}
