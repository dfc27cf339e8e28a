// The engine's vector variants seen from the command line: the list, the check of a forced
// one, and the words for what a run used.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../engine/engine.h"

// One line per variant (the default: the one `policy` picks): its name, a tab, the moduli it
// handles, a tab, whether this processor has it; then the GPU arithmetics, marked "device
// arithmetic".
void tly_bbp_list_variants(FILE* out, const tly_bbp_variant_policy& policy);
// The same as one JSON array of objects: name, moduli (the text above), moduli_below (decimal
// digits, or null for every modulus), supported, default, device (true for a GPU arithmetic).
void tly_bbp_list_variants_json(FILE* out, const tly_bbp_variant_policy& policy);

// The index of an instruction-set class named as --isa takes it ("avx2"), or -1.
int tly_bbp_isa_class(const std::string& name);

// Why --isa `isa` cannot be used on this processor, or "" when it can (or is empty).
std::string tly_bbp_isa_refusal(const std::string& isa);

// Why a run whose terms reach the modulus `largest` cannot be computed with the variant
// `name` (empty: the one the engine picks) under --isa `isa` (empty: none), or "" when it can.
std::string tly_bbp_variant_refusal(const std::string& name, uint64_t largest, const std::string& isa = "");

// The GPU arithmetic named so ("fp64-exact", "montgomery64") as a tly_bbp_gpu_arithmetic, or -1
// (always -1 in a build without GPUs).
int32_t tly_bbp_device_arithmetic(const std::string& name);

// --variant's value split into a processor variant and a device arithmetic: one name, or one of
// each separated by a comma. Why it cannot be, or "".
std::string tly_bbp_split_variant(std::string text, std::string* variant, std::string* device_arithmetic);

// Why the device arithmetic `name` (empty: none forced) cannot compute every term of the run
// (--formula choice, place, digits), or "".
std::string tly_bbp_device_arithmetic_refusal(const std::string& name, int32_t choice, uint64_t place, uint64_t digits);

// A variant that takes over from the one in use, and the modulus from which it does.
struct tly_bbp_tier {
  std::string variant;
  uint64_t moduli_from;
};

// The tiers a run whose moduli reach `largest` uses after the variant in use, in order.
std::vector<tly_bbp_tier> tly_bbp_run_tiers(const tly_bbp_variant_policy& policy, uint64_t largest);

// The variant in use and every tier after it, as a run's result names them ("x64 AVX2, x64 AVX2
// exact for moduli from 2^47"), and the modulus from which the first tier takes over (0: none).
std::string tly_bbp_variant_used(const tly_bbp_variant_policy& policy, uint64_t largest);
uint64_t tly_bbp_exact_tiers_from(const tly_bbp_variant_policy& policy, uint64_t largest);

