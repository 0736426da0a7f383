// SPDX-License-Identifier: BSD-2-Clause
#include "support/join.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "support/alloc.h"

extern "C" {
char *join_strings_buffer = nullptr;
}

namespace {

// First pass over a list: the sum of the lengths.
size_t measure(const char *first, va_list args) {
  size_t length = 0;
  for (const char *part = first; part != nullptr; part = va_arg(args, const char *))
    length += strlen(part);
  return length;
}

// Second pass: the bytes of each string, then one NUL.
char *copy_into(char *destination, const char *first, va_list args) {
  char *end = destination;
  for (const char *part = first; part != nullptr; part = va_arg(args, const char *)) {
    const size_t length = strlen(part);
    memcpy(end, part, length);
    end += length;
  }
  *end = '\0';
  return destination;
}

// One allocation of the exact size between the two passes.
char *join_list(const char *first, va_list args) {
  va_list second;
  va_copy(second, args);
  char *joined = static_cast<char *>(must_malloc(measure(first, args) + 1));
  copy_into(joined, first, second);
  va_end(second);
  return joined;
}

}  // namespace

extern "C" {

char *join_strings(const char *first, ...) {
  va_list args;
  va_start(args, first);
  char *joined = join_list(first, args);
  va_end(args);
  return joined;
}

size_t join_strings_length(const char *first, ...) {
  va_list args;
  va_start(args, first);
  const size_t length = measure(first, args);
  va_end(args);
  return length;
}

char *join_strings_into(char *destination, const char *first, ...) {
  va_list args;
  va_start(args, first);
  copy_into(destination, first, args);
  va_end(args);
  return destination;
}

char *join_strings_shared(const char *first, ...) {
  va_list args;
  va_start(args, first);
  copy_into(join_strings_buffer, first, args);
  va_end(args);
  return join_strings_buffer;
}

char *rejoin_strings(char *old_block, const char *first, ...) {
  va_list args;
  va_start(args, first);
  // The old block may be among the strings: free it only once the copy is made.
  char *joined = join_list(first, args);
  va_end(args);
  free(old_block);
  return joined;
}

}  // extern "C"
