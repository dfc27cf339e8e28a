// The command line: options parsed with CLI11, and the exact forms a place may be written in.
#include "command_line.h"

#include <CLI/CLI.hpp>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../engine/engine.h"
#include "../engine/pblock.h"
#include "standard_output.h"
#include "../formulas/run_values.h"
#include "batch.h"
#include "../formulas/run_plan.h"
#include "device_list.h"
#include "variant_choice.h"
#include "device_workers.h"

namespace {

const char* const formula_names[] = {"plouffe", "bellard", "both"};

// An unsigned number from the front of `text`, advancing `at`; false on no digit. A value
// beyond 64 bits sets `huge` and is read to its end, so that the form can still be checked.
bool take_number(const std::string& text, size_t* at, unsigned __int128* value, int* digits, bool* huge) {
  *value = 0;
  *digits = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    *value = *value * 10 + unsigned(text[*at] - '0');
    if (*value > UINT64_MAX) {
      *huge = true;
      *value = 0;
    }
    ++*at;
    ++*digits;
  }
  return *digits > 0;
}

// value * base^exponent; `huge` once it exceeds 64 bits.
void scale(unsigned __int128* value, uint64_t base, uint64_t exponent, bool* huge) {
  for (uint64_t i = 0; i < exponent && *value; ++i) {
    *value *= base;
    if (*value > UINT64_MAX) {
      *huge = true;
      return;
    }
  }
}

enum class place_form { whole, huge, malformed };

place_form parse_whole(const std::string& text, uint64_t* place) {
  size_t at = 0;
  unsigned __int128 value, fraction = 0, exponent = 0, offset = 0;
  int digits, fraction_digits = 0;
  bool huge = false, huge_offset = false;
  if (!take_number(text, &at, &value, &digits, &huge)) return place_form::malformed;
  if (at < text.size() && text[at] == '.') {
    ++at;
    bool long_fraction = false;
    if (!take_number(text, &at, &fraction, &fraction_digits, &long_fraction) || long_fraction)
      return place_form::malformed;
    if (at == text.size() || (text[at] != 'e' && text[at] != 'E')) return place_form::malformed;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E' || text[at] == '^')) {
    const bool power = text[at++] == '^';
    bool long_exponent = false;
    if (!take_number(text, &at, &exponent, &digits, &long_exponent)) return place_form::malformed;
    // A base or an exponent of 0 (0^5, 2^0, 1e0) is no form anyone writes a place in.
    if ((!long_exponent && exponent == 0) || (power && value == 0 && !huge)) return place_form::malformed;
    if (long_exponent || exponent > 64) {
      // Beyond 64 bits, unless it is 0 or 1 written with a long exponent.
      const bool small = !huge && fraction == 0 && (value == 0 || (power && value == 1));
      huge = !small;
      exponent = power ? 1 : 0;
      fraction_digits = 0;
    }
    if (power) {
      const unsigned __int128 base = value;
      value = 1;
      scale(&value, uint64_t(base), uint64_t(exponent), &huge);
    } else {
      // m.f·10^e is whole only when e covers the fraction's digits.
      while (fraction_digits > int(exponent) && fraction % 10 == 0) {
        fraction /= 10;
        --fraction_digits;
      }
      if (int(exponent) < fraction_digits) return place_form::malformed;
      unsigned __int128 f = fraction;
      scale(&value, 10, uint64_t(exponent), &huge);
      scale(&f, 10, uint64_t(exponent) - fraction_digits, &huge);
      value += f;
    }
  }
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const bool minus = text[at++] == '-';
    if (!take_number(text, &at, &offset, &digits, &huge_offset)) return place_form::malformed;
    if (minus && !huge && (huge_offset || offset > value)) return place_form::malformed;  // below zero
    huge = huge || huge_offset;
    value = minus ? value - offset : value + offset;
  }
  if (at != text.size()) return place_form::malformed;
  if (huge || value > UINT64_MAX) return place_form::huge;
  *place = uint64_t(value);
  return place_form::whole;
}

