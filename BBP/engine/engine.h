// The vector variant of the group routine in use, chosen once from what the processor supports.
#pragma once
#include <cstdint>
#include <vector>

#include "vpowmod.h"

// What part a variant plays in a run.
enum tly_bbp_variant_kind : int32_t {
  tly_bbp_kind_choice = 0,         // a bounded range; may be the variant in use
  tly_bbp_kind_tier = 1,           // a bounded range, but only taking over where the choice's ends
  tly_bbp_kind_every_modulus = 2,  // a tier for every 64-bit modulus
};

struct tly_bbp_variant {
  const char* name;               // as the banner shows it, e.g. "x64 SSE4.1"
  bool (*supported)();            // the processor and the operating system can run it
  tly_bbp_vpowgroups_fn groups;   // its routine for several consecutive groups
  tly_bbp_vpowmod8_fn reference;  // the scalar routine of its arithmetic, which it matches cell for cell
  uint64_t moduli_below;          // every modulus of a group must be below this; 0: any 64-bit modulus
  int32_t isa;                    // the instruction-set class it needs (an index into tly_bbp_isa_classes)
  tly_bbp_variant_kind kind;
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

// A run's choice of variant: the instruction-set class every choice is limited to and the
// variant forced (an index into tly_bbp_variants), each -1 where the engine's own choice stands.
// A plain value each run carries, so that runs in one process may choose differently.
struct tly_bbp_variant_policy {
  int32_t isa, variant;
};
inline constexpr tly_bbp_variant_policy tly_bbp_engine_choice{-1, -1};

// Limits the policy's choices to what a processor of class `isa` runs, with that class's
// default in use; false (and no change) when this processor lacks the class.
bool tly_bbp_limit_isa(tly_bbp_variant_policy* policy, int isa);

// The processor can run the variants of class `isa`.
bool tly_bbp_processor_has_isa(int isa);

// The processor runs the variant and it is within the policy's class limit.
bool tly_bbp_variant_usable(const tly_bbp_variant* variant, const tly_bbp_variant_policy& policy);

// The variant the policy puts in use: the forced one, else the fastest usable one of a bounded
// range that is not only a tier for larger moduli (the tiers only take over where its range ends).
const tly_bbp_variant* tly_bbp_active_variant(const tly_bbp_variant_policy& policy);

// Forces the named variant in the policy; false (and no change) when it is unknown or not usable.
bool tly_bbp_use_variant(tly_bbp_variant_policy* policy, const char* name);

// Whether every group whose moduli are at most `modulus` is within the variant's range.
bool tly_bbp_variant_covers(const tly_bbp_variant* variant, uint64_t modulus);

// The moduli at which the usable variants' arithmetic ends, ascending: where the cost of a
// term may jump, and where a run's tiers may change.
std::vector<uint64_t> tly_bbp_moduli_bounds(const tly_bbp_variant_policy& policy);

// The variant for groups whose largest modulus is `modulus`: the policy's where it covers
// them, else the fastest usable one of a bounded range that does, else the fastest usable
// tier of every modulus.
const tly_bbp_variant* tly_bbp_variant_for(const tly_bbp_variant_policy& policy, uint64_t modulus);
