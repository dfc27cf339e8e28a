// The program: the console run without arguments, the command-line run with them.
#include "front_end.h"

int main(int argc, char** argv) { return tly_bbp_front_end_main(argc, argv); }
