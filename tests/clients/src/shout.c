/* SPDX-License-Identifier: BSD-2-Clause */
#include "greet.h"

void shout_text(char *text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = (char)(*text - 'a' + 'A');
  }
}
