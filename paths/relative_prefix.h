/* SPDX-License-Identifier: BSD-2-Clause */
/* Re-anchoring a configured directory at the place the running program really lives.
   Threads: no state of its own, so safe in any thread, as long as none changes PATH meanwhile. */
#ifndef TOLV_PATHS_RELATIVE_PREFIX_H
#define TOLV_PATHS_RELATIVE_PREFIX_H

#ifdef __cplusplus
extern "C" {
#endif

/// Heap copy of target_dir re-anchored at the program's real directory; null if not relocatable.
char *relative_prefix(const char *program, const char *bin_dir, const char *target_dir);
/// relative_prefix with the program path taken as it is found, its links not resolved.
char *relative_prefix_keep_links(const char *program, const char *bin_dir, const char *target_dir);

#ifdef __cplusplus
}
#endif

#endif
