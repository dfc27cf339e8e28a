// The vector variants seen from the command line: their list, the check of a forced one, and
// what a run used.
#include "variant_choice.h"

#include <algorithm>
#include <bit>
#include <nlohmann/json.hpp>

#include "../engine/engine.h"
#include "../formulas/run_plan.h"
#include "command_line.h"
#if defined(TLY_BBP_HAVE_GPU)
#include "../gpu/gpu.h"
#endif

namespace {

bool covers(const tly_bbp_variant& variant, uint64_t modulus) { return tly_bbp_variant_covers(&variant, modulus); }

bool covers_all(const tly_bbp_variant& variant) { return covers(variant, UINT64_MAX); }

std::string bound_text(uint64_t bound) {
  return std::has_single_bit(bound) ? "2^" + std::to_string(std::countr_zero(bound)) : std::to_string(bound);
}

std::string range_text(uint64_t moduli_below) {
  return moduli_below == 0 ? "every 64-bit modulus" : "moduli below " + bound_text(moduli_below);
}

std::string moduli_text(const tly_bbp_variant& variant) {
  return range_text(covers_all(variant) ? 0 : variant.moduli_below);
}

// The GPU arithmetics --variant may force: name and the modulus their range ends at (0: none).
struct device_arithmetic {
  const char* name;
  uint64_t moduli_below;
};

std::vector<device_arithmetic> device_arithmetics() {
  std::vector<device_arithmetic> list;
#if defined(TLY_BBP_HAVE_GPU)
  for (tly_bbp_gpu_arithmetic a : {tly_bbp_gpu_fp64_exact, tly_bbp_gpu_montgomery64})
    list.push_back({tly_bbp_gpu_arithmetic_name(a), tly_bbp_gpu_moduli_below(a)});
#endif
  return list;
}

const tly_bbp_variant* named(const std::string& name) {
  for (int i = 0; i < tly_bbp_variant_count; ++i)
    if (name == tly_bbp_variants[i].name) return &tly_bbp_variants[i];
  return nullptr;
}

}  // namespace

void tly_bbp_list_variants(FILE* out, const tly_bbp_variant_policy& policy) {
  const tly_bbp_variant* active = tly_bbp_active_variant(policy);
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    std::fprintf(out, "%s\t%s\t%s\n", v.name, moduli_text(v).c_str(),
                 !v.supported()    ? "not supported by this processor"
                 : &v == active    ? "supported, the default"
                                   : "supported");
  }
  for (const device_arithmetic& a : device_arithmetics())
    std::fprintf(out, "%s\t%s\tdevice arithmetic\n", a.name, range_text(a.moduli_below).c_str());
}

void tly_bbp_list_variants_json(FILE* out, const tly_bbp_variant_policy& policy) {
  const tly_bbp_variant* active = tly_bbp_active_variant(policy);
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    // A string: JSON readers that hold numbers in doubles would round bounds past 2^53.
    const nlohmann::ordered_json below = covers_all(v) ? nlohmann::ordered_json() : nlohmann::ordered_json(std::to_string(v.moduli_below));
    list.push_back({{"name", v.name},
                    {"moduli", moduli_text(v)},
                    {"moduli_below", below},
                    {"supported", v.supported()},
                    {"default", &v == active},
                    {"device", false}});
  }
  // Which device takes which is for --list-devices to say.
  for (const device_arithmetic& a : device_arithmetics())
    list.push_back({{"name", a.name},
                    {"moduli", range_text(a.moduli_below)},
                    {"moduli_below", a.moduli_below ? nlohmann::ordered_json(std::to_string(a.moduli_below)) : nlohmann::ordered_json()},
                    {"supported", true},
                    {"default", false},
                    {"device", true}});
  std::fprintf(out, "%s\n", list.dump().c_str());
}

int tly_bbp_isa_class(const std::string& name) {
  for (int c = 0; c < tly_bbp_isa_class_count; ++c)
    if (name == tly_bbp_isa_classes[c]) return c;
  return -1;
}

std::string tly_bbp_isa_refusal(const std::string& isa) {
  if (isa.empty() || tly_bbp_processor_has_isa(tly_bbp_isa_class(isa))) return "";
  return "--isa: this processor lacks the instructions of " + isa;
}