// The classes --isa takes on this processor's architecture, as a list for a message.
std::string isa_names() {
  std::string names;
  for (int c = 0; c < tly_bbp_isa_class_count; ++c) names += (c ? ", " : "") + std::string(tly_bbp_isa_classes[c]);
  return names;
}

// "8", or "2^61 − 1 (2,305,843,009,213,693,951)": a limit as people read it.
std::string limit_text(uint64_t limit) {
  const std::string exact = tly_bbp_thousands(limit);
  if (limit < 1024 || !std::has_single_bit(limit + 1)) return exact;
  return "2^" + std::to_string(std::countr_zero(limit + 1)) + " − 1 (" + exact + ")";
}

// A plain decimal whole number within [low, high]: leading zeros are decimal, and no sign,
// base prefix, exponent or space is read.
bool read_whole(const char* option, const std::string& text, uint64_t low, uint64_t high, uint64_t* value,
                std::string* error) {
  const std::string range = std::to_string(low) + " to " + std::to_string(high);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    *error = std::string(option) + ": " + tly_bbp_shown_value(text) + " is not a whole number (" + range + ")";
    return false;
  }
  const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  *value = text.size() - first > 19 ? UINT64_MAX : std::stoull(text.substr(first));
  if (*value >= low && *value <= high) return true;
  *error = std::string(option) + ": " + tly_bbp_shown_value(text) + " is outside " + range;
  return false;
}

constexpr double fewest_minutes = 0.0001, most_minutes = 1000000;

// Minutes written as a plain decimal number: 10, 0.5, .25 (no exponent, nan or inf).
bool read_minutes(const std::string& text, double* minutes, std::string* error) {
  const size_t point = text.find('.');
  const std::string whole = text.substr(0, point), fraction = point == std::string::npos ? "" : text.substr(point + 1);
  const bool plain = whole.find_first_not_of("0123456789") == std::string::npos &&
                     fraction.find_first_not_of("0123456789") == std::string::npos &&
                     whole.size() + fraction.size() > 0;
  if (!plain) {
    *error = "--checkpoint-every: " + tly_bbp_shown_value(text) + " is not a plain decimal number of minutes (like 10 or 0.5)";
    return false;
  }
  *minutes = std::strtod(text.c_str(), nullptr);
  if (*minutes >= fewest_minutes && *minutes <= most_minutes) return true;
  *error = "--checkpoint-every: " + tly_bbp_shown_value(text) + " is outside 0.0001 to 1,000,000 minutes";
  return false;
}

const char* const formula_words[] = {"the Plouffe formula", "the Bellard formula", "both formulas"};

// Why `place` lies outside the formula choice's limits, or "" when it does not.
std::string place_refusal(const std::string& text, uint64_t place, int32_t choice) {
  // Both formulas: the places both accept.
  const tly_bbp_place_limit& a = tly_bbp_command_line_place_limits[choice == 0 ? 0 : 1];
  const tly_bbp_place_limit& b = tly_bbp_command_line_place_limits[choice == 1 ? 1 : 0];
  const uint64_t low = std::max(a.low, b.low), high = std::min(a.high, b.high);
  const std::string who = choice == 2 ? "the largest place both formulas reach, "
                                      : std::string("the largest place of ") + formula_words[choice] + ", ";
  if (place > high) return "--place: " + tly_bbp_shown_value(text) + " is beyond " + who + limit_text(high);
  if (place >= low) return "";
  std::string refusal = "--place: " + tly_bbp_shown_value(text) + " is below the first place of " + formula_words[choice] + ", " +
                        limit_text(low);
  if (choice == 1 && place >= tly_bbp_command_line_place_limits[0].low)
    refusal += " (the Plouffe formula starts at " + limit_text(tly_bbp_command_line_place_limits[0].low) +
               ": --formula plouffe)";
  return refusal;
}

