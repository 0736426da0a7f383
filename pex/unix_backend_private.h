/* SPDX-License-Identifier: BSD-2-Clause */
/* What the project's own programs tell the Unix backend about themselves. Not installed: a
   library user cannot promise this for the code it links with. */
#ifndef TOLV_PEX_UNIX_BACKEND_PRIVATE_H
#define TOLV_PEX_UNIX_BACKEND_PRIVATE_H

#ifdef __cplusplus
extern "C" {
#endif

/// Nonzero in a program that installs no signal handler, set before it starts a child: the
/// child then asks no signal's action before its exec (a system call per signal, all of them
/// default or ignored there, which the exec keeps as they are). Zero by default.
extern int unix_backend_no_signal_handlers;

#ifdef __cplusplus
}
#endif

#endif
