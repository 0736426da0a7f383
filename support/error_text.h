/* SPDX-License-Identifier: BSD-2-Clause */
/* Printable text of a system error number.
   Threads: the fallback text is formatted in a buffer of the calling thread's own. The library
   text is strerror's, which POSIX does not make thread-safe: some C libraries format every text
   into one shared buffer. */
#ifndef TOLV_SUPPORT_ERROR_TEXT_H
#define TOLV_SUPPORT_ERROR_TEXT_H

#ifdef __cplusplus
extern "C" {
#endif

/// strerror(errnum), or "undocumented error #<errnum>" in a per-thread buffer when that has no
/// text (valid until the thread's next fallback). Never fails and never allocates, so a vfork
/// child may call it.
const char *error_text(int errnum);

#ifdef __cplusplus
}
#endif

#endif
