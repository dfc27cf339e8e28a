// Self-test of the MPFR pi oracle: known digits, window consistency, precision independence.
#include "pi_oracle.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const std::string kFirst100 =
    "243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c89452821e638d01377be5466cf34e90c6cc0ac";

// Places whose windows are cross-checked, spread out to a million.
const uint64_t kPlaces[] = {1, 2, 100, 4093, 65521, 262147, 999937, 1000001};

TEST(PiOracle, FirstHundredDigits) {
  ASSERT_EQ(kFirst100.size(), 100u);
  EXPECT_EQ(tly_bbp_oracle_hex(1, 100), kFirst100);
}

TEST(PiOracle, SmallPlaces) {
  EXPECT_EQ(tly_bbp_oracle_hex(1, 16), "243f6a8885a308d3");
  EXPECT_EQ(tly_bbp_oracle_hex(2, 15), "43f6a8885a308d3");
  EXPECT_EQ(tly_bbp_oracle_hex(100, 16), "c29b7c97c50dd3f8");
  EXPECT_EQ(tly_bbp_oracle_hex(100, 1), "c");
  EXPECT_EQ(tly_bbp_oracle_hex(7, 0), "");
}

TEST(PiOracle, MillionthPlace) {
  // Cross-checked once against a Chudnovsky binary-splitting pi over the first 1.1e6 places.
  EXPECT_EQ(tly_bbp_oracle_hex(1000000, 17), "26c65e52cb4593500");
  EXPECT_EQ(tly_bbp_oracle_hex(1000001, 16), "6c65e52cb4593500");
}

TEST(PiOracle, OverlappingWindowsAgree) {
  tly_bbp_oracle_reserve(1000001 + 80);  // one pi for every window below
  for (uint64_t s : kPlaces) {
    const std::string w = tly_bbp_oracle_hex(s, 80);
    ASSERT_EQ(w.size(), 80u);
    for (uint64_t i = 0; i < 72; ++i) {
      ASSERT_EQ(tly_bbp_oracle_hex(s + i, 1)[0], w[i]) << "place " << s + i;
      ASSERT_EQ(tly_bbp_oracle_hex(s + i, 8), w.substr(i, 8)) << "place " << s + i;
    }
  }
}

TEST(PiOracle, WordsMatchHex) {
  for (uint64_t s : {1, 2, 100, 4093, 65521, 262147}) {
    const std::vector<uint32_t> words = tly_bbp_oracle_words(s, 4);
    const std::string hex = tly_bbp_oracle_hex(s, 32);
    ASSERT_EQ(words.size(), 4u);
    for (size_t i = 0; i < words.size(); ++i)
      EXPECT_EQ(words[i], std::stoul(hex.substr(8 * i, 8), nullptr, 16)) << "place " << s;
  }
  EXPECT_EQ(tly_bbp_oracle_words(1, 2), (std::vector<uint32_t>{0x243f6a88u, 0x85a308d3u}));
}

TEST(PiOracle, PrecisionDoesNotChangeDigits) {
  // Fresh values at two unrelated precisions, and the cached one, must give the same digits.
  const uint64_t s = 200001;
  const std::string a = tly_bbp_oracle_hex_at_precision(s, 64, 4 * (s + 64) + 70);
  const std::string b = tly_bbp_oracle_hex_at_precision(s, 64, 4 * (s + 64) + 9001);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, tly_bbp_oracle_hex(s, 64));
  EXPECT_EQ(tly_bbp_oracle_hex_at_precision(1, 100, 600), kFirst100);
}

TEST(PiOracle, RejectsBadRequests) {
  EXPECT_THROW(tly_bbp_oracle_hex(0, 1), std::invalid_argument);
  EXPECT_THROW(tly_bbp_oracle_hex_at_precision(1000, 10, 4000), std::invalid_argument);
}

}  // namespace
