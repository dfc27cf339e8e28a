// The console front end: the dialogue and the run it starts.
#pragma once
#include <cstdint>
#include <cstdio>
#include <istream>

#include "../engine/process.h"

// Banner, menu and the three prompts, reading from `in` and writing to `out`.
// False when the input ended before all three answers were accepted.
bool tly_bbp_dialogue(std::istream& in, FILE* out, int32_t* formula, uint64_t* start, uint64_t* digits);

// The whole console run on this process: dialogue, computation, display, pause. Returns the
// exit code: 0 after a run, 1 when the input ended before all answers were given; a failed
// computation prints its message, pauses and ends the process with code 1.
int tly_bbp_console_run(const tly_bbp_process& process);

// The console's reports of a run: "Terms Needed", the term lines, progress and times, written
// to the FILE* in their user pointer (null: standard output).
extern const tly_bbp_run_callbacks tly_bbp_console_callbacks;
