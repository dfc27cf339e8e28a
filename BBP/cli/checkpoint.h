// Checkpoint files of command-line runs: what finished of every series, saved atomically with a
// format version, the run's parameters, its size and checksums, and read back strictly.
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

// The file's bytes: a header (the format version, the parameters, the file's size and a CRC-32
// of the header), the records, and a CRC-32 of it all.
std::string tly_bbp_checkpoint_bytes(const tly_bbp_checkpoint& checkpoint);

// Writes `bytes` to a new file `path`.tmp, never through a link or into something else found
// there, syncs it and renames it over `path`, so the file always holds one whole checkpoint.
// False with the reason in `error` when that fails.
bool tly_bbp_write_checkpoint(const std::string& path, const std::string& bytes, std::string* error);

// What is at `path`, not following a link: "a regular file", "a symbolic link", "a directory",
// "a FIFO" and so on, or the reason it cannot be looked at.
std::string tly_bbp_file_kind(const std::string& path);

// `failed`: the system could not open the file for want of descriptors or memory, no fault of
// the file's.
enum class tly_bbp_checkpoint_read { absent, loaded, refused, failed };

// Whether an error of open() is the system's want of descriptors or memory.
bool tly_bbp_out_of_resources(int error_number);

// Reads `path` into `checkpoint`, which holds on entry the fresh state of this run. Only a
// regular file is read, its header first and the rest only when the header fits this run and
// declares the file's size (a file of format version 1, which declares none, only when its size
// is within the same bound): anything else is refused at once, with the reason in `error`, and
// `checkpoint` is then left as it was; so is a file damaged, truncated or inconsistent.
tly_bbp_checkpoint_read tly_bbp_read_checkpoint(const std::string& path, tly_bbp_checkpoint* checkpoint,
                                                std::string* error);

// Whether a finished series' record is exactly what the series summed (`sum`, carried): every
// term finished and the same fraction. Either difference is a fault in the computation.
bool tly_bbp_record_matches(const tly_bbp_series_record& record, const int64_t* sum, uint64_t cells);

// The checkpoint of a command-line run at its start: `given` followed through symbolic links
// once (saves go beside the file it names), locked against a second run, and read into
// `checkpoint`. `path` is the file saves go to, empty when the checkpoint is finished: printing
// it needs no write and no lock. Returns -1 to go on, otherwise the exit code after a message.
int tly_bbp_start_checkpoint(const std::string& given, tly_bbp_checkpoint* checkpoint, std::string* path, bool* loaded);
