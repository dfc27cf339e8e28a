// The program: one console run.
#include "console.h"

int main() { return tly_bbp_console_run(); }
