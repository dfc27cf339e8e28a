// Test-only memory for the engine's arrays: aligned only as far as the engine promises, and fenced.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// `size` 64-bit words that start 16 bytes past a 64-byte boundary, so that code counting on
// 32- or 64-byte alignment fails here, between two fences of known words that catch writes
// outside the array.
struct tly_bbp_fenced_words {
  static constexpr size_t fence = 8;
  static constexpr uint64_t fence_word = 0x5AA5C33CF00F9669ull;

  std::vector<uint64_t> storage;
  uint64_t* data;
  size_t size;

  explicit tly_bbp_fenced_words(size_t words, uint64_t fill = 0)
      : storage(words + 2 * fence + 8, fence_word), data(nullptr), size(words) {
    uint64_t* p = storage.data() + fence;
    while (reinterpret_cast<uintptr_t>(p) % 64 != 16) ++p;
    data = p;
    for (size_t i = 0; i < size; ++i) data[i] = fill;
  }

  bool fences_intact() const {
    for (size_t i = 0; i < fence; ++i)
      if (data[-1 - static_cast<ptrdiff_t>(i)] != fence_word || data[size + i] != fence_word) return false;
    return true;
  }
};
