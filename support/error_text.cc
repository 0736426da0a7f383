#include "support/error_text.h"

#include <stdio.h>
#include <string.h>

namespace {

// "undocumented error #" (20) + the widest int (11) + NUL.
char error_text_buffer[32];

}  // namespace

extern "C" const char *error_text(int errnum) {
  const char *text = strerror(errnum);
  if (text != nullptr) return text;
  sprintf(error_text_buffer, "undocumented error #%d", errnum);
  return error_text_buffer;
}
