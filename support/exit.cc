// SPDX-License-Identifier: BSD-2-Clause
#include "support/exit.h"

#include <stdlib.h>

extern "C" {

exit_cleanup_fn exit_cleanup_hook = nullptr;

void exit_program(int status) {
  if (exit_cleanup_hook != nullptr) exit_cleanup_hook(status);
  exit(status);
}

}  // extern "C"
