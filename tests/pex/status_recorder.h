// SPDX-License-Identifier: BSD-2-Clause
// The Unix backend with its wait_child remembering the last status it collected, for tests that
// look at a status after the pipeline holding it has been released.
#pragma once

#include "pex/unix_backend.h"

namespace testing_support {

/// The last status a pipeline bound to status_recording_backend() waited for.
inline int last_waited_status = 0;

inline const pex_backend_ops *status_recording_backend() {
  static const pex_backend_ops ops = [] {
    pex_backend_ops recording = unix_backend;
    recording.wait_child = [](pex_pipeline *pipeline, int pid, int *status, pex_cpu_times *times,
                              int kill_first, const char **message, int *error_number) {
      const int result =
          unix_backend.wait_child(pipeline, pid, status, times, kill_first, message, error_number);
      last_waited_status = *status;
      return result;
    };
    return recording;
  }();
  return &ops;
}

}  // namespace testing_support
