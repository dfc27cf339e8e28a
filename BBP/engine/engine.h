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
// fastest last (the exact double tiers among them, which only take over where the estimates
// end), then the exact tiers that take every modulus, fastest first; the last, the 64-bit
// tier, runs on any processor.
extern const tly_bbp_variant tly_bbp_variants[];
extern const int tly_bbp_variant_count;

// The instruction-set classes a choice can be limited to, baseline first: "sse4.1", "avx2",
// "avx512" (F/DQ), "avx512ifma"; each includes the ones before it.
extern const char* const tly_bbp_isa_classes[];
extern const int tly_bbp_isa_class_count;
// Each class's check of this processor, in the order of tly_bbp_isa_classes.
extern bool (*const tly_bbp_isa_checks[])();

// The class a variant needs (an index into tly_bbp_isa_classes).
int tly_bbp_variant_isa(const tly_bbp_variant* variant);

// Limits every later choice to what a processor of class `isa` runs, and makes that class's
// default the variant in use; false (and no change) when this processor lacks the class.
bool tly_bbp_limit_isa(int isa);

// The processor can run the variants of class `isa`.
bool tly_bbp_processor_has_isa(int isa);

// What the user chose, for other processes to choose alike: the class limit and the index of
// the forced variant in tly_bbp_variants, each -1 where the engine's own choice stands.
struct tly_bbp_choice {
  int32_t isa, variant;
};
tly_bbp_choice tly_bbp_user_choice();

// The processor runs the variant and it is within the class limit.
bool tly_bbp_variant_usable(const tly_bbp_variant* variant);

// The variant in use: the fastest usable one of a bounded range that is not only a tier for
// larger moduli (the tiers only take over where its range ends), unless the user or a test
// chose another.
const tly_bbp_variant* tly_bbp_active_variant();

// Makes the named variant the one in use; false (and no change) when it is unknown or not usable.
bool tly_bbp_use_variant(const char* name);

// Whether every group whose moduli are at most `modulus` is within the variant's range.
bool tly_bbp_variant_covers(const tly_bbp_variant* variant, uint64_t modulus);

// The variant for groups whose largest modulus is `modulus`: the one in use where it covers
// them, else the fastest usable one of a bounded range that does, else the fastest usable
// tier of every modulus.
const tly_bbp_variant* tly_bbp_variant_for(uint64_t modulus);
