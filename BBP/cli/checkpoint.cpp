// Checkpoint files: a flat little-endian record closed by a CRC-32, written atomically, read strictly.
#include "checkpoint.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "run_plan.h"

namespace {

constexpr char magic[8] = {'T', 'L', 'Y', 'B', 'B', 'P', 'C', 'P'};
// Raise whenever the layout or the meaning of a field changes: older files are then refused.
constexpr uint32_t format_version = 1;

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
  put(&out, crc_of(out.data(), out.size()));
  return out;
}

bool tly_bbp_write_checkpoint(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string temporary = path + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

tly_bbp_checkpoint_read tly_bbp_read_checkpoint(const std::string& path, tly_bbp_checkpoint* checkpoint,
                                                std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return tly_bbp_checkpoint_read::absent;
  std::string bytes;
  char buffer[65536];
  ssize_t n = fd < 0 ? -1 : 0;
  while (fd >= 0 && ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0) bytes.append(buffer, size_t(n));
  if (n < 0) *error = std::strerror(errno);
  if (fd >= 0) close(fd);
  if (n < 0) return tly_bbp_checkpoint_read::refused;
  reader in{bytes, sizeof magic, false};
  if (bytes.size() < sizeof magic || std::memcmp(bytes.data(), magic, sizeof magic) != 0) {
    *error = "it is not a checkpoint of this program";
    return tly_bbp_checkpoint_read::refused;
  }
  const uint32_t version = in.get<uint32_t>();
  if (in.overrun || version != format_version) {
    std::ostringstream why;
    why << "it has format version " << version << ", this program reads version " << format_version;
    *error = in.overrun ? "it is truncated" : why.str();
    return tly_bbp_checkpoint_read::refused;
  }
  if (bytes.size() < in.at + 4) {
    *error = "it is truncated";
    return tly_bbp_checkpoint_read::refused;
  }
  uint32_t stored_crc;
  std::memcpy(&stored_crc, bytes.data() + bytes.size() - 4, 4);
  if (stored_crc != crc_of(bytes.data(), bytes.size() - 4)) {
    *error = "it is damaged or truncated (checksum mismatch)";
    return tly_bbp_checkpoint_read::refused;
  }

  const tly_bbp_checkpoint& fresh = *checkpoint;
  const int32_t choice = in.get<int32_t>();
  const uint64_t place = in.get<uint64_t>(), digits = in.get<uint64_t>();
  if (choice != fresh.choice || place != fresh.place || digits != fresh.digits) {
    static const char* const names[] = {"plouffe", "bellard", "both"};
    std::ostringstream why;
    why << "it belongs to another run (--formula " << (choice >= 0 && choice <= 2 ? names[choice] : "?") << " --place "
        << place << " --digits " << digits << ")";
    *error = why.str();
    return tly_bbp_checkpoint_read::refused;
  }
  tly_bbp_checkpoint loaded = fresh;
  bool ok = in.get<uint32_t>() == fresh.formulas.size();
  for (size_t f = 0; ok && f < fresh.formulas.size(); ++f)
    ok = read_series(&in, fresh.formulas[f], &loaded.formulas[f]);
  if (!ok || in.overrun || in.at != bytes.size() - 4) {
    *error = "its contents are inconsistent";
    return tly_bbp_checkpoint_read::refused;
  }
  *checkpoint = loaded;
  return tly_bbp_checkpoint_read::loaded;
}
