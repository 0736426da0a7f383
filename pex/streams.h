/* SPDX-License-Identifier: BSD-2-Clause */
/* Streams between a pipeline and its caller: the first stage's input, the last stage's output,
   the standard-error pipe; and the children's CPU times. Failures are reported through errno,
   EINVAL for a call out of order.
   Reading both pipes: a caller that reads all of a child's output before its error output (with
   pex_take_output, then pex_take_error) can block for ever. Once the child has written as much
   error output as the pipe's buffer holds (64 KiB on Linux, 16 to 64 KiB on FreeBSD), it waits
   for a reader of that pipe and never ends its output. Read whichever of the two descriptors
   (fileno of each stream) is ready, with poll() or select(); or read one of them on another
   thread; or send standard error to a file (errname) or into the output (PEX_ERR_TO_OUT). With
   poll() or select(), read with read() on the descriptor, or drain what stdio has buffered
   first: poll() does not see bytes already in the stream's buffer. In a pipeline through
   temporary files, pex_take_output waits for every child first: drain the error pipe on another
   thread then.
   Threads: as for pipelines (pex/pipeline.h): one thread at a time per pipeline. */
#ifndef TOLV_PEX_STREAMS_H
#define TOLV_PEX_STREAMS_H

#include <stdio.h>

#include "pipeline_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/// Before the first stage: a write stream to the file the first stage will read (named as a
/// stage's output from requested_name, PEX_NAME_SUFFIX and PEX_OUTPUT_BINARY); the next stage
/// run closes it, and the file stays on disk after release. Null with errno on failure.
FILE *pex_attach_input_file(pex_pipeline *pipeline, int stage_flags, const char *requested_name);
/// Before the first stage of a PEX_VIA_PIPES pipeline: a write stream over a pipe the first
/// stage reads; the caller closes it to end that input. Null with errno on failure.
FILE *pex_attach_input_pipe(pex_pipeline *pipeline, int binary_mode);
/// After a last stage run without PEX_FINAL_STAGE (waiting for every child first when it wrote
/// a file): a read stream over its output, closed by pex_release; the pipeline is complete.
/// Null with errno on failure, or null with errno untouched when there is nothing to read.
FILE *pex_take_output(pex_pipeline *pipeline, int binary_mode);
/// A read stream over the standard-error pipe of a PEX_STDERR_TO_PIPE stage, closed by
/// pex_release (an earlier one it replaces becomes the caller's to fclose); later stages may
/// then run. Null with errno on failure, or null with errno untouched when there is no pipe.
FILE *pex_take_error(pex_pipeline *pipeline, int binary_mode);
/// Waits for every child, then copies wanted_count CPU-time records (zeros beyond the
/// children; a negative count asks for none); 1, or 0 when a wait failed or no times are kept.
int pex_fetch_times(pex_pipeline *pipeline, int wanted_count, pex_cpu_times *times_vector);

#ifdef __cplusplus
}
#endif

#endif
