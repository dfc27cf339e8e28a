// Checkpoint files of command-line runs: what finished of every series, saved atomically with a
// format version, the run's parameters and a checksum, and read back strictly.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "../engine/finished_blocks.h"

// One formula of a run: every series' record and its computing time so far.
struct tly_bbp_formula_progress {
  int32_t formula;  // 0 Plouffe, 1 Bellard
  uint64_t cells;
  std::vector<tly_bbp_series_record> series;
  std::vector<double> seconds;
};

struct tly_bbp_checkpoint {
  int32_t choice;  // the --formula of the run: 0 Plouffe, 1 Bellard, 2 both
  uint64_t place, digits;
  std::vector<tly_bbp_formula_progress> formulas;  // in the order they are computed
};

// The state of a run that has not started: every series of the chosen formulas, nothing finished.
tly_bbp_checkpoint tly_bbp_fresh_checkpoint(int32_t choice, uint64_t place, uint64_t digits);

// The file's bytes: the format version, the parameters, the records, and a CRC-32 of it all.
std::string tly_bbp_checkpoint_bytes(const tly_bbp_checkpoint& checkpoint);

// Writes `bytes` to a temporary file beside `path`, syncs it and renames it over `path`, so the
// file always holds one whole checkpoint. False with the reason in `error` when that fails.
bool tly_bbp_write_checkpoint(const std::string& path, const std::string& bytes, std::string* error);

enum class tly_bbp_checkpoint_read { absent, loaded, refused };

// Reads `path` into `checkpoint`, which holds on entry the fresh state of this run: a file of
// another version or other parameters, damaged, truncated or inconsistent is refused, with
// the reason in `error`, and `checkpoint` is then left as it was.
tly_bbp_checkpoint_read tly_bbp_read_checkpoint(const std::string& path, tly_bbp_checkpoint* checkpoint,
                                                std::string* error);
