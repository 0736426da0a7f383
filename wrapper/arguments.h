/* SPDX-License-Identifier: BSD-2-Clause */
/* The wrapper's own handling of its argument vector: the "-B" option and ar's dash rule. */
#ifndef TOLV_WRAPPER_ARGUMENTS_H
#define TOLV_WRAPPER_ARGUMENTS_H

#ifdef __cplusplus
extern "C" {
#endif

/// What wrapper_take_prefix_option found.
typedef enum wrapper_prefix_result {
  WRAPPER_NO_PREFIX = 0,     /* no "-B" among the arguments */
  WRAPPER_PREFIX_FOUND = 1,  /* removed; *directory is set */
  WRAPPER_PREFIX_MISSING = 2 /* "-B" was the last argument: a usage error */
} wrapper_prefix_result;

/// Removes the first -Bdir or "-B dir" from the vector (count and the null end follow) and
/// gives its directory, with a "/" appended (a new string) when it has two or more characters
/// and does not end in one.
wrapper_prefix_result wrapper_take_prefix_option(int *argc, char **argv, const char **directory);

/// ar's rule: a first argument that begins neither with "-" nor with "@" gets a leading "-"
/// (a new string in argv[1]).
void wrapper_apply_dash_rule(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