std::string tly_bbp_variant_refusal(const std::string& name, uint64_t largest, const std::string& isa) {
  const std::string need = "the run's powers reach the modulus " + std::to_string(largest);
  if (name.empty()) {
    for (int i = 0; i < tly_bbp_variant_count; ++i)
      if (tly_bbp_variants[i].supported() && covers(tly_bbp_variants[i], largest)) return "";
    return "--place: " + need + ", beyond every variant this processor supports (see --list-variants)";
  }
  const tly_bbp_variant* v = named(name);
  if (!v) return "--variant: " + tly_bbp_shown_value(name) + " is no variant of this program (see --list-variants)";
  if (!v->supported()) return "--variant: " + name + " is not supported by this processor";
  // A variant of a lower class is one such a processor runs too.
  if (!isa.empty() && tly_bbp_variant_isa(v) > tly_bbp_isa_class(isa))
    return "--variant: " + name + " needs " + tly_bbp_isa_classes[tly_bbp_variant_isa(v)] + ", beyond --isa " + isa;
  if (!covers(*v, largest)) return "--variant: " + name + " handles " + moduli_text(*v) + ", but " + need;
  return "";
}

int32_t tly_bbp_device_arithmetic(const std::string& name) {
  const std::vector<device_arithmetic> list = device_arithmetics();
  for (size_t i = 0; i < list.size(); ++i)
    if (name == list[i].name) return int32_t(i);
  return -1;
}

std::string tly_bbp_split_variant(std::string text, std::string* variant, std::string* device_arithmetic) {
  variant->clear();
  device_arithmetic->clear();
  if (text.empty()) return "";
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    std::string* kind = tly_bbp_device_arithmetic(name) >= 0 ? device_arithmetic : variant;
    if (name.empty()) return "--variant: an empty name in " + tly_bbp_shown_value(text);
    if (kind == variant && !named(name) && comma != std::string::npos)
      return "--variant: " + tly_bbp_shown_value(name) + " is no variant of this program (see --list-variants)";
    if (!kind->empty())
      return "--variant: " + tly_bbp_shown_value(text) + " names two " +
             (kind == variant ? "processor variants" : "device arithmetics") +
             "; name one of each at most, such as " + tly_bbp_variants[0].name + ",montgomery64";
    *kind = name;
    if (comma == std::string::npos) return "";
    start = comma + 1;
  }
}

std::string tly_bbp_device_arithmetic_refusal(const std::string& name, int32_t choice, uint64_t place, uint64_t digits) {
  const int32_t arithmetic = tly_bbp_device_arithmetic(name);
  if (arithmetic < 0) return "";
  const uint64_t below = device_arithmetics()[size_t(arithmetic)].moduli_below;
  // A device computes every term of a series, the plain fractions after the powers too.
  uint64_t largest = 0;
  for (const tly_bbp_run_formula& f : tly_bbp_run_formulas(choice, place, digits))
    for (int i = 0; i < f.count; ++i)
      largest = std::max(largest, uint64_t{f.series[i].multiplier} * (f.term_count - 1) + f.series[i].offset);
  if (below == 0 || largest < below) return "";
  return "--variant: " + name + " handles " + range_text(below) + ", but the run's terms reach the modulus " +
         std::to_string(largest) + " (montgomery64 takes every modulus)";
}

std::vector<tly_bbp_tier> tly_bbp_run_tiers(const tly_bbp_variant_policy& policy, uint64_t largest) {
  // The kernel picks a pass's variant by its largest modulus: the choice changes only where
  // some variant's range ends.
  std::vector<tly_bbp_tier> tiers;
  const tly_bbp_variant* previous = tly_bbp_variant_for(policy, 1);
  for (uint64_t bound : tly_bbp_moduli_bounds(policy)) {
    if (bound > largest) break;
    const tly_bbp_variant* v = tly_bbp_variant_for(policy, bound);
    if (v != previous) tiers.push_back({v->name, bound});
    previous = v;
  }
  return tiers;
}

uint64_t tly_bbp_exact_tiers_from(const tly_bbp_variant_policy& policy, uint64_t largest) {
  const std::vector<tly_bbp_tier> tiers = tly_bbp_run_tiers(policy, largest);
  return tiers.empty() ? 0 : tiers[0].moduli_from;
}

std::string tly_bbp_variant_used(const tly_bbp_variant_policy& policy, uint64_t largest) {
  std::string text = tly_bbp_active_variant(policy)->name;
  for (const tly_bbp_tier& t : tly_bbp_run_tiers(policy, largest)) text += ", " + t.variant + " for moduli from " + bound_text(t.moduli_from);
  return text;
}
