/* SPDX-License-Identifier: BSD-2-Clause */
/* The temporary directory and uniquely named temporary files.
   Threads: safe to call from several threads at once; all get the one directory chosen first,
   and distinct files. The choice reads TMPDIR, TMP and TEMP, which no thread may change then. */
#ifndef TOLV_SUPPORT_TEMP_FILE_H
#define TOLV_SUPPORT_TEMP_FILE_H

#ifdef __cplusplus
extern "C" {
#endif

/// The temporary directory, ending in "/", chosen once per process; owned by this module.
const char *temp_dir_choose(void);
/// Creates an empty file named directory + prefix ("cc" when null) + six unique characters +
/// suffix (empty when null) and returns its name, which the caller frees. Aborts on failure.
char *temp_file_create_prefixed(const char *prefix, const char *suffix);
/// temp_file_create_prefixed(null, suffix).
char *temp_file_create(const char *suffix);

#ifdef __cplusplus
}
#endif

#endif
