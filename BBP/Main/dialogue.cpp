// The console dialogue: banner, menu, and the three prompts with their limits.
#include <cinttypes>
#include <limits>

#include "../engine/engine.h"
#include "../formulas/run_values.h"
#include "console.h"

namespace {

// Prompts until a value in [low, high] is read. Text that is no number, or a number too
// large for its type, is dropped with the rest of its line; false at the end of the input.
template <typename T>
bool ask(std::istream& in, FILE* out, const char* prompt, T* value, T low, T high) {
  for (;;) {
    std::fputs(prompt, out);
    std::fflush(out);
    if (in >> *value) {
      if (*value >= low && *value <= high) return true;
      continue;
    }
    if (in.eof() || in.bad()) return false;
    in.clear();
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
}

}  // namespace

bool tly_bbp_dialogue(std::istream& in, FILE* out, int32_t* formula, uint64_t* start, uint64_t* digits) {
  std::fprintf(out, "Tallyspire BBP v" TLY_BBP_VERSION " Build 119          (https://tallyspire.example/bbp)\n");
  std::fprintf(out, "Hexadecimal digits of pi at any place, on every core.\n");
  std::fprintf(out, "\n");
  std::fprintf(out, "BBP Formula Computation for Digit-Extraction\n");
  std::fprintf(out, "\n");
  std::fprintf(out, "Version: %s", tly_bbp_active_variant(tly_bbp_engine_choice)->name);
  std::fprintf(out, "\n\n");

  std::fprintf(out, "Select a Formula:\n");
  std::fprintf(out, "  0  -  Plouffe\n");
  std::fprintf(out, "  1  -  Bellard\n");
  std::fprintf(out, "\n");

  *formula = -1;
  if (!ask<int32_t>(in, out, "Formula = ", formula, 0, 1)) return false;
  std::fprintf(out, "\n\n");

  *start = 0;
  if (*formula == 0) {
    std::fprintf(out, "Start from which hexadecimal place? (limit: 2^44 - 1)\n");
    const tly_bbp_place_limit& limit = tly_bbp_place_limits[0];
    if (!ask<uint64_t>(in, out, "Starting Digit = ", start, limit.low, limit.high)) return false;
  } else {
    std::fprintf(out, "Start from which hexadecimal place? (limit: 2^45 - 1)\n");
    const tly_bbp_place_limit& limit = tly_bbp_place_limits[1];
    if (!ask<uint64_t>(in, out, "Starting Digit = ", start, limit.low, limit.high)) return false;
  }
  std::fprintf(out, "\n\n");

  std::fprintf(out, "How many digits would you like to view? (limit: 1024)\n");
  *digits = 0;
  if (!ask<uint64_t>(in, out, "Digits = ", digits, 8, 1024)) return false;
  std::fprintf(out, "\n\n");
  return true;
}
