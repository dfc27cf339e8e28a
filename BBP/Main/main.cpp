// The program: the console run without arguments, the command-line run with them.
#include "../cli/command_line.h"
#include "console.h"

int main(int argc, char** argv) { return argc <= 1 ? tly_bbp_console_run() : tly_bbp_command_line_main(argc, argv); }
