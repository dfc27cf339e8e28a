// Standard output of the front ends: flushed with its failures seen, and the console's pause.
#include "standard_output.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

void tly_bbp_pause() {
  std::cout.flush();
  std::fflush(stdout);
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
  std::fputs("Press Enter to continue . . . ", stdout);
  std::fflush(stdout);
  // What the user typed after the last answer belongs to that answer, not to this wait.
  __fpurge(stdin);
  int c;
  do c = std::getchar();
  while (c != '\n' && c != EOF);
}

void tly_bbp_flush_output() {
  std::cout.flush();
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !std::cout.bad()) return;
  std::fputs("tallyspire-bbp: standard output cannot be written\n", stderr);
  // May run on a worker thread while others compute.
  std::_Exit(1);
}
