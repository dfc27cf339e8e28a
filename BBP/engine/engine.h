// The vector variant of the group routine in use, chosen once from what the processor supports.
#pragma once
#include <cstdint>

#include "vpowmod.h"

struct tly_bbp_variant {
  const char* name;               // as the banner shows it, e.g. "x64 SSE4.1"
  bool (*supported)();            // the processor and the operating system can run it
  tly_bbp_vpowgroups_fn groups;   // its routine for several consecutive groups
  tly_bbp_vpowmod8_fn reference;  // the scalar routine of its arithmetic, which it matches cell for cell
  uint64_t moduli_below;          // every modulus of a group must be below this
};

// Every variant built into the program, baseline first, fastest last.
extern const tly_bbp_variant tly_bbp_variants[];
extern const int tly_bbp_variant_count;

// The variant in use: the fastest one supported, unless a test chose another.
const tly_bbp_variant* tly_bbp_active_variant();

// Makes the named variant the one in use; false (and no change) when it is unknown or unsupported.
bool tly_bbp_use_variant(const char* name);
