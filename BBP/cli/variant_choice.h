// The engine's vector variants seen from the command line: the list, the check of a forced
// one, and the words for what a run used.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One line per variant: its name, a tab, the moduli it handles, a tab, whether this processor has it.
void tly_bbp_list_variants(FILE* out);
// The same as one JSON array of objects: name, moduli (the text above), moduli_below (decimal
// digits, or null for every modulus), supported, default.
void tly_bbp_list_variants_json(FILE* out);

// Why a run whose terms reach the modulus `largest` cannot be computed with the variant
// `name` (empty: the one the engine picks), or "" when it can.
std::string tly_bbp_variant_refusal(const std::string& name, uint64_t largest);

// The variant in use, as a run's result names it, and the modulus from which a run up to
// `largest` needs the engine's exact tiers as well (0: it does not).
std::string tly_bbp_variant_used(uint64_t largest);
uint64_t tly_bbp_exact_tiers_from(uint64_t largest);

// The moduli at which the supported variants' arithmetic ends, ascending: where the cost of a
// term may jump.
std::vector<uint64_t> tly_bbp_moduli_bounds();