const char* const value_options[] = {"--place",           "--formula", "--digits", "--threads", "--checkpoint",
                                     "--checkpoint-every", "--variant", "--isa",     "--devices"};
const char* const flag_options[] = {"--list-variants", "--list-devices", "--estimate", "--json",
                                    "--quiet",         "-h",             "--help",     "--version"};

bool is_one_of(const std::string& name, const auto& names) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// The shape of the arguments, checked before CLI11 sees them, so that every fault is told in
// this program's words: an unknown option, one given twice, a value missing or unexpected.
// Values go to CLI11 as --name=value, so that one that begins with "-" stays a value.
std::string shape_refusal(int argc, char** argv, std::vector<std::string>* normalised) {
  std::vector<std::string> seen;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::string name = argument.substr(0, argument.find('='));
    if (argument == "--" || argument.empty() || argument[0] != '-')
      return "unexpected argument " + tly_bbp_shown_value(argument) + ", not an option";
    const bool value_option = is_one_of(name, value_options);
    if (!value_option && !is_one_of(name, flag_options))
      return "unknown option " + (name.size() <= 40 ? name : name.substr(0, 40) + "…");
    const std::string canonical = name == "-h" ? "--help" : name;
    if (std::find(seen.begin(), seen.end(), canonical) != seen.end()) return canonical + " given twice";
    seen.push_back(canonical);
    if (!value_option) {
      if (name != argument) return name + " takes no value";
      normalised->push_back(argument);
      continue;
    }
    std::string value;
    if (name != argument) {
      value = argument.substr(name.size() + 1);
    } else {
      // An option in the place of the value means the value was left out.
      const std::string next = i + 1 < argc ? argv[i + 1] : "--";
      const std::string next_name = next.substr(0, next.find('='));
      if (next == "--" || is_one_of(next_name, value_options) || is_one_of(next_name, flag_options))
        return name + " needs a value";
      value = argv[++i];
    }
    if (value.empty()) return name + ": the value is empty";
    normalised->push_back(name + "=" + value);
  }
  return "";
}

