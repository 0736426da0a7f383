// SPDX-License-Identifier: BSD-2-Clause
#include "wrapper/arguments.h"

#include <string.h>

#include "support/join.h"

namespace {

// Takes element `index` out of the vector, moving the later ones and the null end down.
void remove_argument(int *argc, char **argv, int index) {
  memmove(&argv[index], &argv[index + 1], sizeof(char *) * static_cast<size_t>(*argc - index));
  --*argc;
}

}  // namespace

extern "C" {

wrapper_prefix_result wrapper_take_prefix_option(int *argc, char **argv, const char **directory) {
  // The first -B wins wherever it stands; later ones, and "--", are the tool's business.
  for (int i = 1; i < *argc; ++i) {
    if (argv[i][0] != '-' || argv[i][1] != 'B') continue;
    const char *found;
    if (argv[i][2] != '\0') {
      found = argv[i] + 2;
      remove_argument(argc, argv, i);
    } else {
      remove_argument(argc, argv, i);
      if (i >= *argc) return WRAPPER_PREFIX_MISSING;
      found = argv[i];
      remove_argument(argc, argv, i);
    }
    // A lone "." or "/" stays as it is; longer directories get the "/" that lookups glue on.
    const size_t length = strlen(found);
    if (length >= 2 && found[length - 1] != '/') found = join_strings(found, "/", nullptr);
    *directory = found;
    return WRAPPER_PREFIX_FOUND;
  }
  return WRAPPER_NO_PREFIX;
}

void wrapper_apply_dash_rule(int argc, char **argv) {
  // ar's first argument is its operation letters, dash or not; "@file" is a response file that
  // the tool expands itself and must reach it as it is.
  if (argc > 1 && argv[1][0] != '-' && argv[1][0] != '@')
    argv[1] = join_strings("-", argv[1], nullptr);
}

}  // extern "C"
