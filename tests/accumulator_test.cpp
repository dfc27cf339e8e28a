// Tests of the fixed-point accumulator: subtraction with borrows, cell-wise addition, carry into words.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "formulas/accumulator.h"

namespace {

constexpr int64_t k32 = int64_t{1} << 32;

// The value of an accumulator modulo 1, as words of an independent multiword number:
// every cell is sign-extended over all the words above it and added with carries.
std::vector<uint32_t> value_mod_1(const std::vector<int64_t>& cells) {
  const size_t n = cells.size();
  std::vector<uint32_t> v(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t c = static_cast<uint64_t>(cells[i]);
    const uint32_t fill = cells[i] < 0 ? 0xFFFFFFFFu : 0;
    uint64_t carry = 0;
    for (size_t j = i; j < n; ++j) {
      const uint32_t part = j == i ? uint32_t(c) : j == i + 1 ? uint32_t(c >> 32) : fill;
      carry += uint64_t{v[j]} + part;
      v[j] = uint32_t(carry);
      carry >>= 32;
    }
  }
  return v;
}

std::vector<uint32_t> minus_mod_1(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  std::vector<uint32_t> d(a.size());
  int64_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const int64_t x = int64_t{a[i]} - int64_t{b[i]} - borrow;
    d[i] = uint32_t(x);
    borrow = x < 0;
  }
  return d;
}

std::vector<uint32_t> to_words(const std::vector<int64_t>& cells) {
  std::vector<uint32_t> words(cells.size());
  tly_bbp_acc_to_words(words.data(), cells.data(), cells.size());
  return words;
}

std::vector<uint32_t> as_words(const std::vector<int64_t>& normalised) {
  return std::vector<uint32_t>(normalised.begin(), normalised.end());
}

struct SubCase {
  const char* what;
  std::vector<int64_t> a, b, difference;
};

TEST(Accumulator, SubtractionBorrowsAndNormalises) {
  const int64_t top = 0xFFFFFFFF;
  const SubCase cases[] = {
      {"one unit below zero wraps to 1 - 2^-128", {0, 0, 0, 0}, {1, 0, 0, 0}, {top, top, top, top}},
      {"a multi-unit cell borrows 4 from the next", {0, 10, 0, 0}, {3 * k32 + 5, 0, 0, 0}, {k32 - 5, 6, 0, 0}},
      {"the borrow out of the top is dropped", {0, 0, 0, 0x80000000}, {0, 0, 0, 0xC0000000}, {0, 0, 0, 0xC0000000}},
      {"a borrow runs through zero cells", {0, 0, 0, 7}, {1, 0, 0, 0}, {top, top, top, 6}},
      {"a negative cell of A borrows", {-1, 5, 0, 0}, {0, 0, 0, 0}, {top, 4, 0, 0}},
      {"a negative cell of B carries", {0, 0, 0, 0}, {-k32 - 3, 0, 0, 0}, {3, 1, 0, 0}},
      {"cells of A above 2^32 carry up", {2 * k32 + 1, top, 0, 0}, {0, 0, 0, 0}, {1, 1, 1, 0}},
      {"the carry out of the top is dropped", {0, 0, 0, 5 * k32 + 9}, {0, 0, 0, 0}, {0, 0, 0, 9}},
      {"a large negative intermediate", {0, 0, 0, 0}, {int64_t{1} << 55, 0, 0, 0}, {0, top - 0x7FFFFF, top, top}},
      {"equal values leave zero", {k32 + 2, 3, 4, 5}, {2, 4, 4, 5}, {0, 0, 0, 0}},
      {"a single cell", {3}, {5}, {top - 1}},
  };
  for (const SubCase& c : cases) {
    std::vector<int64_t> a = c.a;
    const std::vector<int64_t> b = c.b;
    tly_bbp_acc_sub(a.data(), b.data(), a.size());
    EXPECT_EQ(a, c.difference) << c.what;
    EXPECT_EQ(b, c.b) << c.what << ": B must stay unchanged";
  }
}

struct WordsCase {
  const char* what;
  std::vector<int64_t> cells;
  std::vector<uint32_t> words;
};

TEST(Accumulator, ToWordsCarries) {
  const WordsCase cases[] = {
      {"a normalised accumulator is copied", {1, 0xFFFFFFFF, 0x243F6A88, 0}, {1, 0xFFFFFFFF, 0x243F6A88, 0}},
      {"2^32 + 7 writes 7 and carries 1", {k32 + 7, 0, 0, 0}, {7, 1, 0, 0}},
      {"a carry ripples through full words", {k32, 0xFFFFFFFF, 0xFFFFFFFF, 3}, {0, 0, 0, 4}},
      {"the carry out of the top is dropped", {0, 0, 0, 3 * k32 + 1}, {0, 0, 0, 1}},
      {"large cells carry more than one", {int64_t{1} << 54, (int64_t{1} << 40) + 1, 0, 0}, {0, 1 + 0x400000, 0x100, 0}},
  };
  for (const WordsCase& c : cases) EXPECT_EQ(to_words(c.cells), c.words) << c.what;
}

// The formulas add a positive series cell by cell and let the next subtraction settle the
// carries: that must give what settling first would.
TEST(Accumulator, AddThenSubtractEqualsCarryThenSubtract) {
  const std::vector<int64_t> a = {int64_t{1} << 40, 0xFFFFFFFF, 5, 0xFFFFFFFF};
  const std::vector<int64_t> b = {0xFFFFFFFF, 0xFFFFFFFF, int64_t{3} << 33, 0x80000000};
  const std::vector<int64_t> c = {7, int64_t{1} << 45, 0, 0x90000000};

  std::vector<int64_t> deferred = a;
  tly_bbp_acc_add(deferred.data(), b.data(), deferred.size());
  tly_bbp_acc_sub(deferred.data(), c.data(), deferred.size());

  std::vector<int64_t> sum = a;
  tly_bbp_acc_add(sum.data(), b.data(), sum.size());
  const std::vector<uint32_t> sum_words = to_words(sum);
  std::vector<int64_t> carried(sum_words.begin(), sum_words.end());
  tly_bbp_acc_sub(carried.data(), c.data(), carried.size());

  EXPECT_EQ(deferred, carried);
  EXPECT_EQ(to_words(deferred), minus_mod_1(value_mod_1(sum), value_mod_1(c)));
}

// Random unnormalised accumulators of every length the program uses, against the multiword model.
TEST(Accumulator, RandomUnnormalisedAgainstMultiwordModel) {
  std::mt19937_64 random(20240611);
  const int64_t limit = int64_t{1} << 55;  // series sums never reach 2^55 per cell
  auto cell = [&](bool may_be_negative) -> int64_t {
    switch (random() % 4) {
      case 0: return int64_t(random() & 0xFFFFFFFF);
      case 1: return int64_t(random() % uint64_t(limit));
      case 2: return may_be_negative ? -int64_t(random() % uint64_t(limit)) : 0xFFFFFFFF;
      default: return random() % 2 ? 0 : 0xFFFFFFFF;
    }
  };
  for (int round = 0; round < 3000; ++round) {
    const size_t words = 1 + random() % 131;
    std::vector<int64_t> a(words), b(words), c(words);
    for (size_t i = 0; i < words; ++i) {
      a[i] = cell(true);
      b[i] = cell(true);
      c[i] = cell(false);
    }

    std::vector<int64_t> difference = a;
    tly_bbp_acc_sub(difference.data(), b.data(), words);
    for (int64_t d : difference) ASSERT_TRUE(d >= 0 && d < k32) << "round " << round;
    ASSERT_EQ(as_words(difference), minus_mod_1(value_mod_1(a), value_mod_1(b))) << "round " << round;

    std::vector<int64_t> sum = a;
    tly_bbp_acc_add(sum.data(), b.data(), words);
    for (size_t i = 0; i < words; ++i) ASSERT_EQ(sum[i], a[i] + b[i]);

    // Non-negative cells, as a series evaluation leaves them, carried into words.
    ASSERT_EQ(to_words(c), value_mod_1(c)) << "round " << round;
  }
}

}  // namespace
