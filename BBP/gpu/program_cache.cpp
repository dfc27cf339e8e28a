// Compiled GPU programs on disk: SHA-256 keys, entries read as hostile input, written atomically.
#include "program_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// FIPS 180-4.
struct sha256 {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t block[64] = {};
  size_t used = 0;
  uint64_t bytes = 0;

  static uint32_t rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void compress() {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 | uint32_t{block[4 * i + 2]} << 8 |
             block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], x = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = x + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      x = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    const uint32_t next[8] = {a, b, c, d, e, f, g, x};
    for (int i = 0; i < 8; ++i) h[i] += next[i];
  }

  void add(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes += size;
    while (size > 0) {
      const size_t take = std::min(size, sizeof block - used);
      std::memcpy(block + used, p, take);
      used += take, p += take, size -= take;
      if (used == sizeof block) compress(), used = 0;
    }
  }

  tly_bbp_gpu_cache_key finish() {
    const uint64_t bits = bytes * 8;
    const uint8_t one = 0x80, zero = 0;
    add(&one, 1);
    while (used != 56) add(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    add(length, 8);
    tly_bbp_gpu_cache_key digest;
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
  }
};

constexpr char magic[8] = {'T', 'L', 'Y', 'B', 'B', 'P', 'G', 'P'};
constexpr uint32_t format_version = 1;

void put_le(uint8_t* out, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, int size) {
  uint64_t value = 0;
  for (int i = size; i-- > 0;) value = value << 8 | in[i];
  return value;
}

std::string file_name(const tly_bbp_gpu_cache_key& key) {
  static const char digits[] = "0123456789abcdef";
  std::string name;
  for (uint8_t b : key) name += digits[b >> 4], name += digits[b & 15];
  return name + ".program";
}

// The directory, only where it is the user's own and no one else may write in it: an entry
// planted by another user would run on the device as this user's program.
int open_directory(const std::string& directory) {
  if (directory.empty()) return -1;
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat s {};
  if (fstat(fd, &s) != 0 || !S_ISDIR(s.st_mode) || s.st_uid != geteuid() || (s.st_mode & (S_IWGRP | S_IWOTH))) {
    close(fd);
    return -1;
  }
  return fd;
}

// All `size` bytes read or written (`transfer` is read or write), resumed after signals and
// short counts.
template <typename Transfer, typename Byte>
bool whole(Transfer transfer, int fd, Byte* p, size_t size) {
  while (size > 0) {
    const ssize_t done = transfer(fd, p, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done, size -= static_cast<size_t>(done);
  }
  return true;
}

// The missing directories of `path`, made 0700 as the user's cache should be.
void make_directories(const std::string& path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty()) mkdir(prefix.c_str(), 0700);
    if (slash == std::string::npos) return;
  }
}

}  // namespace

tly_bbp_gpu_cache_key tly_bbp_gpu_sha256(const void* data, size_t size) {
  sha256 hash;
  hash.add(data, size);
  return hash.finish();
}

tly_bbp_gpu_cache_key tly_bbp_gpu_program_key(const std::vector<std::string_view>& parts) {
  sha256 hash;
  uint8_t length[8];
  put_le(length, format_version, 8);
  hash.add(length, 8);
  for (const std::string_view part : parts) {
    put_le(length, part.size(), 8);
    hash.add(length, 8);
    hash.add(part.data(), part.size());
  }
  return hash.finish();
}

bool tly_bbp_gpu_cache_read(const std::string& directory, const tly_bbp_gpu_cache_key& key, std::string* binary) {
  binary->clear();
  const int dir = open_directory(directory);
  if (dir < 0) return false;
  // No link followed, and no wait on a FIFO's writer: a FIFO or a device opens at once and
  // is then refused as no regular file.
  const int fd = openat(dir, file_name(key).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  close(dir);
  if (fd < 0) return false;
  struct stat s {};
  uint8_t header[tly_bbp_gpu_cache_header_size];
  bool intact = fstat(fd, &s) == 0 && S_ISREG(s.st_mode) && s.st_size >= off_t(sizeof header) &&
                uint64_t(s.st_size) - sizeof header <= tly_bbp_gpu_cache_most_bytes && whole(read, fd, header, sizeof header);
  const uint64_t length = intact ? get_le(header + 48, 8) : 0;
  intact = intact && std::memcmp(header, magic, 8) == 0 && get_le(header + 8, 4) == format_version &&
           get_le(header + 12, 4) == 0 && std::memcmp(header + 16, key.data(), 32) == 0 &&
           length == uint64_t(s.st_size) - sizeof header;
  if (intact) {
    binary->resize(length);
    uint8_t beyond = 0;
    // The whole binary, and nothing after it: the file may have changed since fstat.
    intact = whole(read, fd, binary->data(), length) && read(fd, &beyond, 1) == 0;
    const tly_bbp_gpu_cache_key checksum = tly_bbp_gpu_sha256(binary->data(), binary->size());
    intact = intact && std::memcmp(header + 56, checksum.data(), 32) == 0;
  }
  close(fd);
  if (!intact) binary->clear();
  return intact;
}

bool tly_bbp_gpu_cache_write(const std::string& directory, const tly_bbp_gpu_cache_key& key,
                             const std::string& binary) {
  if (directory.empty() || binary.size() > tly_bbp_gpu_cache_most_bytes) return false;
  make_directories(directory);
  const int dir = open_directory(directory);
  if (dir < 0) return false;
  const std::string name = file_name(key);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    temporary = name + ".new-" + std::to_string(getpid()) + "-" + std::to_string(now) + "-" + std::to_string(attempt);
    fd = openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    close(dir);
    return false;
  }
  uint8_t header[tly_bbp_gpu_cache_header_size] = {};
  std::memcpy(header, magic, 8);
  put_le(header + 8, format_version, 4);
  std::memcpy(header + 16, key.data(), 32);
  put_le(header + 48, binary.size(), 8);
  const tly_bbp_gpu_cache_key checksum = tly_bbp_gpu_sha256(binary.data(), binary.size());
  std::memcpy(header + 56, checksum.data(), 32);
  // No fsync: an entry cut short by a crash fails its checks and is built again.
  bool written = whole(write, fd, header, sizeof header) && whole(write, fd, binary.data(), binary.size());
  written = close(fd) == 0 && written;
  written = written && renameat(dir, temporary.c_str(), dir, name.c_str()) == 0;
  if (!written) unlinkat(dir, temporary.c_str(), 0);
  close(dir);
  return written;
}
