// The command line: options parsed with CLI11, and the exact forms a place may be written in.
#include "command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "../engine/engine.h"
#include "../engine/pblock.h"
#include "../engine/system.h"
#include "../Main/console.h"
#include "run_plan.h"
#include "variant_choice.h"

namespace {

const char* const formula_names[] = {"plouffe", "bellard", "both"};

// An unsigned number from the front of `text`, advancing `at`; false on no digit or overflow.
bool take_number(const std::string& text, size_t* at, unsigned __int128* value, int* digits) {
  *value = 0;
  *digits = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    *value = *value * 10 + unsigned(text[*at] - '0');
    if (*value > UINT64_MAX) return false;
    ++*at;
    ++*digits;
  }
  return *digits > 0;
}

// value * base^exponent, false once it exceeds 64 bits.
bool scale(unsigned __int128* value, uint64_t base, uint64_t exponent) {
  for (uint64_t i = 0; i < exponent; ++i) {
    *value *= base;
    if (*value > UINT64_MAX) return false;
  }
  return true;
}

bool parse_whole(const std::string& text, uint64_t* place) {
  size_t at = 0;
  unsigned __int128 value, fraction = 0, exponent = 0, offset = 0;
  int digits, fraction_digits = 0;
  if (!take_number(text, &at, &value, &digits)) return false;
  if (at < text.size() && text[at] == '.') {
    ++at;
    if (!take_number(text, &at, &fraction, &fraction_digits)) return false;
    if (at == text.size() || (text[at] != 'e' && text[at] != 'E')) return false;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E' || text[at] == '^')) {
    const bool power = text[at++] == '^';
    if (!take_number(text, &at, &exponent, &digits) || exponent > 64) return false;
    if (power) {
      unsigned __int128 base = value;
      value = 1;
      if (base > UINT64_MAX || !scale(&value, uint64_t(base), uint64_t(exponent))) return false;
    } else {
      // m.f·10^e is whole only when e covers the fraction's digits.
      if (int(exponent) < fraction_digits) {
        while (fraction_digits > int(exponent) && fraction % 10 == 0) {
          fraction /= 10;
          --fraction_digits;
        }
        if (int(exponent) < fraction_digits) return false;
      }
      unsigned __int128 f = fraction;
      if (!scale(&value, 10, uint64_t(exponent)) || !scale(&f, 10, uint64_t(exponent) - fraction_digits)) return false;
      value += f;
    }
  }
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const bool minus = text[at++] == '-';
    if (!take_number(text, &at, &offset, &digits)) return false;
    if (minus && offset > value) return false;
    value = minus ? value - offset : value + offset;
  }
  if (at != text.size() || value > UINT64_MAX) return false;
  *place = uint64_t(value);
  return true;
}

}  // namespace

bool tly_bbp_parse_place(const std::string& text, uint64_t* place, std::string* error) {
  if (parse_whole(text, place)) return true;
  *error =
      "--place: \"" + text + "\" is not a whole number of 64 bits (write it like 1000001, 1e14, 10^14, 2^48 or 1e10+1)";
  return false;
}

