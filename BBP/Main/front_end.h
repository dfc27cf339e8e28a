// The program's front end: the console run without arguments, the command-line run with them.
#pragma once
#include "../cli/command_line.h"
#include "console.h"

// At the start of every program, before any file is opened: descriptors 0, 1 and 2 open (a
// closed one on /dev/null, read-only), SIGXFSZ ignored.
void tly_bbp_start_process();

inline int tly_bbp_front_end_main(int argc, char** argv, const tly_bbp_process& process) {
  return argc <= 1 ? tly_bbp_console_run(process) : tly_bbp_command_line_main(argc, argv, process);
}
