// SPDX-License-Identifier: BSD-2-Clause
#include "pex/pipeline.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pex/unix_backend.h"
#include "support/alloc.h"
#include "support/descriptor_guard.h"
#include "support/join.h"
#include "support/temp_file.h"

namespace {

constexpr char template_tail[] = "XXXXXX";
constexpr size_t template_tail_length = sizeof template_tail - 1;

int bit(int flags, int flag) { return (flags & flag) != 0 ? 1 : 0; }

// A temporary name made from temp_name_base: the base itself when it already ends in the six
// placeholders, else the base with them appended. Null when no file could be made.
char *create_from_base(const char *base) {
  const size_t length = strlen(base);
  char *name = length >= template_tail_length &&
                       strcmp(base + length - template_tail_length, template_tail) == 0
                   ? must_strdup(base)
                   : join_strings(base, template_tail, nullptr);
  // Made as every descriptor of the library is: a child started meanwhile on another thread must
  // not inherit it, even for the moment it is open.
  const int fd = descriptor_mkostemps(name, 0);
  if (fd < 0) {
    free(name);
    return nullptr;
  }
  close(fd);
  return name;
}

void add_cleanup_file(pex_pipeline *pipeline, char *name) {
  const size_t count = static_cast<size_t>(pipeline->cleanup_file_count) + 1;
  pipeline->cleanup_files =
      static_cast<char **>(must_realloc(pipeline->cleanup_files, count * sizeof(char *)));
  pipeline->cleanup_files[count - 1] = name;
  pipeline->cleanup_file_count = static_cast<int32_t>(count);
}

void add_child(pex_pipeline *pipeline, int pid) {
  const size_t count = static_cast<size_t>(pipeline->child_count) + 1;
  pipeline->child_pids =
      static_cast<int32_t *>(must_realloc(pipeline->child_pids, count * sizeof(int32_t)));
  pipeline->child_pids[count - 1] = pid;
  pipeline->child_count = static_cast<int32_t>(count);
}

// One stage from its output step on. The descriptors it has chosen so far live here, so that a
// failure at any step closes exactly those the child would have received.
struct stage_run {
  pex_pipeline *pipeline;
  const pex_backend_ops *ops;
  int flags;
  int input;
  bool input_from_record;  // input is the record's pending_input_fd, not a file opened here
  int output = -1;
  int error = -1;

  const char *fail(const char *message, int number, int *error_number) {
    if (input != 0) ops->close_descriptor(pipeline, input);
    if (output >= 0 && output != 1) ops->close_descriptor(pipeline, output);
    if (error >= 0 && error != 2) ops->close_descriptor(pipeline, error);
    // The stage took over the pending pipe end and has just closed it; a record still naming
    // it would have it closed a second time at release, possibly after the number was reused.
    if (input_from_record && input > 0 && pipeline->pending_input_fd == input) {
      pipeline->pending_input_fd = -1;
    }
    // The stage consumed the pending input file and chose no next input before it failed. The
    // record's 0 would have a retried stage read the caller's standard input in its place, so
    // the pipeline is complete instead, as after a final stage.
    if (!input_from_record && pipeline->pending_input_path == nullptr &&
        pipeline->pending_input_fd == 0) {
      pipeline->pending_input_fd = -1;
    }
    *error_number = number;
    return message;
  }

