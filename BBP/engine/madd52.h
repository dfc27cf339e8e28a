// The 52-bit integer multiply-adds of AVX-512 IFMA in plain code, for the lane-by-lane references.
#pragma once
#include <cstdint>

namespace {

constexpr uint64_t tly_bbp_low52 = (uint64_t{1} << 52) - 1;

// The low and the high half of the 104-bit product of the factors' low 52 bits, added to `add`.
inline unsigned __int128 tly_bbp_product52(uint64_t a, uint64_t b) {
  return static_cast<unsigned __int128>(a & tly_bbp_low52) * (b & tly_bbp_low52);
}
inline uint64_t tly_bbp_madd52lo(uint64_t add, uint64_t a, uint64_t b) {
  return add + static_cast<uint64_t>(tly_bbp_product52(a, b) & tly_bbp_low52);
}
inline uint64_t tly_bbp_madd52hi(uint64_t add, uint64_t a, uint64_t b) {
  return add + static_cast<uint64_t>(tly_bbp_product52(a, b) >> 52);
}

}  // namespace