// The help: one option a line, within 80 columns, each with its limits and forms.
const char help_text[] =
    "Usage: tallyspire-bbp --place N [--formula NAME] [--digits D] [--threads T]\n"
    "                      [--devices LIST]\n"
    "                      [--variant NAME] [--isa CLASS] [--estimate]\n"
    "                      [--checkpoint FILE] [--checkpoint-every MINUTES]\n"
    "                      [--json] [--quiet]\n"
    "       tallyspire-bbp --list-variants [--isa CLASS] [--json]\n"
    "       tallyspire-bbp --list-devices [--json]\n"
    "       tallyspire-bbp --help | --version\n"
    "\n"
    "Tallyspire BBP: binary and hexadecimal digits of pi at any hexadecimal place.\n"
    "Without arguments the program asks for formula, place and digits at the console.\n"
    "\n"
    "Options:\n"
    "  --place N             first hexadecimal place after the point: a whole number\n"
    "                        written 1000001, 1e14, 2.5e14, 10^14 or 2^48, each\n"
    "                        optionally followed by +K or -K (1e10+1); 1 to 2^60 − 1\n"
    "                        with plouffe, 8 to 2^61 − 1 with bellard, 8 to 2^60 − 1\n"
    "                        with both\n"
    "  --formula NAME        bellard (the faster, default), plouffe, or both to check\n"
    "                        one against the other\n"
    "  --digits D            hexadecimal digits to show: 8 to 1024 (default 32)\n"
    "  --threads T           threads to compute with: 1 to 1024 (default: one per\n"
    "                        processor)\n"
    "  --devices LIST        what computes: cpu (the processor threads), gpu (every\n"
    "                        GPU found), all, or a comma-separated list of cpu, gpu\n"
    "                        and devices such as opencl:0:0 (see --list-devices);\n"
    "                        default: every GPU found and the processor threads\n"
    "  --variant NAME        compute with this vector variant instead of the fastest\n"
    "                        (see --list-variants); or force a device arithmetic,\n"
    "                        fp64-exact or montgomery64, on every device; or one of\n"
    "                        each, comma-separated\n"
    "  --isa CLASS           choose only among the variants a processor of this\n"
    "                        class runs: sse4.1, avx2, avx512 (F/DQ without IFMA)\n"
    "                        or avx512ifma\n"
    "  --estimate            time a sample at the place on each worker and print how\n"
    "                        long the run would take, without running it\n"
    "  --checkpoint FILE     save the run's state in FILE and resume from it\n"
    "  --checkpoint-every MINUTES\n"
    "                        minutes between saves: 0.0001 to 1000000 (default 10)\n"
    "  --json                print one JSON object (with --list-variants: an array)\n"
    "  --quiet               no progress on standard error\n"
    "  --list-variants       list the vector variants, the moduli each handles and\n"
    "                        whether this processor has it; then the device\n"
    "                        arithmetics\n"
    "  --list-devices        list the GPUs that OpenCL and CUDA reach: memory,\n"
    "                        compute units, FP64 rate, the arithmetic each would use\n"
    "  -h, --help            print this help\n"
    "  --version             print the version\n"
    "\n"
    "D and T are plain decimal whole numbers (leading zeros are decimal), MINUTES a\n"
    "plain decimal number such as 10 or 0.5.\n"
    "\n"
    "Exit codes: 0 done (with both formulas: they agree), 1 fatal error (among them\n"
    "a checkpoint that cannot be written during the run), 2 bad arguments, or a\n"
    "checkpoint refused or not writable at the start, 3 the formulas disagree,\n"
    "129/130/143 interrupted by SIGHUP/SIGINT/SIGTERM with the state saved.\n";

}  // namespace

std::string tly_bbp_shown_value(const std::string& text) {
  constexpr size_t longest = 40;
  return "\"" + (text.size() <= longest ? text : text.substr(0, longest) + "…") + "\"";
}

bool tly_bbp_parse_place(const std::string& text, uint64_t* place, std::string* error) {
  const place_form form = parse_whole(text, place);
  if (form == place_form::huge) *place = UINT64_MAX;
  if (form != place_form::malformed) return true;
  *error = "--place: " + tly_bbp_shown_value(text) + " is not a whole number (write it like 1000001, 1e14, 10^14, 2^48 or 1e10+1)";
  return false;
}

