/* SPDX-License-Identifier: BSD-2-Clause */
/* Descriptors that the library makes: close-on-exec from the start and never on 0, 1 or 2.
   A new descriptor takes the lowest free number, so with a standard descriptor closed by the
   caller it lands there until it is moved above 2. A child that another thread starts in that
   moment, and that is to inherit that standard descriptor as it is, would take the library's
   descriptor for it. Making a descriptor here and starting such a child therefore exclude each
   other; nothing else waits: descriptors are made by any number of threads at once. A program
   that makes descriptors on other threads while it has a standard descriptor closed may make
   them with these functions too.
   Threads: every function may be called from any thread; none may be called in a vfork child. */
#ifndef TOLV_SUPPORT_DESCRIPTOR_GUARD_H
#define TOLV_SUPPORT_DESCRIPTOR_GUARD_H

#ifdef __cplusplus
extern "C" {
#endif

/// open(name, flags | O_CLOEXEC, 0666), moved above 2; -1 with errno, nothing left open.
int descriptor_open(const char *name, int flags);
/// pipe2(fds, O_CLOEXEC), both ends above 2; 0, or -1 with errno and nothing left open.
int descriptor_pipe(int fds[2]);
/// mkostemps(name_template, suffix_length, O_CLOEXEC), moved above 2; -1 with errno.
int descriptor_mkostemps(char *name_template, int suffix_length);

/// Holds the standard numbers still: while held, no descriptor that is being made sits on 0, 1
/// or 2, so what is there is the caller's own (or nothing). Returns nonzero when held; pass
/// that to standard_descriptors_release. Hold it only briefly, around starting a child.
int standard_descriptors_hold(void);
void standard_descriptors_release(int held);

#ifdef __cplusplus
}
#endif

#endif
