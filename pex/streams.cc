// SPDX-License-Identifier: BSD-2-Clause
#include "pex/streams.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "pex/pipeline.h"
#include "support/alloc.h"
#include "support/descriptor_guard.h"

namespace {

// The first stage's input may still be chosen: no stage has run and no input is chosen yet.
// A final stage that failed before starting its child leaves no child but a complete pipeline
// (pending_input_fd -1), which an attached input must not bring back to life.
bool input_open_to_choose(const pex_pipeline *pipeline) {
  return pipeline->child_count == 0 && pipeline->pending_input_fd == 0 &&
         pipeline->pending_input_path == nullptr;
}

// Hands a descriptor the pipeline holds to the caller as a read stream. The record lets go of
// it either way; one that no stream took over is closed here, since no one else knows of it.
FILE *hand_over(pex_pipeline *pipeline, int32_t &held, int binary_mode) {
  const int fd = held;
  held = -1;
  FILE *stream = pipeline->backend_ops->read_stream(pipeline, fd, binary_mode);
  if (stream == nullptr) {
    const int saved = errno;
    pipeline->backend_ops->close_descriptor(pipeline, fd);
    errno = saved;
  }
  return stream;
}

// fopen, except that the descriptor is close-on-exec from the start, so that no child (of this
// pipeline or started meanwhile on another thread) inherits the caller's stream, and that it is
// never 0, 1 or 2: with one of those closed by the caller, the next stage would take the stream
// for its own standard descriptor. Null with errno on failure.
FILE *open_stream(const char *name, int open_flags, const char *mode) {
  const int fd = descriptor_open(name, open_flags);
  if (fd < 0) return nullptr;
  FILE *stream = fdopen(fd, mode);
  if (stream == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}

}  // namespace

extern "C" {

FILE *pex_attach_input_file(pex_pipeline *pipeline, int stage_flags, const char *requested_name) {
  if (!input_open_to_choose(pipeline)) {
    errno = EINVAL;
    return nullptr;
  }
  const char *name = pex_stage_output_name(pipeline, stage_flags, requested_name);
  if (name == nullptr) return nullptr;
  FILE *stream = open_stream(name, O_WRONLY | O_CREAT | O_TRUNC,
                             (stage_flags & PEX_OUTPUT_BINARY) != 0 ? "wb" : "w");
  if (stream == nullptr) {
    const int saved = errno;
    if (name != requested_name) free(const_cast<char *>(name));
    errno = saved;
    return nullptr;
  }
  pipeline->caller_input_stream = stream;
  // The caller's requested_name is only lent for this call, and the next stage reads the name
  // later, so the record keeps a copy of its own, as it does for stage output names.
  pipeline->pending_input_path = name != requested_name ? name : must_strdup(requested_name);
  pipeline->pending_input_path_owned = 1;
  return stream;
}

FILE *pex_attach_input_pipe(pex_pipeline *pipeline, int binary_mode) {
  if ((pipeline->creation_flags & PEX_VIA_PIPES) == 0 || !input_open_to_choose(pipeline)) {
    errno = EINVAL;
    return nullptr;
  }
  const pex_backend_ops *ops = pipeline->backend_ops;
  const int binary = binary_mode != 0 ? 1 : 0;
  int fds[2];
  if (ops->make_pipe(pipeline, fds, binary) < 0) return nullptr;
  // The backend keeps children from inheriting the write end, so the first stage sees end of
  // file when the caller closes the stream.
  FILE *stream = ops->write_stream(pipeline, fds[1], binary);
  if (stream == nullptr) {
    const int saved = errno;
    ops->close_descriptor(pipeline, fds[0]);
    ops->close_descriptor(pipeline, fds[1]);
    errno = saved;
    return nullptr;
  }
  pipeline->pending_input_fd = fds[0];
  return stream;
}

FILE *pex_take_output(pex_pipeline *pipeline, int binary_mode) {
  if (pipeline->pending_input_path != nullptr) {
    // The file is complete only once every child that may still write it has ended.
    const char *message = nullptr;
    int wait_error = 0;
    if (pex_collect_statuses(pipeline, 0, &message, &wait_error) == 0) {
      errno = wait_error;
      return nullptr;
    }
    FILE *stream =
        open_stream(pipeline->pending_input_path, O_RDONLY, binary_mode != 0 ? "rb" : "r");
    const int open_error = errno;
    pipeline->caller_output_stream = stream;
    if (pipeline->pending_input_path_owned != 0) {
      free(const_cast<char *>(pipeline->pending_input_path));
    }
    pipeline->pending_input_path = nullptr;
    pipeline->pending_input_path_owned = 0;
    // The output is taken in place of a final stage. Left at 0, the next stage would read the
    // caller's standard input, and a second take would lose this stream.
    pipeline->pending_input_fd = -1;
    if (stream == nullptr) errno = open_error;
    return stream;
  }
  if (pipeline->pending_input_fd > 0) {
    FILE *stream = hand_over(pipeline, pipeline->pending_input_fd, binary_mode);
    pipeline->caller_output_stream = stream;
    return stream;
  }
  return nullptr;
}

FILE *pex_take_error(pex_pipeline *pipeline, int binary_mode) {
  if (pipeline->error_pipe_fd <= 0) return nullptr;
  FILE *stream = hand_over(pipeline, pipeline->error_pipe_fd, binary_mode);
  pipeline->caller_error_stream = stream;
  return stream;
}

int pex_fetch_times(pex_pipeline *pipeline, int wanted_count, pex_cpu_times *times_vector) {
  if (pipeline->waited_count < pipeline->child_count) {
    const char *message = nullptr;
    int wait_error = 0;
    if (pex_collect_statuses(pipeline, 0, &message, &wait_error) == 0) return 0;
  }
  if (pipeline->child_times == nullptr) return 0;
  // A negative count asks for nothing, as in pex_get_status.
  const int wanted = wanted_count > 0 ? wanted_count : 0;
  const int copied = wanted < pipeline->child_count ? wanted : pipeline->child_count;
  for (int i = 0; i < copied; ++i) times_vector[i] = pipeline->child_times[i];
  for (int i = copied; i < wanted; ++i) times_vector[i] = pex_cpu_times{};
  return 1;
}

}  // extern "C"