int tly_bbp_parse_command_line(int argc, char** argv, tly_bbp_options* o) {
  *o = {1, 0, 32, 0, {}, 10, false, false, {}, {}, false};
  bool list_variants = false;
  std::string place_text, formula = "bellard";
  CLI::App app{
      "Tallyspire BBP: binary and hexadecimal digits of pi at any hexadecimal place.\n"
      "Without arguments the program asks for formula, place and digits at the console.",
      "tallyspire-bbp"};
  app.add_option("--place", place_text, "first hexadecimal place after the point: 1000001, 1e14, 10^14, 2^48, 1e10+1")
      ->type_name("N");
  app.add_option("--formula", formula, "bellard (the faster, default), plouffe, or both to check one against the other")
      ->check(CLI::IsMember({"bellard", "plouffe", "both"}))
      ->type_name("NAME");
  app.add_option("--digits", o->digits, "hexadecimal digits to show, 8 to 1024 (default 32)")
      ->check(CLI::Range(uint64_t{8}, uint64_t{1024}))
      ->type_name("D");
  app.add_option("--threads", o->threads, "threads to compute with, 1 to 1024 (default: one per processor)")
      ->check(CLI::Range(1, 1024))
      ->type_name("T");
  CLI::Option* checkpoint =
      app.add_option("--checkpoint", o->checkpoint, "save the run's state in FILE and resume from it")
          ->type_name("FILE");
  app.add_option("--checkpoint-every", o->checkpoint_minutes, "minutes between saves (default 10; fractions allowed)")
      ->check(CLI::Range(0.0001, 1e6))
      ->needs(checkpoint)
      ->type_name("MINUTES");
  app.add_option("--variant", o->variant, "compute with this vector variant instead of the fastest (see --list-variants)")
      ->type_name("NAME");
  app.add_option("--isa", o->isa, "choose only among the variants a processor of this class runs: sse4.1, avx2, avx512, avx512ifma")
      ->check(CLI::IsMember({"sse4.1", "avx2", "avx512", "avx512ifma"}))
      ->type_name("CLASS");
  app.add_flag("--list-variants", list_variants,
               "list the vector variants, the moduli each handles and whether this processor has it");
  app.add_flag("--estimate", o->estimate,
               "time a sample at the place and print how long the whole run would take, without running it")
      ->excludes(checkpoint);
  app.add_flag("--json", o->json, "print one JSON object instead of the digit blocks");
  app.add_flag("--quiet", o->quiet, "no progress on standard error");
  app.set_version_flag("--version", std::string("tallyspire-bbp ") + tly_bbp_version + " (Build 119)");
  app.footer(
      "Exit codes: 0 done (with both formulas: they agree), 1 fatal error, 2 bad arguments or checkpoint\n"
      "refused, 3 the formulas disagree, 130/143 interrupted by SIGINT/SIGTERM with the state saved.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "tallyspire-bbp: %s (see --help)\n", e.what());
    return tly_bbp_exit_bad_arguments;
  }
  if (list_variants) {
    tly_bbp_list_variants(stdout);
    return tly_bbp_exit_done;
  }
  for (int32_t i = 0; i < 3; ++i)
    if (formula == formula_names[i]) o->choice = i;
  // Checked here, not by CLI11, so that an unknown option is named before a missing place.
  if (place_text.empty() || place_text.rfind("--", 0) == 0) {
    std::fprintf(stderr, "tallyspire-bbp: --place N is required (see --help)\n");
    return tly_bbp_exit_bad_arguments;
  }
  std::string error;
  if (!tly_bbp_parse_place(place_text, &o->place, &error)) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", error.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  // Both formulas: the places both accept.
  const tly_bbp_place_limit& a = tly_bbp_command_line_place_limits[o->choice == 0 ? 0 : 1];
  const tly_bbp_place_limit& b = tly_bbp_command_line_place_limits[o->choice == 1 ? 1 : 0];
  const uint64_t low = a.low > b.low ? a.low : b.low, high = a.high < b.high ? a.high : b.high;
  if (o->place < low || o->place > high) {
    std::fprintf(stderr, "tallyspire-bbp: --place: %llu is outside %llu to %llu for %s\n",
                 static_cast<unsigned long long>(o->place), static_cast<unsigned long long>(low),
                 static_cast<unsigned long long>(high),
                 o->choice == 2   ? "both formulas"
                 : o->choice == 0 ? "the Plouffe formula"
                                  : "the Bellard formula");
    return tly_bbp_exit_bad_arguments;
  }
  std::string refusal = tly_bbp_isa_refusal(o->isa);
  if (refusal.empty())
    refusal = tly_bbp_variant_refusal(o->variant, tly_bbp_run_largest_modulus(o->choice, o->place, o->digits), o->isa);
  if (!refusal.empty()) {
    std::fprintf(stderr, "tallyspire-bbp: %s\n", refusal.c_str());
    return tly_bbp_exit_bad_arguments;
  }
  return -1;
}

int tly_bbp_command_line_main(int argc, char** argv) {
  tly_bbp_fatal_on_stderr = true;
  tly_bbp_options options;
  const int code = tly_bbp_parse_command_line(argc, argv, &options);
  if (code >= 0) return code;
  if (!options.isa.empty()) tly_bbp_limit_isa(tly_bbp_isa_class(options.isa));
  if (!options.variant.empty()) tly_bbp_use_variant(options.variant.c_str());
  return options.estimate ? tly_bbp_estimate_main(options) : tly_bbp_batch_run(options);
}
