// SPDX-License-Identifier: BSD-2-Clause
#include "support/alloc.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "support/exit.h"

extern char **environ;

namespace {

const char *report_program_name = "";
// Program break at the first set_error_program_name; null until then.
void *initial_break = nullptr;

}  // namespace

extern "C" {

void set_error_program_name(const char *name) {
  report_program_name = name;
  if (initial_break == nullptr) initial_break = sbrk(0);
}

void report_alloc_failure(size_t size) {
  // Without a recorded start, measure from the program's static data, which lies below the heap.
  const uintptr_t base = initial_break != nullptr ? reinterpret_cast<uintptr_t>(initial_break)
                                                  : reinterpret_cast<uintptr_t>(&environ);
  const uintptr_t total = reinterpret_cast<uintptr_t>(sbrk(0)) - base;
  fprintf(stderr, "\n%s%sout of memory allocating %lu bytes after a total of %lu bytes\n",
          report_program_name, *report_program_name != '\0' ? ": " : "",
          static_cast<unsigned long>(size), static_cast<unsigned long>(total));
  exit_program(1);
}

void *must_malloc(size_t size) {
  if (size == 0) size = 1;
  void *block = malloc(size);
  if (block == nullptr) report_alloc_failure(size);
  return block;
}

void *must_calloc(size_t count, size_t size) {
  if (count == 0 || size == 0) count = size = 1;
  void *block = calloc(count, size);
  if (block == nullptr) {
    // A product beyond 64 bits cannot be printed; report the largest size instead of a wrapped one.
    size_t product;
    if (__builtin_mul_overflow(count, size, &product)) product = SIZE_MAX;
    report_alloc_failure(product);
  }
  return block;
}

void *must_realloc(void *block, size_t size) {
  if (size == 0) size = 1;
  void *grown = block == nullptr ? malloc(size) : realloc(block, size);
  if (grown == nullptr) report_alloc_failure(size);
  return grown;
}

char *must_strdup(const char *text) {
  const size_t length = strlen(text);
  char *copy = static_cast<char *>(must_malloc(length + 1));
  memcpy(copy, text, length + 1);
  return copy;
}

}  // extern "C"
