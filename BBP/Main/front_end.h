// The program's front end: the console run without arguments, the command-line run with them.
#pragma once
#include "../cli/command_line.h"
#include "console.h"

inline int tly_bbp_front_end_main(int argc, char** argv, const tly_bbp_process& process) {
  return argc <= 1 ? tly_bbp_console_run(process) : tly_bbp_command_line_main(argc, argv, process);
}
