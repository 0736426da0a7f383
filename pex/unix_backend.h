/* SPDX-License-Identifier: BSD-2-Clause */
/* The Unix instance of the pipeline's backend table.
   Threads: distinct pipelines may run on distinct threads at the same time; one pipeline is used
   by one thread at a time. The backend's only process-wide state is the lock of
   support/descriptor_guard.h, and it changes none of the caller's: it never assigns environ (a
   replacement environment goes to the exec), blocks signals only in the calling thread and only
   while it starts a child, and makes every descriptor close-on-exec and above 2, so that a child
   another thread starts meanwhile inherits none of them and a standard descriptor the caller
   closed stays closed. (Descriptors that the caller's own code makes on other threads meanwhile
   are the caller's to make the same way, with support/descriptor_guard.h.) No handler of the caller's runs in a
   child: the program starts with the caller's signal mask and ignored signals, as after an
   exec. */
#ifndef TOLV_PEX_UNIX_BACKEND_H
#define TOLV_PEX_UNIX_BACKEND_H

#include "pipeline_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/// Files, pipes, vfork-started children and streams through POSIX calls; constant, stateless,
/// usable from several threads for distinct pipelines.
extern const pex_backend_ops unix_backend;

#ifdef __cplusplus
}
#endif

#endif
