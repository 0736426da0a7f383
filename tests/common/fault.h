// SPDX-License-Identifier: BSD-2-Clause
// Test-only seam: the system calls listed in tests/CMakeLists.txt are linked through wrappers
// that pass them to the system unless a test has armed a failure for them.
#pragma once

#include <sys/types.h>

namespace fault {

enum Call {
  vfork_call, pipe2_call, pipe_call, dup2_call, close_call, write_call, read_call,
  waitpid_call, wait4_call, kill_call, mkstemps_call, strerror_call, open_call, fcntl_call,
  mkostemps_call, sigaction_call, sigprocmask_call, pthread_sigmask_call, execv_call,
  execvp_call, execve_call,
  malloc_call, calloc_call, realloc_call, strdup_call,  // from the project's own code only
  call_count
};

// Which process a rule applies to: a vfork child runs in the test's memory, so the wrappers can
// tell it from the test process only by its process id.
enum Where { anywhere, child_only, parent_only };

struct Rule {
  int error = 0;          // errno to leave (strerror: ignored, it returns null)
  int skip = 0;           // matching calls that succeed before the first failure
  int times = -1;         // failures to inject; -1 for every matching call
  int fd = -1;            // only calls on this descriptor (dup2: the target; sigaction: the
                          // signal); -1 for any
  Where where = anywhere;
  int short_to = -1;      // read, write: instead of failing, move at most this many bytes
};

/// Arms a failure for one call, replacing any earlier rule for it.
void arm(Call call, Rule rule);
/// Disarms every rule and forgets the recorded pauses.
void reset();
/// How many failures were injected for the call since it was armed.
int injected(Call call);

/// Pauses asked of sleep(); test builds never really sleep.
int sleep_count();
unsigned sleep_seconds(int index);

/// Disarms everything when the test ends, whatever its outcome.
struct Scope {
  Scope() { reset(); }
  ~Scope() { reset(); }
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;
};

}  // namespace fault
