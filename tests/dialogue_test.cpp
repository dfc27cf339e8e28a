// Tests of the console dialogue: the limits of every prompt, bad input, end of input, run values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Main/console.h"
#include "engine/engine.h"
#include "run_program.h"

namespace {

// The version line names the vector variant this processor runs.
const std::string banner_and_menu =
    "Tallyspire BBP v1.0.0 Build 119          (https://tallyspire.example/bbp)\n"
    "Hexadecimal digits of pi at any place, on every core.\n"
    "\n"
    "BBP Formula Computation for Digit-Extraction\n"
    "\n"
    "Version: " + std::string(tly_bbp_active_variant()->name) +
    "\n\n"
    "Select a Formula:\n"
    "  0  -  Plouffe\n"
    "  1  -  Bellard\n"
    "\n";

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// What the dialogue prints after the menu when the formula, start and digits prompts were shown
// the given number of times; a count of 0 leaves out that prompt and everything after it, and
// a prompt at which the input ended (`ended`) has no line ends after it.
std::string dialogue_text(int formula, int formula_prompts, int start_prompts, int digits_prompts,
                          bool ended = false) {
  std::string text = repeated("Formula = ", formula_prompts);
  if (start_prompts == 0) return text + (ended ? "" : "\n\n");
  text += "\n\n";
  text += formula == 0 ? "Start from which hexadecimal place? (limit: 2^44 - 1)\n"
                       : "Start from which hexadecimal place? (limit: 2^45 - 1)\n";
  text += repeated("Starting Digit = ", start_prompts);
  if (digits_prompts == 0) return text + (ended ? "" : "\n\n");
  text += "\n\nHow many digits would you like to view? (limit: 1024)\n";
  text += repeated("Digits = ", digits_prompts);
  return text + (ended ? "" : "\n\n");
}

struct Dialogue {
  bool complete;
  int32_t formula;
  uint64_t start, digits;
  std::string printed;  // everything
  std::string text;     // after the menu
};

// The text after the menu, so that the prompts are checked apart from the banner.
std::string after_menu(const std::string& text) {
  const std::string menu_end = "  1  -  Bellard\n\n";
  const size_t at = text.find(menu_end);
  return at == std::string::npos ? "(no menu) " + text : text.substr(at + menu_end.size());
}

Dialogue run_dialogue(const std::string& input) {
  std::istringstream in(input);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  Dialogue d{false, -7, 7, 7, {}, {}};
  d.complete = tly_bbp_dialogue(in, out, &d.formula, &d.start, &d.digits);
  std::fclose(out);
  d.printed.assign(buffer, size);
  d.text = after_menu(d.printed);
  std::free(buffer);
  return d;
}

TEST(Dialogue, BannerAndMenuComeFirst) {
  const std::string printed = run_dialogue("0\n1\n8\n").printed;
  EXPECT_EQ(printed.substr(0, banner_and_menu.size()), banner_and_menu);
}

struct LimitCase {
  const char* answer;
  bool accepted;
};

TEST(Dialogue, FormulaPromptLimits) {
  const LimitCase cases[] = {
      {"-1", false},          {"2", false},          {"0", true},
      {"1", true},            {"-2147483648", false}, {"2147483647", false},
      {"2147483648", false},  {"-2147483649", false}, {"18446744073709551616", false},
  };
  for (const LimitCase& c : cases) {
    const std::string rest = "\n8\n8\n";  // place 8 suits both formulas
    const Dialogue d = run_dialogue(c.accepted ? c.answer + rest : c.answer + ("\n0" + rest));
    ASSERT_TRUE(d.complete) << c.answer;
    const int32_t formula = c.accepted ? std::atoi(c.answer) : 0;
    EXPECT_EQ(d.formula, formula) << c.answer;
    EXPECT_EQ(d.text, dialogue_text(formula, c.accepted ? 1 : 2, 1, 1)) << c.answer;
  }
}

struct StartCase {
  int formula;
  const char* answer;
  bool accepted;
};

TEST(Dialogue, StartPromptLimitsOfEachFormula) {
  const StartCase cases[] = {
      {0, "0", false},
      {0, "1", true},
      {0, "17592186044415", true},
      {0, "17592186044416", false},
      {0, "-5", false},
      {0, "-1", false},
      {0, "18446744073709551615", false},
      {0, "18446744073709551616", false},
      {1, "0", false},
      {1, "1", false},
      {1, "2", false},
      {1, "3", false},
      {1, "4", false},
      {1, "5", false},
      {1, "6", false},
      {1, "7", false},
      {1, "8", true},
      {1, "35184372088831", true},
      {1, "35184372088832", false},
      {1, "-5", false},
      {1, "18446744073709551616", false},
  };
  for (const StartCase& c : cases) {
    const std::string head = std::to_string(c.formula) + "\n" + c.answer + "\n";
    const Dialogue d = run_dialogue(c.accepted ? head + "8\n" : head + "9\n8\n");
    const std::string what = std::to_string(c.formula) + " / " + c.answer;
    ASSERT_TRUE(d.complete) << what;
    EXPECT_EQ(d.formula, c.formula) << what;
    EXPECT_EQ(d.start, c.accepted ? std::stoull(c.answer) : 9u) << what;
    EXPECT_EQ(d.text, dialogue_text(c.formula, 1, c.accepted ? 1 : 2, 1)) << what;
  }
}

TEST(Dialogue, DigitsPromptLimits) {
  const LimitCase cases[] = {
      {"7", false},  {"8", true},  {"1024", true}, {"1025", false},
      {"0", false},  {"-5", false}, {"-1", false},  {"18446744073709551616", false},
  };
  for (const LimitCase& c : cases) {
    const std::string head = std::string("0\n1\n") + c.answer + "\n";
    const Dialogue d = run_dialogue(c.accepted ? head : head + "16\n");
    ASSERT_TRUE(d.complete) << c.answer;
    EXPECT_EQ(d.digits, c.accepted ? std::stoull(c.answer) : 16u) << c.answer;
    EXPECT_EQ(d.text, dialogue_text(0, 1, 1, c.accepted ? 1 : 2)) << c.answer;
  }
}

struct InputCase {
  const char* input;
  int32_t formula;
  uint64_t start, digits;
  int formula_prompts, start_prompts, digits_prompts;
};

// Text that is no number, or a number too large for its type, repeats the prompt and is
// dropped with the rest of its line; answers that share a line are taken one by one.
TEST(Dialogue, GarbageAndSharedLines) {
  const InputCase cases[] = {
      {"abc\n0\n1\n8\n", 0, 1, 8, 2, 1, 1},
      {"abc 1\n0\n1\n8\n", 0, 1, 8, 2, 1, 1},
      {"5abc 1\n0\n1\n8\n", 0, 1, 8, 3, 1, 1},
      {"2147483648 1\n0\n1\n8\n", 0, 1, 8, 2, 1, 1},
      {"0\nxyz 5\n3\n8\n", 0, 3, 8, 1, 2, 1},
      {"1\n18446744073709551616 9\n10\n8\n", 1, 10, 8, 1, 2, 1},
      {"0\n1\n!! 9\n10\n", 0, 1, 10, 1, 1, 2},
      {"0\n1\n99999999999999999999 12\n11\n", 0, 1, 11, 1, 1, 2},
      {"0 1 8", 0, 1, 8, 1, 1, 1},
      {"1 8 9\n", 1, 8, 9, 1, 1, 1},
      {"2 0 0 1 7 8\n", 0, 1, 8, 2, 2, 2},
      {"  \n\t1\n\n 8 \n 1024", 1, 8, 1024, 1, 1, 1},
  };
  for (const InputCase& c : cases) {
    const Dialogue d = run_dialogue(c.input);
    ASSERT_TRUE(d.complete) << c.input;
    EXPECT_EQ(d.formula, c.formula) << c.input;
    EXPECT_EQ(d.start, c.start) << c.input;
    EXPECT_EQ(d.digits, c.digits) << c.input;
    EXPECT_EQ(d.text, dialogue_text(c.formula, c.formula_prompts, c.start_prompts, c.digits_prompts)) << c.input;
  }
}

struct EndCase {
  const char* input;
  int formula_prompts, start_prompts, digits_prompts;
};

// Input that ends before an answer was accepted, at every prompt, after text or after a
// rejected value.
const EndCase input_endings[] = {
    {"", 1, 0, 0},           {"2\n", 2, 0, 0},       {"abc", 2, 0, 0},
    {"0\n", 1, 1, 0},        {"0\n0\n", 1, 2, 0},    {"1\n7 \n", 1, 2, 0},
    {"0\n1\n", 1, 1, 1},     {"0\n1\n1025", 1, 1, 2}, {"0\n1\nxyz\n", 1, 1, 2},
};

TEST(Dialogue, EndOfInputAtEachPrompt) {
  for (const EndCase& c : input_endings) {
    const Dialogue d = run_dialogue(c.input);
    EXPECT_FALSE(d.complete) << c.input;
    EXPECT_EQ(d.text, dialogue_text(c.input[0] == '1' ? 1 : 0, c.formula_prompts, c.start_prompts,
                                    c.digits_prompts, true))
        << c.input;
  }
}

struct RunCase {
  uint64_t start, digits;
  uint64_t words, position, block_hint;
};

TEST(Dialogue, RunValuesAtTheLimits) {
  const RunCase cases[] = {
      {1, 8, 4, 0, 0},
      {1, 9, 5, 0, 0},
      {1, 16, 5, 0, 0},
      {1, 17, 6, 0, 0},
      {1, 1016, 130, 0, 0},
      {1, 1017, 131, 0, 0},
      {1, 1024, 131, 0, 0},
      {8, 8, 4, 28, 0},
      {31, 8, 4, 120, 0},
      {32, 8, 4, 124, 1},
      {100, 64, 11, 396, 3},
      {34359738367, 8, 4, 137438953464, 1073741823},
      {34359738368, 8, 4, 137438953468, 1073741824},
      {34359738400, 8, 4, 137438953596, 1073741824},
      {17592186044415, 1024, 131, 70368744177656, 1073741824},
      {35184372088831, 1024, 131, 140737488355320, 1073741824},
  };
  for (const RunCase& c : cases) {
    const tly_bbp_run_values v = tly_bbp_derive_run_values(c.start, c.digits);
    EXPECT_EQ(v.words, c.words) << c.start << " " << c.digits;
    EXPECT_EQ(v.position, c.position) << c.start << " " << c.digits;
    EXPECT_EQ(v.block_hint, c.block_hint) << c.start << " " << c.digits;
  }
}

// The same dialogue through the real program: what it prints before the computation, and
// the digits it then shows.
TEST(DialogueProgram, AnswersAfterRejectionsAndGarbage) {
  const InputCase cases[] = {
      {"-1\n2\n0\n0\n17592186044416\n1\n7\n1025\n8\n", 0, 1, 8, 3, 3, 3},
      {"abc 1\n1\n7\n-5\n8\nzz\n9\n", 1, 8, 9, 2, 3, 2},
      {"0 1 8\n", 0, 1, 8, 1, 1, 1},
      {"0\n18446744073709551616\n1\n8", 0, 1, 8, 1, 2, 1},
  };
  for (const InputCase& c : cases) {
    const tly_bbp_program_run run = tly_bbp_run_program(c.input, 30);
    EXPECT_FALSE(run.timed_out) << c.input;
    EXPECT_EQ(run.exit_code, 0) << c.input;
    const std::string dialogue =
        dialogue_text(c.formula, c.formula_prompts, c.start_prompts, c.digits_prompts) + "Terms Needed = ";
    EXPECT_EQ(after_menu(run.output).substr(0, dialogue.size()), dialogue) << c.input;
    EXPECT_EQ(tly_bbp_hex_digits(run.output), std::string("243f6a8885a308d313198a2e").substr(c.start - 1, c.digits))
        << c.input;
  }
}

TEST(DialogueProgram, EndOfInputStopsWithoutComputing) {
  for (const EndCase& c : input_endings) {
    const tly_bbp_program_run run = tly_bbp_run_program(c.input, 30);
    EXPECT_FALSE(run.timed_out) << c.input;
    EXPECT_EQ(run.exit_code, 1) << c.input;
    const std::string dialogue = dialogue_text(c.input[0] == '1' ? 1 : 0, c.formula_prompts, c.start_prompts,
                                               c.digits_prompts, true);
    const std::string text = after_menu(run.output);
    ASSERT_EQ(text.substr(0, dialogue.size()), dialogue) << c.input;
    const std::string message = text.substr(dialogue.size());
    // The message starts on a line of its own and ends its line.
    EXPECT_GT(message.size(), 2u) << c.input;
    EXPECT_EQ(message.front(), '\n') << c.input;
    EXPECT_EQ(message.back(), '\n') << c.input;
    EXPECT_EQ(message.find("Terms Needed"), std::string::npos) << c.input;
    EXPECT_EQ(message.find("Digits = "), std::string::npos) << c.input;
  }
}

}  // namespace
