// Progress of command-line runs on standard error: one rewritten line on a terminal, plain lines in logs.
#include <cinttypes>
#include <cstdio>

#include "batch.h"

namespace {

std::string duration(double seconds) {
  const uint64_t s = static_cast<uint64_t>(seconds + 0.5);
  char text[64];
  if (s >= 86400)
    std::snprintf(text, sizeof text, "%" PRIu64 "d %02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 86400, s / 3600 % 24,
                  s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60, s % 60);
  return text;
}

}  // namespace

std::string tly_bbp_progress_line(int32_t formula, int series, int count, double done, double terms_per_second,
                                  double seconds_left) {
  char text[160];
  const int n = std::snprintf(text, sizeof text, "Progress: %s series %d/%d, %.1f%% of the run",
                              formula ? "Bellard" : "Plouffe", series + 1, count, done * 100.0);
  std::string line(text, size_t(n));
  if (terms_per_second <= 0) return line + ", estimating speed";
  std::snprintf(text, sizeof text, ", %.3g terms/s, %s left", terms_per_second, duration(seconds_left).c_str());
  return line + text;
}

void tly_bbp_show_progress(const std::string& line, bool terminal) {
  if (terminal)
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
  else
    std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void tly_bbp_end_progress(bool terminal) {
  if (terminal) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}
