// Fuzz target: the console dialogue fed arbitrary bytes. It must accept three values within
// the limits or stop at the end of the input, and print at most one prompt per byte it
// consumed beyond the three that are answered.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <streambuf>
#include <string_view>

#include "Main/console.h"

namespace {

// Reads the fuzzer's own buffer in place, so that a read past its end is caught.
struct byte_source : std::streambuf {
  byte_source(const uint8_t* data, size_t size) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(begin, begin, begin + size);
  }
};

int count(std::string_view text, std::string_view needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "dialogue fault: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  byte_source source(data, size);
  std::istream in(&source);
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  int32_t formula = 7;
  uint64_t start = 7, digits = 7;
  const bool accepted = tly_bbp_dialogue(in, out, &formula, &start, &digits);
  std::fclose(out);
  const std::string_view printed(text, length);

  if (accepted) {
    if (formula != 0 && formula != 1) fault("formula outside 0..1 accepted");
    const uint64_t first = formula == 0 ? 1 : 8;
    const uint64_t last = formula == 0 ? (uint64_t{1} << 44) - 1 : (uint64_t{1} << 45) - 1;
    if (start < first || start > last) fault("starting place outside the limits accepted");
    if (digits < 8 || digits > 1024) fault("digit count outside the limits accepted");
  } else if (in.rdbuf()->in_avail() > 0) {
    fault("stopped with input left unread");
  }
  // Every prompt but the answered ones and the one the input ended at consumed a byte.
  const int prompts = count(printed, "Formula = ") + count(printed, "Starting Digit = ") + count(printed, "Digits = ");
  if (uint64_t(prompts) > uint64_t(size) + 3) fault("more prompts than the input can explain");
  std::free(text);
  return 0;
}
