// Progress of command-line runs on standard error: one rewritten line on a terminal, plain lines in logs.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "batch.h"

std::string tly_bbp_progress_line(int32_t formula, int series, int count, double done, double terms_per_second,
                                  double seconds_left, size_t columns) {
  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", done * 100.0);
  const std::string name = formula ? "Bellard" : "Plouffe";
  const std::string where = name + " series " + std::to_string(series + 1) + "/" + std::to_string(count);
  const std::string left = terms_per_second <= 0 ? "estimating speed" : tly_bbp_duration_text(seconds_left) + " left";
  const std::string rate =
      terms_per_second <= 0 ? "" : tly_bbp_thousands(uint64_t(terms_per_second + 0.5)) + " terms/s, ";
  // Shorter and shorter forms for a narrow terminal: a line that wraps would scroll at every
  // rewrite. The last column stays free, as some terminals wrap on reaching it.
  const std::string forms[] = {
      "Progress: " + where + ", " + share + " of the run, " + rate + left,
      "Progress: " + where + ", " + share + " of the run, " + left,
      name + " " + std::to_string(series + 1) + "/" + std::to_string(count) + ", " + share + ", " + left,
      std::string(share) + ", " + left,
  };
  if (columns == 0) return forms[0];
  for (const std::string& form : forms)
    if (form.size() < columns) return form;
  return forms[3].substr(0, columns > 1 ? columns - 1 : 0);
}

size_t tly_bbp_terminal_columns() {
  winsize size{};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
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
