/* SPDX-License-Identifier: BSD-2-Clause */
/* The pipeline record, the per-child times record, the flags and the backend table that the
   pipeline, its Unix backend and its caller-side streams share.
   Threads: a record has no lock and is used by one thread at a time; pipelines in different
   threads share only the constant backend table, the once-chosen temporary directory and the
   descriptor guard's lock (support/descriptor_guard.h). */
#ifndef TOLV_PEX_PIPELINE_RECORD_H
#define TOLV_PEX_PIPELINE_RECORD_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Creation flags. */
enum {
  PEX_KEEP_TIMES = 0x1, /* every status collection also records each child's CPU times */
  PEX_VIA_PIPES = 0x2,  /* non-final stages write into a pipe instead of a temporary file */
  PEX_KEEP_TEMPS = 0x4  /* output files of non-final stages stay on disk after release */
};

/* Stage flags. */
enum {
  PEX_FINAL_STAGE = 0x1,     /* last stage: output to the named file or standard output */
  PEX_PATH_SEARCH = 0x2,     /* look the program up along PATH */
  PEX_NAME_SUFFIX = 0x4,     /* the output name is a suffix to temp_name_base */
  PEX_ERR_TO_OUT = 0x8,      /* standard error becomes a copy of standard output */
  PEX_INPUT_BINARY = 0x10,   /* binary mode for the stage's input file */
  PEX_OUTPUT_BINARY = 0x20,  /* binary mode for the output file or pipe */
  PEX_STDERR_TO_PIPE = 0x40, /* standard error into a pipe that the pipeline keeps */
  PEX_ERROR_BINARY = 0x80,   /* binary mode for the error file or pipe */
  PEX_OUTPUT_APPEND = 0x100, /* append to the output file */
  PEX_ERROR_APPEND = 0x200   /* append to the error file */
};

/// CPU times of one child, as its wait reported them.
typedef struct pex_cpu_times {
  int64_t user_sec;
  int64_t user_usec;
  int64_t sys_sec;
  int64_t sys_usec;
} pex_cpu_times;

struct pex_backend_ops;

/// One pipeline; made only by pex_pipeline_create and freed only by pex_release.
typedef struct pex_pipeline {
  int32_t creation_flags;
  const char *program_name;       /* written before a child's exec-failure message; not copied */
  const char *temp_name_base;     /* base of temporary names, or null; not copied */
  int32_t pending_input_fd;       /* next stage's input when no path is pending; -1 once complete */
  const char *pending_input_path; /* file the next stage reads; wins over pending_input_fd */
  int32_t pending_input_path_owned; /* nonzero when the pipeline frees pending_input_path */
  int32_t error_pipe_fd;          /* read end of a standard-error pipe, or -1 */
  int32_t child_count;
  int32_t *child_pids;            /* child_count process ids, in stage order */
  int32_t *child_statuses;        /* raw wait statuses, same order */
  pex_cpu_times *child_times;     /* with PEX_KEEP_TIMES only */
  int32_t waited_count;           /* children waited for, counted from the first */
  FILE *caller_input_stream;
  FILE *caller_output_stream;
  FILE *caller_error_stream;
  int32_t cleanup_file_count;
  char **cleanup_files;           /* files deleted at release; names owned by the array */
  const struct pex_backend_ops *backend_ops; /* not owned */
  void *backend_private;
} pex_pipeline;

/// The operating-system side of a pipeline. Slots 1 to 8 are required; backend_cleanup may be
/// null. All but spawn_child and wait_child fail with -1 or null and leave errno; those two
/// store a constant message naming the failed step and an error number.
typedef struct pex_backend_ops {
  /// A descriptor open for reading, or -1.
  int (*open_input)(pex_pipeline *pipeline, const char *name, int binary);
  /// A descriptor open for writing (created, truncated unless append), or -1.
  int (*open_output)(pex_pipeline *pipeline, const char *name, int binary, int append);
  /// Starts the program on the given descriptors; the child's pid, or -1.
  int (*spawn_child)(pex_pipeline *pipeline, int stage_flags, const char *program,
                     char *const *arguments, char *const *environment, int input, int output,
                     int error, int close_in_child, const char **error_message,
                     int *error_number);
  /// close(fd); callers ignore the result.
  int (*close_descriptor)(pex_pipeline *pipeline, int fd);
  /// Waits for the child (after SIGTERM when terminate_first), storing its raw status; 0 or -1.
  int (*wait_child)(pex_pipeline *pipeline, int pid, int *status, pex_cpu_times *times,
                    int terminate_first, const char **error_message, int *error_number);
  /// A pipe, read end first; 0 or -1.
  int (*make_pipe)(pex_pipeline *pipeline, int fds[2], int binary);
  /// A read stream that takes over the descriptor, or null.
  FILE *(*read_stream)(pex_pipeline *pipeline, int fd, int binary);
  /// A write stream that takes over the descriptor, or null.
  FILE *(*write_stream)(pex_pipeline *pipeline, int fd, int binary);
  /// Called at release, when not null.
  void (*backend_cleanup)(pex_pipeline *pipeline);
} pex_backend_ops;

#ifdef __cplusplus
}
#endif

#endif
