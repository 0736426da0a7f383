/* SPDX-License-Identifier: BSD-2-Clause */
/* Descriptors that the library makes, kept off the standard numbers 0, 1 and 2.
   A new descriptor takes the lowest free number, so with a standard descriptor closed by the
   caller it lands there until it is moved above 2. A child that another thread starts in that
   moment, and that is to inherit that standard descriptor as it is, would take the library's
   descriptor for it. Making a descriptor and starting such a child therefore exclude each
   other, and nothing else waits: descriptors are made by any number of threads at once.
   A program whose own code makes descriptors on other threads while it has a standard
   descriptor closed may bracket that code the same way.
   Threads: every function may be called from any thread; none may be called in a vfork child. */
#ifndef TOLV_SUPPORT_DESCRIPTOR_GUARD_H
#define TOLV_SUPPORT_DESCRIPTOR_GUARD_H

#ifdef __cplusplus
extern "C" {
#endif

/// Brackets the making of a descriptor, until it is above 2 or closed again. Threads may be
/// inside at the same time; they wait while another thread holds the standard descriptors.
void descriptor_creation_begin(void);
void descriptor_creation_end(void);

/// fd when it is above 2; else a close-on-exec duplicate above 2, and fd is closed. Returns -1
/// with errno, and fd closed, when no duplicate can be made.
int descriptor_above_standard(int fd);

/// While held, no descriptor that is being made sits on 0, 1 or 2: what is there is the
/// caller's own (or nothing). Hold it only briefly, around starting a child.
void standard_descriptors_hold(void);
void standard_descriptors_release(void);

#ifdef __cplusplus
}
#endif

#endif
