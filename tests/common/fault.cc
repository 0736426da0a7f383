// SPDX-License-Identifier: BSD-2-Clause
#include "fault.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fault {
namespace {

// Plain static data only: the wrappers also run in vfork children, where nothing may allocate.
struct State {
  bool armed;
  Rule rule;
  int injected;
};
State states[call_count];
pid_t test_pid;
unsigned sleeps[64];
int sleeps_recorded;

}  // namespace

void arm(Call call, Rule rule) {
  test_pid = getpid();
  states[call].armed = true;
  states[call].rule = rule;
  states[call].injected = 0;
}

void reset() {
  for (State &state : states) state = State{};
  sleeps_recorded = 0;
}

int injected(Call call) { return states[call].injected; }
int sleep_count() { return sleeps_recorded; }
unsigned sleep_seconds(int index) { return sleeps[index]; }

// Whether this call fails; sets errno when it does. Async-signal-safe.
static bool should_fail(Call call, int fd) {
  State &state = states[call];
  if (!state.armed) return false;
  const Rule &rule = state.rule;
  if (rule.fd >= 0 && fd != rule.fd) return false;
  if (rule.where != anywhere) {
    const bool in_child = getpid() != test_pid;
    if ((rule.where == child_only) != in_child) return false;
  }
  if (state.rule.skip > 0) {
    --state.rule.skip;
    return false;
  }
  if (rule.times == 0) return false;
  if (state.rule.times > 0) --state.rule.times;
  ++state.injected;
  errno = rule.error;
  return true;
}

}  // namespace fault

using fault::should_fail;

