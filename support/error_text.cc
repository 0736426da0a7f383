// SPDX-License-Identifier: BSD-2-Clause
#include "support/error_text.h"

#include <stdio.h>
#include <string.h>

namespace {

// "undocumented error #" (20) + the widest int (11) + NUL. One per thread, so that threads
// formatting fallback texts at once do not overwrite each other's. Initial-exec: the buffer lies
// in the thread's static block, reached without a call that could allocate (a vfork child
// formats into it too), even when this code is built into a shared object.
thread_local char error_text_buffer[32] __attribute__((tls_model("initial-exec")));

}  // namespace

extern "C" const char *error_text(int errnum) {
  const char *text = strerror(errnum);
  if (text != nullptr) return text;
  sprintf(error_text_buffer, "undocumented error #%d", errnum);
  return error_text_buffer;
}
