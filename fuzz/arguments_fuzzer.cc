// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: the wrapper's argument scan ("-B" removal) and ar's dash rule.
//
// The input is lines, one argument each, the first being the program name (no input: an empty
// vector). Each argument is a heap block of its exact size, so a read past one is caught.
// What must hold after wrapper_take_prefix_option:
// - only the first element after the program name that begins with "-B" is handled: none gives
//   no prefix and the vector unchanged; -Bdir removes one element; "-B dir" removes two; a last
//   "-B" is a usage error and removes only itself;
// - every other element stays, in order, the null end follows, and nothing past it is touched;
// - the directory is the text after "-B", or the next element, with a "/" added in a new string
//   when it has two or more characters and does not end in one, and is the element's own text
//   otherwise.
// And after wrapper_apply_dash_rule: a first argument that begins with neither "-" nor "@" is
// replaced by a new string "-" + it; nothing else changes.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "wrapper/arguments.h"
#include "input_lines.h"

namespace {

std::string shown(const std::vector<std::string> &arguments) {
  std::string text = "{";
  for (const std::string &argument : arguments) text += " \"" + argument + "\"";
  return text + " }";
}

[[noreturn]] void fail(const char *what, const std::vector<std::string> &arguments) {
  fprintf(stderr, "check failed: argument scan: %s, for the arguments %s\n", what,
          shown(arguments).c_str());
  abort();
}

void check(bool holds, const char *what, const std::vector<std::string> &arguments) {
  if (!holds) fail(what, arguments);
}

// Marks the slot after the null end; the scan must never write there.
char guard_text[] = "guard";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<std::string> arguments = lines(data, size);
  const int count = static_cast<int>(arguments.size());

  std::vector<char *> vector;
  for (const std::string &argument : arguments) {
    char *copy = static_cast<char *>(malloc(argument.size() + 1));
    memcpy(copy, argument.c_str(), argument.size() + 1);
    vector.push_back(copy);
  }
  const std::vector<char *> original = vector;
  vector.push_back(nullptr);
  vector.push_back(guard_text);

  // Where the first -B stands, and what should be left.
  int found = 0;
  for (int i = 1; i < count && found == 0; ++i)
    if (arguments[i][0] == '-' && arguments[i][1] == 'B') found = i;
  std::vector<char *> left = original;
  wrapper_prefix_result wanted = WRAPPER_NO_PREFIX;
  const char *wanted_text = nullptr;
  if (found != 0 && arguments[found].size() > 2) {
    wanted = WRAPPER_PREFIX_FOUND;
    wanted_text = original[found] + 2;
    left.erase(left.begin() + found);
  } else if (found != 0 && found + 1 < count) {
    wanted = WRAPPER_PREFIX_FOUND;
    wanted_text = original[found + 1];
    left.erase(left.begin() + found, left.begin() + found + 2);
  } else if (found != 0) {
    wanted = WRAPPER_PREFIX_MISSING;
    left.erase(left.begin() + found);
  }

  int argc = count;
  const char *directory = nullptr;
  const wrapper_prefix_result result = wrapper_take_prefix_option(&argc, vector.data(), &directory);
  check(result == wanted, "the wrong outcome", arguments);
  check(argc == static_cast<int>(left.size()), "the count is off", arguments);
  for (int i = 0; i < argc; ++i)
    check(vector[static_cast<size_t>(i)] == left[static_cast<size_t>(i)],
          "an element other than the option changed or moved wrongly", arguments);
  check(vector[static_cast<size_t>(argc)] == nullptr, "the null end did not follow", arguments);
  check(vector[static_cast<size_t>(count) + 1] == guard_text, "written past the null end",
        arguments);

  char *made_directory = nullptr;
  if (wanted == WRAPPER_PREFIX_FOUND) {
    const size_t length = strlen(wanted_text);
    if (length >= 2 && wanted_text[length - 1] != '/') {
      check(directory != wanted_text, "no new string with the added \"/\"", arguments);
      check(std::string(directory) == std::string(wanted_text) + "/", "the wrong directory",
            arguments);
      made_directory = const_cast<char *>(directory);
    } else {
      check(directory == wanted_text, "the directory is not the argument's own text", arguments);
    }
  } else {
    check(directory == nullptr, "a directory without a \"-B\"", arguments);
  }

  const std::vector<char *> before_rule(vector.begin(), vector.begin() + argc + 1);
  wrapper_apply_dash_rule(argc, vector.data());
  char *made_first = nullptr;
  for (int i = 0; i <= argc; ++i) {
    const size_t at = static_cast<size_t>(i);
    if (i == 1 && argc > 1 && before_rule[1][0] != '-' && before_rule[1][0] != '@') {
      check(vector[1] != before_rule[1], "the dash rule made no new string", arguments);
      check(std::string(vector[1]) == "-" + std::string(before_rule[1]),
            "the dash rule gave the wrong text", arguments);
      made_first = vector[1];
    } else {
      check(vector[at] == before_rule[at], "the dash rule changed another element", arguments);
    }
  }
  check(vector[static_cast<size_t>(count) + 1] == guard_text, "the dash rule wrote past the end",
        arguments);

  free(made_first);
  free(made_directory);
  for (char *copy : original) free(copy);
  return 0;
}
