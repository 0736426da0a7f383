/* SPDX-License-Identifier: BSD-2-Clause */
/* Running programs as a pipeline of child processes. */
#ifndef TOLV_PEX_PIPELINE_H
#define TOLV_PEX_PIPELINE_H

#include "pipeline_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Run operations return null on success, or a constant message naming the failed step (never
   freed) with the system's error number, or 0, stored through error_number.
   Threads: distinct pipelines may run on distinct threads at the same time; one pipeline is used
   by one thread at a time. A stage that inherits the caller's environment reads environ as it
   starts: no thread may change the environment (setenv, putenv) meanwhile, as with execvp. */

/// A new pipeline bound to the backend; never null.
pex_pipeline *pex_pipeline_create(int creation_flags, const char *program_name,
                                  const char *temp_name_base, const pex_backend_ops *backend_ops);
/// pex_pipeline_create with unix_backend.
pex_pipeline *pex_pipeline_create_unix(int creation_flags, const char *program_name,
                                       const char *temp_name_base);
/// Starts one stage; environment is a replacement name=value vector, or null to inherit. With
/// PEX_PATH_SEARCH the program is looked up along the PATH of the environment the child gets:
/// the replacement's, else the caller's. A replacement without PATH gets the default that the
/// system's execvp takes when PATH is unset (glibc: "/bin:/usr/bin"; FreeBSD: _PATH_DEFPATH).
const char *pex_run_stage_env(pex_pipeline *pipeline, int stage_flags, const char *program_path,
                              char *const *arguments, char *const *environment,
                              const char *output_name, const char *errname, int *error_number);
/// pex_run_stage_env inheriting the caller's environment.
const char *pex_run_stage(pex_pipeline *pipeline, int stage_flags, const char *program_path,
                          char *const *arguments, const char *output_name, const char *errname,
                          int *error_number);
/// A stage's output file name: requested_name itself, or a new string the caller owns; null
/// only when a name made from temp_name_base cannot be created.
const char *pex_stage_output_name(pex_pipeline *pipeline, int stage_flags,
                                  const char *requested_name);
/// Waits for every child not yet waited for (SIGTERM first with kill_first); 1 when all waits
/// succeeded, else 0 with the last failure's message and error number.
int pex_collect_statuses(pex_pipeline *pipeline, int kill_first, const char **error_message,
                         int *error_number);
/// Copies wanted_count raw wait statuses (0 beyond child_count); 1, or 0 when a wait failed.
int pex_get_status(pex_pipeline *pipeline, int wanted_count, int *status_vector);
/// Closes what the pipeline holds, terminates and reaps children never waited for, deletes its
/// registered files and frees it.
void pex_release(pex_pipeline *pipeline);
/// One final stage on a fresh Unix pipeline: started, waited for, released.
const char *pex_run_once(int stage_flags, const char *program_path, char *const *arguments,
                         const char *program_name, const char *output_name, const char *errname,
                         int *wait_status, int *error_number);

#ifdef __cplusplus
}
#endif

#endif
