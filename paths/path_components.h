/* SPDX-License-Identifier: BSD-2-Clause */
/* Paths taken apart: components, base names, canonical copies.
   Threads: no state of their own; each may run in any thread. */
#ifndef TOLV_PATHS_PATH_COMPONENTS_H
#define TOLV_PATHS_PATH_COMPONENTS_H

#ifdef __cplusplus
extern "C" {
#endif

/// Components through each run of "/", null-ended, *count set if given; null if "" or no memory.
char **split_dirs(const char *path, int *count);
/// Frees each component of a split_dirs list, then the list; ignores a null list.
void free_split_dirs(char **dirs);
/// Just after the path's last "/": the path itself without one, its NUL if it ends in "/".
const char *path_base_name(const char *path);
/// path_base_name past an optional drive prefix ("c:"), with both "/" and "\\" separating.
const char *path_base_name_dos(const char *path);
/// Heap copy of realpath's answer, or of the path itself if it fails; null only without memory.
char *canonical_path(const char *path);

#ifdef __cplusplus
}
#endif

#endif
