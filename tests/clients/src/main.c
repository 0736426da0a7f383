/* SPDX-License-Identifier: BSD-2-Clause */
#include "greet.h"

int main(void) {
  greet_print("archive");
  return 0;
}