int tly_bbp_parse_command_line(int argc, char** argv, tly_bbp_options* o) {
  *o = {1, 0, 32, 0, {}, 10, false, false, {}, {}, false, {}, {}};
  std::vector<std::string> normalised;
  if (const std::string refusal = shape_refusal(argc, argv, &normalised); !refusal.empty()) {
    std::fprintf(stderr, "tallyspire-bbp: %s (see --help)\n", refusal.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  bool list_variants = false, list_devices = false;
  std::string place_text, formula = "bellard", digits_text, threads_text, minutes_text;
  CLI::App app{"", "tallyspire-bbp"};
  // Values are read as text and checked here: CLI11 would read 011 as octal and 0x10 as hexadecimal.
  CLI::Option* place = app.add_option("--place", place_text);
  CLI::Option* formula_option = app.add_option("--formula", formula);
  CLI::Option* digits = app.add_option("--digits", digits_text);
  CLI::Option* threads = app.add_option("--threads", threads_text);
  CLI::Option* checkpoint = app.add_option("--checkpoint", o->checkpoint);
  CLI::Option* minutes = app.add_option("--checkpoint-every", minutes_text);
  CLI::Option* variant = app.add_option("--variant", o->variant);
  app.add_option("--isa", o->isa);
  CLI::Option* devices = app.add_option("--devices", o->devices);
  app.add_flag("--list-variants", list_variants);
  app.add_flag("--list-devices", list_devices);
  CLI::Option* estimate = app.add_flag("--estimate", o->estimate);
  app.add_flag("--json", o->json);
  CLI::Option* quiet = app.add_flag("--quiet", o->quiet);
  app.set_version_flag("--version", std::string("tallyspire-bbp ") + tly_bbp_version + " (Build 119)");
  std::vector<char*> arguments{argv[0]};
  for (std::string& argument : normalised) arguments.push_back(argument.data());
  try {
    app.parse(int(arguments.size()), arguments.data());
  } catch (const CLI::CallForHelp&) {
    std::fputs(help_text, stdout);
    tly_bbp_flush_output();
    return tly_bbp_exit_done;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    tly_bbp_flush_output();
    return tly_bbp_exit_done;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "tallyspire-bbp: %s (see --help)\n", e.what());
    return tly_bbp_exit_bad_arguments;
  }
  std::string error;
  // A list is all --list-variants or --list-devices does: what would shape a run has no use there.
  const char* const list = list_variants ? "--list-variants" : "--list-devices";
  if (list_variants && list_devices) error = "--list-devices does not go with --list-variants";
  for (CLI::Option* option : {place, formula_option, digits, threads, checkpoint, minutes, variant, estimate, quiet, devices})
    if (error.empty() && (list_variants || list_devices) && option->count() > 0)
      error = option->get_name() + " does not go with " + list;
  if (error.empty() && list_devices && !o->isa.empty()) error = "--isa does not go with --list-devices";
  if (error.empty() && minutes->count() > 0 && checkpoint->count() == 0)
    error = "--checkpoint-every needs --checkpoint";
  if (error.empty() && estimate->count() > 0 && checkpoint->count() > 0)
    error = "--estimate does not go with --checkpoint";
  uint64_t value = 0;
  if (error.empty() && digits->count() > 0 && read_whole("--digits", digits_text, 8, 1024, &value, &error))
    o->digits = value;
  if (error.empty() && threads->count() > 0 && read_whole("--threads", threads_text, 1, 1024, &value, &error))
    o->threads = int32_t(value);
  if (error.empty() && minutes->count() > 0) read_minutes(minutes_text, &o->checkpoint_minutes, &error);
  if (tly_bbp_device_choice choice; error.empty() && devices->count() > 0)
    tly_bbp_parse_devices(o->devices, &choice, &error);
  if (error.empty() && std::find(std::begin(formula_names), std::end(formula_names), formula) ==
                           std::end(formula_names))
    error = "--formula: " + tly_bbp_shown_value(formula) + " is none of bellard, plouffe and both";
  if (error.empty() && !o->isa.empty() && tly_bbp_isa_class(o->isa) < 0)
    error = "--isa: " + tly_bbp_shown_value(o->isa) + " is no instruction-set class of this program (" + isa_names() + ")";
  if (!error.empty()) {
    std::fprintf(stderr, "tallyspire-bbp: %s (see --help)\n", error.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  // The lists need no place: printed as text or JSON, and done.
  const auto print_list = [&](const auto& text, const auto& json) {
    if (o->json)
      json(stdout);
    else
      text(stdout);
    tly_bbp_flush_output();
    return tly_bbp_exit_done;
  };
  if (list_variants) {
    // Listed as a processor of that class would choose.
    if (const std::string refusal = tly_bbp_isa_refusal(o->isa); !refusal.empty()) {
      std::fprintf(stderr, "tallyspire-bbp: %s\n", refusal.c_str());
      return tly_bbp_exit_bad_arguments;
    }
    tly_bbp_variant_policy policy = tly_bbp_engine_choice;
    if (!o->isa.empty()) tly_bbp_limit_isa(&policy, tly_bbp_isa_class(o->isa));
    return print_list([&](FILE* out) { tly_bbp_list_variants(out, policy); },
                      [&](FILE* out) { tly_bbp_list_variants_json(out, policy); });
  }
  if (list_devices) return print_list(tly_bbp_list_devices, tly_bbp_list_devices_json);
  for (int32_t i = 0; i < 3; ++i)
    if (formula == formula_names[i]) o->choice = i;
  if (place->count() == 0) {
    std::fprintf(stderr, "tallyspire-bbp: --place N is required (see --help)\n");
    return tly_bbp_exit_bad_arguments;
  }
  if (!tly_bbp_parse_place(place_text, &o->place, &error) ||
      !(error = place_refusal(place_text, o->place, o->choice)).empty()) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", error.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  std::string refusal = tly_bbp_isa_refusal(o->isa);
  if (refusal.empty()) refusal = tly_bbp_split_variant(o->variant, &o->variant, &o->device_arithmetic);
  if (refusal.empty())
    refusal = tly_bbp_variant_refusal(o->variant, tly_bbp_run_largest_modulus(o->choice, o->place, o->digits), o->isa);
  if (refusal.empty())
    refusal = tly_bbp_device_arithmetic_refusal(o->device_arithmetic, o->choice, o->place, o->digits);
  if (!refusal.empty()) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", refusal.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  return -1;
}

int tly_bbp_estimate_main(const tly_bbp_options& o) {
  // The workers a run would have, each timed on its own.
  static const std::atomic<int> never_stopped{0};
  tly_bbp_device_choice devices;
  tly_bbp_device_workers workers;
  if (std::string error;
      !tly_bbp_open_option_workers(o, &never_stopped, &devices, &workers, &error, "left out of the estimate")) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", error.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  const int32_t threads = devices.cpu || workers.workers.empty() ? o.threads : -1;
  tly_bbp_estimate_request request{o.choice, o.place, o.digits, threads, o.policy};
  request.workers = workers.workers.data();
  request.worker_count = int32_t(workers.workers.size());
  const tly_bbp_estimate e = tly_bbp_estimate_run_time(request);
  // Named after the sample: a device's label shows the arithmetics its passes chose.
  std::vector<std::string> names;
  for (size_t k = 0; k < workers.names.size(); ++k) names.push_back(tly_bbp_device_label(workers, k));
  if (names.empty()) names.push_back("cpu");
  if (threads < 0) names.pop_back();
  tly_bbp_close_device_workers(&workers);
  if (e.seconds < 0) {
    std::fputs("tallyspire-bbp: Memory Allocation Failure\n", stderr);
    return tly_bbp_exit_fatal;
  }
  if (e.seconds == 0 && threads < 0) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", tly_bbp_status_message(tly_bbp_status_worker_failed));
    return tly_bbp_exit_fatal;
  }
  if (o.json)
    tly_bbp_print_estimate_json(o, e, names);
  else
    tly_bbp_print_estimate_text(o, e, names);
  tly_bbp_flush_output();
  return tly_bbp_exit_done;
}

int tly_bbp_command_line_main(int argc, char** argv, const tly_bbp_process& process) {
  tly_bbp_options options;
  const int code = tly_bbp_parse_command_line(argc, argv, &options);
  if (code >= 0) return code;
  options.policy = tly_bbp_engine_choice;
  if (!options.isa.empty()) tly_bbp_limit_isa(&options.policy, tly_bbp_isa_class(options.isa));
  if (!options.variant.empty()) tly_bbp_use_variant(&options.policy, options.variant.c_str());
  // The team's threads beside this one, and the run's monitor.
  const int32_t team = std::min(options.threads > 0 ? options.threads : omp_get_num_procs(), omp_get_thread_limit());
  if (std::string error; !tly_bbp_threads_start(team, &error)) {
    std::fprintf(stderr, "tallyspire-bbp: cannot start %d thread%s: %s\n", team, team == 1 ? "" : "s", error.c_str());
    return tly_bbp_exit_fatal;
  }
  return options.estimate ? tly_bbp_estimate_main(options) : tly_bbp_batch_run(options, process);
}
