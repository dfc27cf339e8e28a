// The vector variant of the group routine in use, chosen once from what the processor supports.
#pragma once
#include <cstdint>

#include "vpowmod.h"

struct tly_bbp_variant {
  const char* name;               // as the banner shows it, e.g. "x64 SSE4.1"
  bool (*supported)();            // the processor and the operating system can run it
  tly_bbp_vpowgroups_fn groups;   // its routine for several consecutive groups
  tly_bbp_vpowmod8_fn reference;  // the scalar routine of its arithmetic, which it matches cell for cell
  uint64_t moduli_below;          // every modulus of a group must be below this; 0: any 64-bit modulus
};

// Every variant built into the program: those of a bounded range of moduli baseline first,
// fastest last, then the exact tiers that take every modulus, fastest first; the last, the
// 64-bit tier, runs on any processor.
extern const tly_bbp_variant tly_bbp_variants[];
extern const int tly_bbp_variant_count;

// The variant in use: the fastest supported one of a bounded range (the tiers of every modulus
// only take over where that range ends), unless the user or a test chose another.
const tly_bbp_variant* tly_bbp_active_variant();

// Makes the named variant the one in use; false (and no change) when it is unknown or unsupported.
bool tly_bbp_use_variant(const char* name);

// Whether every group whose moduli are at most `modulus` is within the variant's range.
bool tly_bbp_variant_covers(const tly_bbp_variant* variant, uint64_t modulus);

// The variant for groups whose largest modulus is `modulus`: the one in use where it covers
// them, else the fastest supported one of a bounded range that does, else the fastest
// supported tier of every modulus.
const tly_bbp_variant* tly_bbp_variant_for(uint64_t modulus);
