// The digit display: the Result words as binary and as hexadecimal digits under their place.
#include <cinttypes>
#include <cstdio>

#include "../formulas/run_values.h"
#include "display.h"

namespace {

// Ends a block: the caret under the first digit if the first line never completed.
void end_block(bool first_line) {
  if (first_line) std::printf("\n ^");
  std::printf("\n\n");
}

// Counts a printed digit; the first full line gets the caret line under its first digit.
void next_column(uint64_t* column, uint64_t line_length, bool* first_line) {
  if (++*column != line_length) return;
  *column = 0;
  std::printf("\n");
  if (*first_line) {
    *first_line = false;
    std::printf(" ^\n\n");
  }
}

}  // namespace

void tly_bbp_print_digits(const uint32_t* result, uint64_t digits, uint64_t position) {
  const uint64_t n = (digits + 7) / 8;
  const uint32_t* display = result + tly_bbp_display_guard_words;  // the guard words are never shown

  std::printf("Binary Digits starting from: 2^-%" PRId64 "\n", static_cast<int64_t>(position + 1));
  uint64_t b = 32 * n, column = 0;
  bool first_line = true;
  for (uint64_t i = 0; i < 4 * digits; ++i) {
    if (b % 4 == 0) std::printf(" ");
    --b;
    std::printf((display[b / 32] >> (b % 32)) & 1 ? "1" : "0");
    next_column(&column, 32, &first_line);
  }
  end_block(first_line);

  std::printf("Hexadecimal Digits starting from: 16^-%" PRId64 "\n", static_cast<int64_t>(position / 4 + 1));
  uint64_t h = 8 * n, last = 0;
  column = 0;
  first_line = true;
  for (uint64_t i = 0; i < digits; ++i) {
    if (last == 0) std::printf(" ");
    --h;
    last = h % 8;
    std::putchar("0123456789abcdef"[(display[h / 8] >> (4 * (h % 8))) & 0xF]);
    next_column(&column, 64, &first_line);
  }
  end_block(first_line);
}
