/* SPDX-License-Identifier: BSD-2-Clause */
/* What the project's own programs tell the Unix backend about themselves. Not installed: a
   library user cannot promise this for the code it links with. */
#ifndef TOLV_PEX_UNIX_BACKEND_PRIVATE_H
#define TOLV_PEX_UNIX_BACKEND_PRIVATE_H

#ifdef __cplusplus
extern "C" {
#endif

/// Nonzero in a program that installs no signal handler and marks none of its standard
/// descriptors close-on-exec, set before it starts a child. A program fresh from an exec has
/// neither: the exec reset its handlers and closed its marked descriptors. The backend then
/// neither resets handlers in the child nor blocks signals around the start, and looks at no
/// standard descriptor's mark (system calls for nothing there). Zero by default.
extern int unix_backend_plain_program;

#ifdef __cplusplus
}
#endif

#endif
