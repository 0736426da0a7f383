/* The Unix instance of the pipeline's backend table. */
#ifndef TOLV_PEX_UNIX_BACKEND_H
#define TOLV_PEX_UNIX_BACKEND_H

#include "pex/pipeline_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/// Files, pipes, vfork-started children and streams through POSIX calls; constant, stateless.
extern const pex_backend_ops unix_backend;

#ifdef __cplusplus
}
#endif

#endif
