// One whole series on all processors: blocks of terms claimed on demand by an OpenMP team.
#pragma once
#include <cstdint>

// Threads each series asks for; 0 (the default) means one per processor the runtime reports.
extern int32_t tly_bbp_thread_request;

void tly_bbp_pblock(int64_t* out, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t term_count,
                    uint32_t step, uint32_t multiplier, uint32_t offset, uint64_t block_hint);

// Terms per block before the first claim.
uint64_t tly_bbp_initial_block_size(int32_t threads, uint64_t term_count, uint64_t block_hint);

// The next block [first, last) of the range, halving the shared size near the end;
// false when the range is exhausted. The caller holds the lock.
bool tly_bbp_claim_block(uint64_t term_count, int32_t team_size, uint64_t* next_term, uint64_t* block_size,
                         uint64_t* first, uint64_t* last);

// The arguments of one call of tly_bbp_pblock, for a claim source that passes the series on.
struct tly_bbp_series_call {
  uint64_t cells, shift, term_count, block_hint;
  int32_t alternating;
  uint32_t step, multiplier, offset;
};

// This process's view of the counters that everybody claiming blocks of one series shares.
struct tly_bbp_block_counters {
  uint64_t term_count;  // the range is [0, term_count)
  uint64_t next_term;   // first index not claimed yet
  uint64_t block_size;  // the shared block size, halved near the end
  uint64_t terms_done;  // terms whose blocks have been summed
  int32_t claimants;    // threads sharing the range; the halving rule counts them all
};

// How the counters of a series hand out blocks and count the finished ones. Whoever keeps the
// counters applies the rule in use (tly_bbp_rule) to every claim and every finished block,
// holding its own lock: the process-wide lock for this process's counters, but another lock
// on rank 0 of an MPI job, which serves the claims of the other ranks from a thread of its own.
// A rule that keeps state of its own guards it itself.
struct tly_bbp_claim_rule {
  bool (*claim)(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last);
  // Takes a finished block [first, last) with its result (`cells` normalised digits); returns
  // the terms done so far.
  uint64_t (*finish)(tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t* block_result,
                     uint64_t cells);
};
extern const tly_bbp_claim_rule tly_bbp_every_term;  // the block loop's: [0, term_count) in order
extern const tly_bbp_claim_rule* tly_bbp_rule;

// Where the block loop of every series takes its blocks from: the counters of this process
// (tly_bbp_local_claims, the default) or counters shared by the processes of a job. Each
// function is called under the process-wide lock, so a source may use a library that wants
// one thread at a time.
struct tly_bbp_claim_source {
  void (*begin)(const tly_bbp_series_call* call);  // initial thread, before the team starts
  // Thread 0 of the team, before anybody claims; counters hold the first block size.
  void (*open)(tly_bbp_block_counters* counters, int32_t team_size);
  bool (*claim)(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last);
  // Takes a finished block [first, last) with its result (`cells` normalised digits, already
  // added into the thread's accumulator); returns the terms done so far, which the progress
  // report shows (a source that does not print may count only its own).
  uint64_t (*finish)(tly_bbp_block_counters* counters, uint64_t first, uint64_t last, const int64_t* block_result,
                     uint64_t cells);
  void (*close)(int64_t* out, uint64_t cells);  // initial thread, out holding this process's sum
  bool console;                                 // this process prints progress and time
};
extern const tly_bbp_claim_source tly_bbp_local_claims;
extern const tly_bbp_claim_source* tly_bbp_claims;
