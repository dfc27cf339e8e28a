// Standard output of the front ends: flushed with its failures seen, and the console's pause.
#pragma once

// Flushes standard output. Once it cannot be written (closed, a full disk, a reader that
// went away) nobody can see the digits: says so on standard error and ends with code 1.
void tly_bbp_flush_output();

// Waits for Enter when a person is at the terminal; never blocks on piped input.
void tly_bbp_pause();
