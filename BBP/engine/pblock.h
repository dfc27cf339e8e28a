// One whole series on all processors: blocks of terms claimed on demand by an OpenMP team.
#pragma once
#include <cstdint>

#include "engine.h"

// How a run ended: done, or why not. Every failure is returned, none ends the process.
enum tly_bbp_status : int32_t {
  tly_bbp_status_done = 0,
  tly_bbp_status_cancelled = 1,      // the caller's flag was set
  tly_bbp_status_no_memory = 2,      // "Memory Allocation Failure"
  tly_bbp_status_lane_overflow = 3,  // "Error in computation. Expected < 2^56."
  tly_bbp_status_worker_failed = 4,  // block workers (GPUs) failed and nobody was left to take their blocks
};

// The console's words for a status ("" for done).
const char* tly_bbp_status_message(int32_t status);

// The arguments of one call of tly_bbp_pblock, for a claim source that passes the series on
// and for block workers.
struct tly_bbp_series_call {
  uint64_t cells, shift, term_count, block_hint;
  int32_t alternating;
  uint32_t step, multiplier, offset;
  tly_bbp_variant_policy variants;  // the run's, which every process of a job follows
  int32_t threads;                  // the run's processor threads (0: one per processor), likewise
};

struct tly_bbp_claim_rule;

// This process's view of the counters that everybody claiming blocks of one series shares,
// with the rule that hands out their blocks.
struct tly_bbp_block_counters {
  uint64_t term_count;  // the range is [0, term_count)
  uint64_t next_term;   // first index not claimed yet
  uint64_t block_size;  // the shared block size, halved near the end
  uint64_t terms_done;  // terms whose blocks have been summed
  int32_t claimants;    // threads sharing the range; the halving rule counts them all
  const tly_bbp_claim_rule* rule;
};

// How the counters of a series hand out blocks and count the finished ones. Whoever keeps the
// counters applies their rule to every claim and every finished block, holding its own lock:
// the process-wide lock for this process's counters, but another lock on rank 0 of an MPI job,
// which serves the claims of the other ranks from a thread of its own. A rule that keeps state
// keeps it behind its context and guards it itself.
struct tly_bbp_claim_rule {
  void* context;
  bool (*claim)(void* context, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last);
  // Takes a finished block [first, last) with its result (`cells` normalised digits); returns
  // the terms done so far.
  uint64_t (*finish)(void* context, tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                     const int64_t* block_result, uint64_t cells);
};
extern const tly_bbp_claim_rule tly_bbp_every_term;  // the block loop's: [0, term_count) in order

// The counters' rule applied to a claim and to a finished block.
bool tly_bbp_rule_claim(tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last);
uint64_t tly_bbp_rule_finish(tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                             const int64_t* block_result, uint64_t cells);

// Where the block loop takes its blocks from: the counters of this process
// (tly_bbp_local_claims) or counters shared by the processes of a job. Each function is called
// under the process-wide lock, so a source may use a library that wants one thread at a time.
struct tly_bbp_claim_source {
  void* context;
  void (*begin)(void* context, const tly_bbp_series_call* call);  // initial thread, before the team starts
  // Thread 0 of the team, before anybody claims; counters hold the first block size.
  void (*open)(void* context, tly_bbp_block_counters* counters, int32_t team_size);
  bool (*claim)(void* context, tly_bbp_block_counters* counters, uint64_t* first, uint64_t* last);
  // Takes a finished block [first, last) with its result (`cells` normalised digits, already
  // added into the thread's accumulator); returns the terms done so far, which the progress
  // report shows (a source whose process does not report may count only its own).
  uint64_t (*finish)(void* context, tly_bbp_block_counters* counters, uint64_t first, uint64_t last,
                     const int64_t* block_result, uint64_t cells);
  // Initial thread, out holding this process's sum; `complete` is false when the loop stopped
  // early (cancelled or failed), and out then holds only part of the series.
  void (*close)(void* context, int64_t* out, uint64_t cells, bool complete);
};
extern const tly_bbp_claim_source tly_bbp_local_claims;