extern "C" {

int __real_pipe2(int fds[2], int flags);
int __real_pipe(int fds[2]);
int __real_dup2(int from, int to);
int __real_close(int fd);
ssize_t __real_write(int fd, const void *data, size_t size);
ssize_t __real_read(int fd, void *data, size_t size);
pid_t __real_waitpid(pid_t pid, int *status, int options);
pid_t __real_wait4(pid_t pid, int *status, int options, struct rusage *usage);
int __real_kill(pid_t pid, int signal);
int __real_mkstemps(char *name, int suffix_length);
int __real_mkostemps(char *name, int suffix_length, int flags);
int __real_sigaction(int signal, const struct sigaction *action, struct sigaction *old);
int __real_sigprocmask(int how, const sigset_t *set, sigset_t *old);
int __real_pthread_sigmask(int how, const sigset_t *set, sigset_t *old);
int __real_execv(const char *path, char *const *arguments);
int __real_execvp(const char *file, char *const *arguments);
int __real_execve(const char *path, char *const *arguments, char *const *environment);
char *__real_strerror(int errnum);
int __real_open(const char *path, int flags, ...);
int __real_fcntl(int fd, int command, ...);
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
char *__real_strdup(const char *text);

// Called from fault_vfork.S before it jumps to the real vfork, so that vfork returns straight
// into its caller.
int tolv_fault_vfork_should_fail(void) { return should_fail(fault::vfork_call, -1); }
int tolv_fault_vfork_fail(void) { return -1; }

unsigned int __wrap_sleep(unsigned int seconds) {
  if (fault::sleeps_recorded < 64) fault::sleeps[fault::sleeps_recorded++] = seconds;
  return 0;
}

int __wrap_pipe2(int fds[2], int flags) {
  return should_fail(fault::pipe2_call, -1) ? -1 : __real_pipe2(fds, flags);
}
int __wrap_pipe(int fds[2]) { return should_fail(fault::pipe_call, -1) ? -1 : __real_pipe(fds); }
int __wrap_dup2(int from, int to) {
  return should_fail(fault::dup2_call, to) ? -1 : __real_dup2(from, to);
}
int __wrap_close(int fd) { return should_fail(fault::close_call, fd) ? -1 : __real_close(fd); }
// A matching call with short_to set moves fewer bytes instead of failing.
static size_t shortened(fault::Call call, size_t size) {
  const int limit = fault::states[call].rule.short_to;
  return static_cast<size_t>(limit) < size ? static_cast<size_t>(limit) : size;
}
ssize_t __wrap_write(int fd, const void *data, size_t size) {
  if (!should_fail(fault::write_call, fd)) return __real_write(fd, data, size);
  if (fault::states[fault::write_call].rule.short_to < 0) return -1;
  return __real_write(fd, data, shortened(fault::write_call, size));
}
ssize_t __wrap_read(int fd, void *data, size_t size) {
  if (!should_fail(fault::read_call, fd)) return __real_read(fd, data, size);
  if (fault::states[fault::read_call].rule.short_to < 0) return -1;
  return __real_read(fd, data, shortened(fault::read_call, size));
}
pid_t __wrap_waitpid(pid_t pid, int *status, int options) {
  return should_fail(fault::waitpid_call, -1) ? -1 : __real_waitpid(pid, status, options);
}
pid_t __wrap_wait4(pid_t pid, int *status, int options, struct rusage *usage) {
  return should_fail(fault::wait4_call, -1) ? -1 : __real_wait4(pid, status, options, usage);
}
int __wrap_kill(pid_t pid, int signal) {
  return should_fail(fault::kill_call, -1) ? -1 : __real_kill(pid, signal);
}
int __wrap_mkstemps(char *name, int suffix_length) {
  return should_fail(fault::mkstemps_call, -1) ? -1 : __real_mkstemps(name, suffix_length);
}
int __wrap_mkostemps(char *name, int suffix_length, int flags) {
  return should_fail(fault::mkostemps_call, -1) ? -1
                                                : __real_mkostemps(name, suffix_length, flags);
}
int __wrap_sigaction(int signal, const struct sigaction *action, struct sigaction *old) {
  return should_fail(fault::sigaction_call, signal) ? -1 : __real_sigaction(signal, action, old);
}
int __wrap_sigprocmask(int how, const sigset_t *set, sigset_t *old) {
  return should_fail(fault::sigprocmask_call, -1) ? -1 : __real_sigprocmask(how, set, old);
}
// pthread_sigmask returns its error number instead of setting errno.
int __wrap_pthread_sigmask(int how, const sigset_t *set, sigset_t *old) {
  return should_fail(fault::pthread_sigmask_call, -1) ? errno : __real_pthread_sigmask(how, set, old);
}
int __wrap_execv(const char *path, char *const *arguments) {
  return should_fail(fault::execv_call, -1) ? -1 : __real_execv(path, arguments);
}
int __wrap_execvp(const char *file, char *const *arguments) {
  return should_fail(fault::execvp_call, -1) ? -1 : __real_execvp(file, arguments);
}
int __wrap_execve(const char *path, char *const *arguments, char *const *environment) {
  return should_fail(fault::execve_call, -1) ? -1 : __real_execve(path, arguments, environment);
}
char *__wrap_strerror(int errnum) {
  return should_fail(fault::strerror_call, -1) ? nullptr : __real_strerror(errnum);
}
int __wrap_open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  return should_fail(fault::open_call, -1) ? -1 : __real_open(path, flags, mode);
}
int __wrap_fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void *argument = va_arg(args, void *);
  va_end(args);
  return should_fail(fault::fcntl_call, fd) ? -1 : __real_fcntl(fd, command, argument);
}

void *__wrap_malloc(size_t size) {
  return should_fail(fault::malloc_call, -1) ? nullptr : __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size) {
  return should_fail(fault::calloc_call, -1) ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *block, size_t size) {
  return should_fail(fault::realloc_call, -1) ? nullptr : __real_realloc(block, size);
}
char *__wrap_strdup(const char *text) {
  return should_fail(fault::strdup_call, -1) ? nullptr : __real_strdup(text);
}

}  // extern "C"
