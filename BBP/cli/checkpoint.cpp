// Checkpoint files: a flat little-endian record with a checked header and a closing CRC-32,
// written atomically, read strictly.
#include "checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "../engine/accumulator.h"
#include "../formulas/run_values.h"
#include "../formulas/run_plan.h"

namespace {

constexpr char magic[8] = {'T', 'L', 'Y', 'B', 'B', 'P', 'C', 'P'};
// Raise whenever the layout or the meaning of a field changes, and read the older ones still:
// a run saved before an upgrade must resume after it. From version 2 on the header keeps its
// layout (magic, version, formula choice, place, digits, formula count, file size, header
// CRC-32), so that a file of a later version is told from a damaged one. Version 1 is the same
// without the size and the header's checksum: its header ends where the size now begins.
constexpr uint32_t format_version = 2;
constexpr size_t header_size = 48, size_field = 36, version_1_header_size = size_field;

// A job of a million threads, stopped, leaves at most a million gaps in the series it was on:
// no checkpoint of a run holds more ranges than that beyond its fresh state.
constexpr uint64_t most_ranges = uint64_t{1} << 20;

template <typename T>
void put(std::string* out, T value) {
  out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads fields in order and notes any read past the end; the caller checks once at the end.
struct reader {
  const std::string& bytes;
  size_t at;
  bool overrun;
  template <typename T>
  T get() {
    T value{};
    if (bytes.size() - at < sizeof value) {
      overrun = true;
      return value;
    }
    std::memcpy(&value, bytes.data() + at, sizeof value);
    at += sizeof value;
    return value;
  }
};

uint32_t crc_of(const char* data, size_t size) {
  return static_cast<uint32_t>(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

// Fills `progress` from the reader after checking it against the fresh state of this run.
bool read_series(reader* in, const tly_bbp_formula_progress& fresh, tly_bbp_formula_progress* progress) {
  if (in->get<int32_t>() != fresh.formula || in->get<uint32_t>() != fresh.series.size() ||
      in->get<uint64_t>() != fresh.cells)
    return false;
  for (size_t s = 0; s < fresh.series.size() && !in->overrun; ++s) {
    tly_bbp_series_record& record = progress->series[s];
    if (in->get<uint64_t>() != record.term_count) return false;
    const double seconds = in->get<double>();
    if (!(seconds >= 0 && seconds < 1e12)) return false;
    progress->seconds[s] = seconds;
    const uint64_t ranges = in->get<uint64_t>();
    if (ranges > (in->bytes.size() - in->at) / 16) return false;
    record.finished.resize(ranges);
    for (tly_bbp_range& r : record.finished) r = {in->get<uint64_t>(), in->get<uint64_t>()};
    if (!tly_bbp_ranges_valid(record.finished, record.term_count)) return false;
    record.sum.resize(fresh.cells);
    for (uint64_t& cell : record.sum) cell = in->get<uint64_t>();
    // Nothing finished, nothing summed: no run saves a sum without the blocks it came from.
    if (record.finished.empty() && std::any_of(record.sum.begin(), record.sum.end(), [](uint64_t c) { return c != 0; }))
      return false;
  }
  return !in->overrun;
}

}  // namespace

tly_bbp_checkpoint tly_bbp_fresh_checkpoint(int32_t choice, uint64_t place, uint64_t digits) {
  const uint64_t words = tly_bbp_command_line_run_values(place, digits).words;
  tly_bbp_checkpoint c{choice, place, digits, {}};
  for (const tly_bbp_run_formula& run : tly_bbp_run_formulas(choice, place, digits)) {
    tly_bbp_formula_progress f{run.formula, words, {}, std::vector<double>(size_t(run.count), 0.0)};
    for (int s = 0; s < run.count; ++s) f.series.push_back({run.term_count, {}, std::vector<uint64_t>(words, 0)});
    c.formulas.push_back(f);
  }
  return c;
}

std::string tly_bbp_checkpoint_bytes(const tly_bbp_checkpoint& checkpoint) {
  std::string out(magic, sizeof magic);
  put(&out, format_version);
  put(&out, checkpoint.choice);
  put(&out, checkpoint.place);
  put(&out, checkpoint.digits);
  put(&out, static_cast<uint32_t>(checkpoint.formulas.size()));
  put(&out, uint64_t{0});  // the size, once known
  put(&out, uint32_t{0});  // the header's checksum
  for (const tly_bbp_formula_progress& f : checkpoint.formulas) {
    put(&out, f.formula);
    put(&out, static_cast<uint32_t>(f.series.size()));
    put(&out, f.cells);
    for (size_t s = 0; s < f.series.size(); ++s) {
      const tly_bbp_series_record& record = f.series[s];
      put(&out, record.term_count);
      put(&out, f.seconds[s]);
      put(&out, static_cast<uint64_t>(record.finished.size()));
      for (const tly_bbp_range& r : record.finished) {
        put(&out, r.first);
        put(&out, r.last);
      }
      for (uint64_t i = 0; i < f.cells; ++i) put(&out, i < record.sum.size() ? record.sum[i] : uint64_t{0});
    }
  }
  const uint64_t size = out.size() + 4;
  std::memcpy(&out[size_field], &size, sizeof size);
  const uint32_t header_crc = crc_of(out.data(), header_size - 4);
  std::memcpy(&out[header_size - 4], &header_crc, sizeof header_crc);
  put(&out, crc_of(out.data(), out.size()));
  return out;
}

namespace {

const char* kind_of(mode_t mode) {
  return S_ISLNK(mode)    ? "a symbolic link"
         : S_ISDIR(mode)  ? "a directory"
         : S_ISFIFO(mode) ? "a FIFO"
         : S_ISCHR(mode)  ? "a character device"
         : S_ISBLK(mode)  ? "a block device"
         : S_ISSOCK(mode) ? "a socket"
                          : "a regular file";
}

}  // namespace

std::string tly_bbp_file_kind(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? kind_of(st.st_mode) : std::strerror(errno);
}

bool tly_bbp_write_checkpoint(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string temporary = path + ".tmp";
  // A regular file there is a crashed save's: replaced, by a new file, so that neither a
  // symbolic link nor a hard link put there is ever written through. Anything else stays.
  struct stat st;
  if (lstat(temporary.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(temporary.c_str());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    *error = temporary + " is " + tly_bbp_file_kind(temporary) + ", in the way of saves";
    return false;
  }
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  // The data must be on disk before the rename makes it the checkpoint.
  ok = ok && fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself is durable once the directory is synced.
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

namespace {

// Up to `size` bytes from `fd`, fewer only at its end or on an error (errno set, -1).
ssize_t read_up_to(int fd, char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += size_t(n);
  }
  return ssize_t(done);
}

// The checks of a file's header against this run; empty when it fits. Then the file is
// `file_size` bytes, within the bound of this run, and its records begin at `*body`.
std::string header_refusal(const std::string& header, const tly_bbp_checkpoint& fresh, uint64_t file_size,
                           size_t* body) {
  if (header.size() < sizeof magic || std::memcmp(header.data(), magic, sizeof magic) != 0)
    return "it is not a checkpoint of this program";
  reader in{header, sizeof magic, false};
  const uint32_t version = in.get<uint32_t>();
  // Version 1 declares no size and checks its header only with the whole file: its size is
  // bounded as version 2's is before more is read, and the whole checksum is checked after.
  const bool version_1 = !in.overrun && version == 1;
  *body = version_1 ? version_1_header_size : header_size;
  if (header.size() < *body) return "it is truncated";
  std::ostringstream why;
  if (!version_1) {
    uint32_t header_crc;
    std::memcpy(&header_crc, header.data() + header_size - 4, 4);
    if (header_crc != crc_of(header.data(), header_size - 4)) return "it is damaged (its header fails its checksum)";
    if (version != format_version) {
      why << "it has format version " << version << ", this program reads versions 1 and " << format_version;
      return why.str();
    }
  }
  const int32_t choice = in.get<int32_t>();
  const uint64_t place = in.get<uint64_t>(), digits = in.get<uint64_t>();
  if (choice != fresh.choice || place != fresh.place || digits != fresh.digits) {
    static const char* const names[] = {"plouffe", "bellard", "both"};
    why << "it belongs to another run (--formula " << (choice >= 0 && choice <= 2 ? names[choice] : "?") << " --place "
        << place << " --digits " << digits << ")";
    return why.str();
  }
  const uint32_t formulas = in.get<uint32_t>();
  const uint64_t size = version_1 ? file_size : in.get<uint64_t>();
  const uint64_t smallest = tly_bbp_checkpoint_bytes(fresh).size() - (header_size - *body);
  if (formulas != fresh.formulas.size()) return "its contents are inconsistent (the number of formulas)";
  if (version_1 && size < smallest) return "it is truncated";
  if (size < smallest || size > smallest + most_ranges * 16 || (size - smallest) % 16 != 0)
    return std::string("its contents are inconsistent (") + (version_1 ? "it is " : "its header declares ") +
           std::to_string(size) + " bytes)";
  if (file_size != size) {
    why << "it is " << (file_size < size ? "truncated" : "longer than its header declares") << " (" << file_size
        << " bytes, not " << size << ")";
    return why.str();
  }
  return {};
}

}  // namespace

bool tly_bbp_out_of_resources(int error_number) {
  return error_number == EMFILE || error_number == ENFILE || error_number == ENOMEM;
}

tly_bbp_checkpoint_read tly_bbp_read_checkpoint(const std::string& path, tly_bbp_checkpoint* checkpoint,
                                                std::string* error) {
  // Nonblocking, so that opening a FIFO cannot wait for a writer; fstat then refuses it.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return tly_bbp_checkpoint_read::absent;
  if (fd < 0) {
    *error = std::strerror(errno);
    return tly_bbp_out_of_resources(errno) ? tly_bbp_checkpoint_read::failed : tly_bbp_checkpoint_read::refused;
  }
  struct stat st;
  std::string bytes(header_size, '\0');
  size_t body = header_size;
  ssize_t n = -1;
  if (fstat(fd, &st) != 0) {
    *error = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *error = std::string("it is ") + kind_of(st.st_mode) + ", not a regular file";
  } else if ((n = read_up_to(fd, bytes.data(), header_size)) < 0) {
    *error = std::strerror(errno);
  } else {
    const size_t got = size_t(n);
    bytes.resize(got);
    *error = header_refusal(bytes, *checkpoint, uint64_t(st.st_size), &body);
    if (error->empty()) {
      // The size is known and bounded now: the rest, and not a byte more.
      bytes.resize(size_t(st.st_size));
      n = read_up_to(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0)
        *error = std::strerror(errno);
      else if (size_t(n) != bytes.size() - got)
        *error = "it is truncated";
    }
  }
  close(fd);
  if (!error->empty()) return tly_bbp_checkpoint_read::refused;
  uint32_t stored_crc;
  std::memcpy(&stored_crc, bytes.data() + bytes.size() - 4, 4);
  if (stored_crc != crc_of(bytes.data(), bytes.size() - 4)) {
    *error = "it is damaged (checksum mismatch)";
    return tly_bbp_checkpoint_read::refused;
  }

  const tly_bbp_checkpoint& fresh = *checkpoint;
  reader in{bytes, body, false};
  tly_bbp_checkpoint loaded = fresh;
  bool ok = true;
  for (size_t f = 0; ok && f < fresh.formulas.size(); ++f)
    ok = read_series(&in, fresh.formulas[f], &loaded.formulas[f]);
  if (!ok || in.overrun || in.at != bytes.size() - 4) {
    *error = "its contents are inconsistent";
    return tly_bbp_checkpoint_read::refused;
  }
  *checkpoint = loaded;
  return tly_bbp_checkpoint_read::loaded;
}

bool tly_bbp_record_matches(const tly_bbp_series_record& record, const int64_t* sum, uint64_t cells) {
  // Compared carried, as a file may hold its sum uncarried.
  std::vector<int64_t> recorded(cells, 0);
  tly_bbp_acc_add_block(recorded.data(), reinterpret_cast<const int64_t*>(record.sum.data()), cells);
  if (tly_bbp_finished_terms(record) != record.term_count) return false;
  for (uint64_t i = 0; i < cells; ++i)
    if (recorded[i] != sum[i]) return false;
  return true;
}
