// Compiled GPU programs kept on disk between runs, keyed by everything that shaped them.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using tly_bbp_gpu_cache_key = std::array<uint8_t, 32>;

// SHA-256 of `size` bytes.
tly_bbp_gpu_cache_key tly_bbp_gpu_sha256(const void* data, size_t size);

// The key of a program: the hash of every part (the source, the build options, the backend,
// the device, the driver's and compiler's versions), each with its length, so that no two
// lists of parts run together into one.
tly_bbp_gpu_cache_key tly_bbp_gpu_program_key(const std::vector<std::string_view>& parts);

// The entry of `key` in `directory`: its file name is the key in hexadecimal. False, and
// `binary` empty, for anything but an intact entry of this key: no directory, no file, a
// symbolic link, a FIFO or a device, a file over the size cap, another format, another key, a
// wrong checksum. The directory must be the user's own and writable by no one else.
bool tly_bbp_gpu_cache_read(const std::string& directory, const tly_bbp_gpu_cache_key& key, std::string* binary);

// Stores `binary` as the entry of `key`, creating the directory (mode 0700) where it is
// missing: written to a new file beside it and renamed over the old entry, so that a reader
// sees the old entry or the new one, never half of one. False on any failure, which leaves
// the directory as it was.
bool tly_bbp_gpu_cache_write(const std::string& directory, const tly_bbp_gpu_cache_key& key, const std::string& binary);

// The entry file's layout: magic, format, key, length, the binary's SHA-256, then the binary.
constexpr size_t tly_bbp_gpu_cache_header_size = 8 + 4 + 4 + 32 + 8 + 32;
constexpr uint64_t tly_bbp_gpu_cache_most_bytes = uint64_t{64} << 20;
