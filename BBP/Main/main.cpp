// The program: the console run without arguments, the command-line run with them.
#include "front_end.h"

int main(int argc, char** argv) {
  tly_bbp_start_process();
  return tly_bbp_front_end_main(argc, argv);
}