  const char *choose_output(const char *output_name, int *error_number);
  const char *choose_error(const char *errname, int *error_number);
};

const char *stage_run::choose_output(const char *output_name, int *error_number) {
  const int binary = bit(flags, PEX_OUTPUT_BINARY);
  const int append = bit(flags, PEX_OUTPUT_APPEND);

  if ((flags & PEX_FINAL_STAGE) != 0) {
    // Complete from here on, even if this stage fails below.
    pipeline->pending_input_fd = -1;
    if (output_name == nullptr) {
      output = 1;
      return nullptr;
    }
    char *joined = nullptr;
    if ((flags & PEX_NAME_SUFFIX) != 0) {
      // Without a base the list ends at once and the name is empty, which no open accepts.
      joined = join_strings(pipeline->temp_name_base, output_name, nullptr);
    }
    output = ops->open_output(pipeline, joined != nullptr ? joined : output_name, binary, append);
    const int open_error = errno;
    free(joined);
    if (output < 0) return fail("open temporary output file", open_error, error_number);
    return nullptr;
  }

  if ((pipeline->creation_flags & PEX_VIA_PIPES) != 0) {
    int fds[2];
    if (ops->make_pipe(pipeline, fds, binary) < 0) return fail("pipe", errno, error_number);
    output = fds[1];
    pipeline->pending_input_fd = fds[0];
    return nullptr;
  }

  const char *name = pex_stage_output_name(pipeline, flags, output_name);
  if (name == nullptr) return fail("could not create temporary file", 0, error_number);
  // The caller's output_name is only lent for this call, and the next stage reads the name
  // later, so the record never keeps the caller's string itself.
  char *kept = name != output_name ? const_cast<char *>(name) : must_strdup(output_name);
  const bool kept_on_disk = (pipeline->creation_flags & PEX_KEEP_TEMPS) != 0;
  if (!kept_on_disk) add_cleanup_file(pipeline, kept);
  pipeline->pending_input_path = kept;
  // Exactly one owner: cleanup_files, or else the pending path.
  pipeline->pending_input_path_owned = kept_on_disk ? 1 : 0;
  output = ops->open_output(pipeline, kept, binary, append);
  if (output < 0) return fail("open temporary output file", errno, error_number);
  return nullptr;
}

const char *stage_run::choose_error(const char *errname, int *error_number) {
  if (errname != nullptr && (flags & PEX_STDERR_TO_PIPE) != 0) {
    return fail("both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0, error_number);
  }
  if (pipeline->error_pipe_fd != -1) {
    // Nobody would read the earlier stage's error pipe while this one runs.
    return fail("PEX_STDERR_TO_PIPE used in the middle of pipeline", 0, error_number);
  }
  if (errname != nullptr) {
    error = ops->open_output(pipeline, errname, bit(flags, PEX_ERROR_BINARY),
                             bit(flags, PEX_ERROR_APPEND));
    if (error < 0) return fail("open error file", errno, error_number);
    return nullptr;
  }
  error = 2;
  if ((flags & PEX_STDERR_TO_PIPE) != 0) {
    int fds[2];
    if (ops->make_pipe(pipeline, fds, bit(flags, PEX_ERROR_BINARY)) < 0) {
      return fail("pipe", errno, error_number);
    }
    pipeline->error_pipe_fd = fds[0];
    error = fds[1];
  }
  return nullptr;
}

}  // namespace

extern "C" {

pex_pipeline *pex_pipeline_create(int creation_flags, const char *program_name,
                                  const char *temp_name_base, const pex_backend_ops *backend_ops) {
  // Zero-filled first, padding included, so that a record compares and copies cleanly.
  auto *pipeline = static_cast<pex_pipeline *>(must_calloc(1, sizeof(pex_pipeline)));
  pipeline->creation_flags = creation_flags;
  pipeline->program_name = program_name;
  pipeline->temp_name_base = temp_name_base;
  pipeline->pending_input_fd = 0;
  pipeline->pending_input_path = nullptr;
  pipeline->pending_input_path_owned = 0;
  pipeline->error_pipe_fd = -1;
  pipeline->child_count = 0;
  pipeline->child_pids = nullptr;
  pipeline->child_statuses = nullptr;
  pipeline->child_times = nullptr;
  pipeline->waited_count = 0;
  pipeline->caller_input_stream = nullptr;
  pipeline->caller_output_stream = nullptr;
  pipeline->caller_error_stream = nullptr;
  pipeline->cleanup_file_count = 0;
  pipeline->cleanup_files = nullptr;
  pipeline->backend_ops = backend_ops;
  pipeline->backend_private = nullptr;
  return pipeline;
}

pex_pipeline *pex_pipeline_create_unix(int creation_flags, const char *program_name,
                                       const char *temp_name_base) {
  return pex_pipeline_create(creation_flags, program_name, temp_name_base, &unix_backend);
}

const char *pex_run_stage_env(pex_pipeline *pipeline, int stage_flags, const char *program_path,
                              char *const *arguments, char *const *environment,
                              const char *output_name, const char *errname, int *error_number) {
  const pex_backend_ops *ops = pipeline->backend_ops;

  if (pipeline->caller_input_stream != nullptr) {
    // Cleared whatever fclose says: a failed fclose has still released the stream.
    FILE *stream = pipeline->caller_input_stream;
    pipeline->caller_input_stream = nullptr;
    if (fclose(stream) != 0) {
      *error_number = errno;
      return "closing pipeline input file";
    }
  }

  stage_run run = {pipeline, ops, stage_flags, 0, false};
  if (pipeline->pending_input_path != nullptr) {
    // The file is complete only once every child that may still write it has ended.
    const char *message = nullptr;
    if (pex_collect_statuses(pipeline, 0, &message, error_number) == 0) return message;
    run.input = ops->open_input(pipeline, pipeline->pending_input_path,
                                bit(stage_flags, PEX_INPUT_BINARY));
    if (run.input < 0) {
      *error_number = errno;
      return "open temporary file";
    }
    if (pipeline->pending_input_path_owned != 0) {
      free(const_cast<char *>(pipeline->pending_input_path));
    }
    pipeline->pending_input_path = nullptr;
    pipeline->pending_input_path_owned = 0;
  } else {
    run.input = pipeline->pending_input_fd;
    run.input_from_record = true;
    if (run.input < 0) {
      *error_number = 0;
      return "pipeline already complete";
    }
  }

  if (const char *message = run.choose_output(output_name, error_number)) return message;
  if (const char *message = run.choose_error(errname, error_number)) return message;

  // A child of a pipe stage must not hold the read end of its own output, or the next stage
  // would never see end of file.
  const int close_in_child =
      (pipeline->creation_flags & PEX_VIA_PIPES) != 0 ? pipeline->pending_input_fd : -1;

  const char *message = nullptr;
  int spawn_error = 0;
  const int pid = ops->spawn_child(pipeline, stage_flags, program_path, arguments, environment,
                                   run.input, run.output, run.error, close_in_child, &message,
                                   &spawn_error);
  if (pid < 0) {
    // Also after a failed close in the parent, where some of the three are closed already and
    // closing them again only fails: unless another thread of the caller's was given one of
    // those numbers meanwhile, since the backend does not say which ones it closed.
    return run.fail(message, spawn_error, error_number);
  }
  add_child(pipeline, pid);
  return nullptr;
}

const char *pex_run_stage(pex_pipeline *pipeline, int stage_flags, const char *program_path,
                          char *const *arguments, const char *output_name, const char *errname,
                          int *error_number) {
  return pex_run_stage_env(pipeline, stage_flags, program_path, arguments, nullptr, output_name,
                           errname, error_number);
}

const char *pex_stage_output_name(pex_pipeline *pipeline, int stage_flags,
                                  const char *requested_name) {
  if (requested_name != nullptr) {
    if ((stage_flags & PEX_NAME_SUFFIX) == 0) return requested_name;
    if (pipeline->temp_name_base != nullptr) {
      return join_strings(pipeline->temp_name_base, requested_name, nullptr);
    }
    return temp_file_create(requested_name);
  }
  if (pipeline->temp_name_base != nullptr) return create_from_base(pipeline->temp_name_base);
  return temp_file_create(nullptr);
}

int pex_collect_statuses(pex_pipeline *pipeline, int kill_first, const char **error_message,
                         int *error_number) {
  if (pipeline->waited_count == pipeline->child_count) return 1;
  const size_t count = static_cast<size_t>(pipeline->child_count);
  const bool keep_times = (pipeline->creation_flags & PEX_KEEP_TIMES) != 0;
  pipeline->child_statuses =
      static_cast<int32_t *>(must_realloc(pipeline->child_statuses, count * sizeof(int32_t)));
  if (keep_times) {
    pipeline->child_times = static_cast<pex_cpu_times *>(
        must_realloc(pipeline->child_times, count * sizeof(pex_cpu_times)));
  }

  int all_waited = 1;
  for (size_t i = static_cast<size_t>(pipeline->waited_count); i < count; ++i) {
    int32_t *status = &pipeline->child_statuses[i];
    if (pipeline->backend_ops->wait_child(pipeline, pipeline->child_pids[i], status,
                                          keep_times ? &pipeline->child_times[i] : nullptr,
                                          kill_first, error_message, error_number) < 0) {
      // Not a wait status any caller could take for a clean exit; the child is not waited
      // for again, so this is what later reads of its status see.
      *status = -1;
      all_waited = 0;
    }
  }
  pipeline->waited_count = pipeline->child_count;
  return all_waited;
}

int pex_get_status(pex_pipeline *pipeline, int wanted_count, int *status_vector) {
  if (pipeline->waited_count < pipeline->child_count) {
    const char *message = nullptr;
    int number = 0;
    if (pex_collect_statuses(pipeline, 0, &message, &number) == 0) return 0;
  }
  // A negative count asks for nothing.
  const int wanted = wanted_count > 0 ? wanted_count : 0;
  const int copied = wanted < pipeline->child_count ? wanted : pipeline->child_count;
  for (int i = 0; i < copied; ++i) status_vector[i] = pipeline->child_statuses[i];
  for (int i = copied; i < wanted; ++i) status_vector[i] = 0;
  return 1;
}

void pex_release(pex_pipeline *pipeline) {
  const pex_backend_ops *ops = pipeline->backend_ops;
  // Standard input is the caller's and is never closed.
  if (pipeline->pending_input_fd > 0) ops->close_descriptor(pipeline, pipeline->pending_input_fd);
  if (pipeline->error_pipe_fd > 0) ops->close_descriptor(pipeline, pipeline->error_pipe_fd);
  // An input stream that no stage consumed is still the pipeline's: the caller must not close
  // it, so nobody else would.
  if (pipeline->caller_input_stream != nullptr) fclose(pipeline->caller_input_stream);
  if (pipeline->caller_output_stream != nullptr) fclose(pipeline->caller_output_stream);
  if (pipeline->caller_error_stream != nullptr) fclose(pipeline->caller_error_stream);

  if (pipeline->waited_count < pipeline->child_count) {
    // Children being terminated have no times worth recording.
    pipeline->creation_flags &= ~PEX_KEEP_TIMES;
    const char *message = nullptr;
    int number = 0;
    pex_collect_statuses(pipeline, 1, &message, &number);
  }

  if (pipeline->pending_input_path_owned != 0) {
    free(const_cast<char *>(pipeline->pending_input_path));
  }
  free(pipeline->child_pids);
  free(pipeline->child_statuses);
  free(pipeline->child_times);
  for (int32_t i = 0; i < pipeline->cleanup_file_count; ++i) {
    remove(pipeline->cleanup_files[i]);
    free(pipeline->cleanup_files[i]);
  }
  free(pipeline->cleanup_files);
  if (ops->backend_cleanup != nullptr) ops->backend_cleanup(pipeline);
  free(pipeline);
}

const char *pex_run_once(int stage_flags, const char *program_path, char *const *arguments,
                         const char *program_name, const char *output_name, const char *errname,
                         int *wait_status, int *error_number) {
  pex_pipeline *pipeline = pex_pipeline_create_unix(0, program_name, nullptr);
  const char *message =
      pex_run_stage(pipeline, stage_flags, program_path, arguments, output_name, errname,
                    error_number);
  if (message == nullptr && pex_get_status(pipeline, 1, wait_status) == 0) {
    *error_number = 0;
    message = "pex_get_status failed";
  }
  pex_release(pipeline);
  return message;
}

}  // extern "C"
