// The digit display: the Result words as binary and as hexadecimal digits under their place.
#pragma once
#include <cstdint>

// The binary and the hexadecimal block of the Result words on standard output.
void tly_bbp_print_digits(const uint32_t* result, uint64_t digits, uint64_t position);
