/* SPDX-License-Identifier: BSD-2-Clause */
/* Ending the program through an optional cleanup hook.
   Threads: exit_cleanup_hook is a plain process-wide pointer, to be set before threads start;
   exit_program ends the process with exit, which must not run in two threads at once. */
#ifndef TOLV_SUPPORT_EXIT_H
#define TOLV_SUPPORT_EXIT_H

#ifdef __cplusplus
extern "C" {
#endif

/// Called by exit_program, with the status it is about to exit with, before the C library's exit.
typedef void (*exit_cleanup_fn)(int status);

/// Installed by a program that wants cleanup at exit; null by default.
extern exit_cleanup_fn exit_cleanup_hook;

/// Runs exit_cleanup_hook when set, then the C library's exit(status).
void exit_program(int status) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif
