/* SPDX-License-Identifier: BSD-2-Clause */
/* Allocation that never returns null, and the out-of-memory report.
   Threads: the allocators may be called from any thread, as malloc may. The report's name and
   start are process-wide and unlocked: call set_error_program_name before starting threads. */
#ifndef TOLV_SUPPORT_ALLOC_H
#define TOLV_SUPPORT_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/// malloc(size), with 0 taken as 1; never null (reports and exits with 1 on failure).
void *must_malloc(size_t size) __attribute__((malloc, returns_nonnull));
/// calloc(count, size), zero-filled, with a 0 count or size taking both as 1; never null.
void *must_calloc(size_t count, size_t size) __attribute__((malloc, returns_nonnull));
/// realloc(block, size) (malloc for a null block), with 0 taken as 1; never null.
void *must_realloc(void *block, size_t size) __attribute__((returns_nonnull));
/// A heap copy of the text; never null.
char *must_strdup(const char *text) __attribute__((malloc, returns_nonnull));

/// Name put in front of the out-of-memory report (not copied); the first call also records the
/// program break from which the report's total is measured.
void set_error_program_name(const char *name);
/// Prints the out-of-memory report for a request of `size` bytes and exits with status 1.
void report_alloc_failure(size_t size) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif
