/* SPDX-License-Identifier: BSD-2-Clause */
#include <stdio.h>

#include "greet.h"

void greet_print(const char *name) {
  char line[64];
  snprintf(line, sizeof line, "hello, %s", name);
  shout_text(line);
  puts(line);
}