// The block in a worker's hands, shared with the engine. `abandon` (set under the process-wide
// lock, read atomically by the worker between launches) turns nonzero when an idle processor
// thread has taken the block over: the worker should then return soon; its result is not used.
// As it goes, the worker may note the terms of the block it has finished and the seconds they
// took, its setup (a compile, a timed sample) left out, each stored atomically: a block taken
// over credits them to its pace, so that a device whose first block is taken over still has a
// measured rate, and a processor thread reads them as the block goes on, to take over at once
// a block that lags so far that the others would finish it and all that is unclaimed sooner.
struct tly_bbp_block_hold {
  int abandon;
  uint64_t progress_terms;
  double progress_seconds;
};

// A worker beside the processor threads (a GPU's host thread): it claims from the same
// counters and computes its blocks its own way. `compute` leaves the block [first, last) of
// the series as `cells` normalised digits, exactly the cells tly_bbp_kernel leaves; false on a
// failure: the worker leaves the series and its block goes to the rest of the team. Only when
// nobody is left to take it does the series end, with tly_bbp_status_worker_failed.
struct tly_bbp_block_worker {
  void* context;
  bool (*compute)(void* context, const tly_bbp_series_call* call, uint64_t first, uint64_t last,
                  int64_t* block_result, tly_bbp_block_hold* hold);
};

// A team member's measured pace over every series of a run: terms computed and the seconds
// spent on them, and the terms of the blocks whose result was summed (its share: a block taken
// over counts for the thread that took it, however near the worker came to finishing it).
// A worker does not claim a block when, at the rates measured, the others would finish all that
// is left sooner than it would finish that block; idle threads take over a block a worker would
// finish later than they would.
struct tly_bbp_pace {
  uint64_t terms;
  double seconds;
  uint64_t summed;
};

// What a run reports; each may be null. series_start and series_end on the calling thread,
// progress on a computing thread under the process-wide lock, after each finished block.
struct tly_bbp_run_callbacks {
  void* user;
  void (*series_start)(void* user, int32_t index, int32_t count, uint64_t term_count);
  void (*progress)(void* user, uint64_t terms_done, uint64_t term_count);
  void (*series_end)(void* user, int32_t index, int32_t count, double seconds);
};

// Memory for a run's arrays: null means tly_bbp_alloc and tly_bbp_free.
struct tly_bbp_allocator {
  void* (*allocate)(uint64_t bytes);
  void (*release)(void* memory);
};

// Everything a run needs beside its series: passed down, never read from globals, so that
// several runs may go on in one process at once.
struct tly_bbp_engine_run {
  int32_t threads;  // processor threads; 0: one per processor the runtime reports; negative: none, workers only
  tly_bbp_variant_policy variants;
  const tly_bbp_claim_source* source;  // null: tly_bbp_local_claims
  const tly_bbp_claim_rule* rule;      // null: tly_bbp_every_term
  const tly_bbp_block_worker* workers;  // extra team members, each on a thread of its own
  int32_t worker_count;
  tly_bbp_run_callbacks callbacks;
  const tly_bbp_allocator* allocator;
  const int* cancel;  // the caller's flag, read between blocks: nonzero stops the run; may be null
  // worker_count + 1 entries, the workers' then the processor threads' together, kept across
  // the series of a run; null: each series measures afresh.
  tly_bbp_pace* pace;
};

void* tly_bbp_run_alloc(const tly_bbp_engine_run& run, uint64_t bytes);
void tly_bbp_run_free(const tly_bbp_engine_run& run, void* memory);

// Whether the caller's flag asks the run to stop.
bool tly_bbp_cancelled(const tly_bbp_engine_run& run);

// Sums the series into out (`cells` cells); returns a tly_bbp_status.
int32_t tly_bbp_pblock(int64_t* out, uint64_t cells, int32_t alternating, uint64_t shift, uint64_t term_count,
                       uint32_t step, uint32_t multiplier, uint32_t offset, uint64_t block_hint,
                       const tly_bbp_engine_run& run);

// Every block starts at a multiple of this many terms (4,194,304), which keeps every block
// start even; the claims never hand out less, but at the end of the range.
inline constexpr uint64_t tly_bbp_block_unit = 0x400000;

// Terms per block before the first claim.
uint64_t tly_bbp_initial_block_size(int32_t threads, uint64_t term_count, uint64_t block_hint);

// The next block [first, last) of the range, halving the shared size near the end;
// false when the range is exhausted. The caller holds the lock.
bool tly_bbp_claim_block(uint64_t term_count, int32_t team_size, uint64_t* next_term, uint64_t* block_size,
                         uint64_t* first, uint64_t* last);
