// The console front end: the dialogue and the run it starts.
#pragma once
#include <cstdint>
#include <cstdio>
#include <istream>

// Banner, menu and the three prompts, reading from `in` and writing to `out`.
// False when the input ended before all three answers were accepted.
bool tly_bbp_dialogue(std::istream& in, FILE* out, int32_t* formula, uint64_t* start, uint64_t* digits);

// The whole console run on this process: dialogue, computation, display, pause. Returns the
// exit code: 0 after a run, 1 when the input ended before all answers were given.
int tly_bbp_console_run();
