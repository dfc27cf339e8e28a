// The program: the console run without arguments, the command-line run with them.
#include <cstdlib>

#include "front_end.h"

namespace {

// Ends at once, running no destructors under threads that may still be computing.
[[noreturn]] void end_now(int code) { std::_Exit(code); }

}  // namespace

int main(int argc, char** argv) {
  tly_bbp_start_process();
  return tly_bbp_front_end_main(argc, argv, {nullptr, end_now, nullptr, nullptr});
}
