// What of a series is finished, and claims of the terms not finished yet.
#include "finished_blocks.h"

#include <algorithm>

#include "accumulator.h"
#include "pblock.h"

void tly_bbp_record_block(tly_bbp_series_record* record, uint64_t first, uint64_t last, const int64_t* block_result,
                          uint64_t cells) {
  if (record->sum.size() < cells) record->sum.resize(cells, 0);
  tly_bbp_acc_add_block(reinterpret_cast<int64_t*>(record->sum.data()), block_result, cells);

  std::vector<tly_bbp_range>& f = record->finished;
  auto at = std::lower_bound(f.begin(), f.end(), first, [](const tly_bbp_range& r, uint64_t x) { return r.first < x; });
  at = f.insert(at, {first, last});
  if (at + 1 != f.end() && at->last == (at + 1)->first) {
    at->last = (at + 1)->last;
    f.erase(at + 1);
  }
  if (at != f.begin() && (at - 1)->last == at->first) {
    (at - 1)->last = at->last;
    f.erase(at);
  }
}

uint64_t tly_bbp_finished_terms(const tly_bbp_series_record& record) {
  uint64_t terms = 0;
  for (const tly_bbp_range& r : record.finished) terms += r.last - r.first;
  return terms;
}

std::vector<tly_bbp_range> tly_bbp_unfinished(const tly_bbp_series_record& record) {
  std::vector<tly_bbp_range> open;
  uint64_t next = 0;
  for (const tly_bbp_range& r : record.finished) {
    if (r.first > next) open.push_back({next, r.first});
    next = r.last;
  }
  if (next < record.term_count) open.push_back({next, record.term_count});
  return open;
}

bool tly_bbp_ranges_valid(const std::vector<tly_bbp_range>& ranges, uint64_t term_count) {
  uint64_t next = 0;
  for (size_t i = 0; i < ranges.size(); ++i) {
    const tly_bbp_range& r = ranges[i];
    if (r.first >= r.last || r.last > term_count || r.first % tly_bbp_block_unit != 0) return false;
    if (r.last != term_count && r.last % tly_bbp_block_unit != 0) return false;
    if (i > 0 && r.first <= next) return false;  // overlapping, out of order or not merged
    next = r.last;
  }
  return true;
}

bool tly_bbp_claim_unfinished(std::vector<tly_bbp_range>* open, int32_t team_size, uint64_t* block_size,
                              uint64_t* first, uint64_t* last) {
  if (open->empty()) return false;
  uint64_t remaining = 0;
  for (const tly_bbp_range& r : *open) remaining += r.last - r.first;
  tly_bbp_range& front = open->front();
  uint64_t next_term = front.first;
  tly_bbp_claim_block(front.first + remaining, team_size, &next_term, block_size, first, last);
  *last = std::min(*last, front.last);
  front.first = *last;
  if (front.first == front.last) open->erase(open->begin());
  return true;
}
