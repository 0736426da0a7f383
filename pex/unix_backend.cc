// SPDX-License-Identifier: BSD-2-Clause
#include "pex/unix_backend.h"
#include "pex/unix_backend_private.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <paths.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/alloc.h"
#include "support/descriptor_guard.h"
#include "support/error_text.h"

namespace {

// What a child that cannot run its program tells its parent, in one write of 16 bytes. The step
// is the address of a constant text: valid in the parent, which runs the same image.
struct failure_report {
  const char *step;
  int32_t error_number;
  int32_t unused;
};
static_assert(sizeof(failure_report) == 16, "the report is 16 bytes on the wire");

// Everything the child needs, prepared before vfork: the child itself builds nothing.
struct child_plan {
  int stage_flags;
  const char *program;
  char *const *arguments;
  char *const *environment;  // null: the caller's
  int input, output, error, close_in_child;
  int channel_read, channel_write;  // -1 without a report channel
  bool clear_close_on_exec[3];      // a standard descriptor inherited as it is, but so marked
  bool holding;                     // the standard numbers are held while the child starts
  const char *program_name;
  int highest_signal;    // handlers are reset from signal 1 up to this one; 0: none, and no
                         // signal is blocked around the start
  sigset_t caller_mask;  // the calling thread's mask, which the program starts with
  // A path search in the child, only with PEX_PATH_SEARCH and a replacement environment:
  const char *search_path;  // the replacement's PATH, or the system's; null: no search
  char **shell_arguments;   // "sh", a slot for the file, the arguments after element 0
};

void put(int fd, const char *text, bool &failed) {
  if (write(fd, text, strlen(text)) < 0) failed = true;
}

// The vfork child. Until it execs or _exits it runs in the caller's memory and on its stack,
// while the caller's other threads may run on: so it calls only async-signal-safe functions,
// never allocates, and writes no memory but its own stack frame, the file slot of
// plan.shell_arguments and error_text's fallback buffer. It moves and closes descriptors, resets
// handled signals to their default action, restores the caller's signal mask, execs, and on
// failure writes the report or the fallback message and leaves with _exit. Every signal is
// blocked on entry (the parent saw to it), so no handler of the caller's can run here.
[[noreturn]] void run_child(const child_plan &plan) {
  const char *step = nullptr;
  int error_number = 0;
  const int sources[3] = {plan.input, plan.output, plan.error};

  if (plan.channel_read >= 0) close(plan.channel_read);
  for (int target = 0; target < 3 && step == nullptr; ++target) {
    if (sources[target] == target) {
      // The caller's own descriptor goes to the program even if the caller marked it
      // close-on-exec (the parent found it so); a closed one stays closed.
      if (plan.clear_close_on_exec[target]) {
        const int flags = fcntl(target, F_GETFD);
        if (flags != -1) fcntl(target, F_SETFD, flags & ~FD_CLOEXEC);
      }
    } else if (dup2(sources[target], target) < 0) {
      step = "dup2";
      error_number = errno;
    } else if (close(sources[target]) < 0) {
      step = "close";
      error_number = errno;
    }
  }
  if (step == nullptr && plan.close_in_child >= 0 && close(plan.close_in_child) < 0) {
    step = "close";
    error_number = errno;
  }
  if (step == nullptr && (plan.stage_flags & PEX_ERR_TO_OUT) != 0 && dup2(1, 2) < 0) {
    step = "dup2";
    error_number = errno;
  }

  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int number = 1; number <= plan.highest_signal && step == nullptr; ++number) {
    // These two can have no handler. A number the C library keeps for itself refuses the
    // question, and has no handler of the caller's either.
    struct sigaction action;
    if (number == SIGKILL || number == SIGSTOP) continue;
    if (sigaction(number, nullptr, &action) < 0) continue;
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) continue;
    if (sigaction(number, &default_action, nullptr) < 0) {
      step = "sigaction";
      error_number = errno;
    }
  }
  if (step == nullptr && plan.highest_signal > 0 &&
      sigprocmask(SIG_SETMASK, &plan.caller_mask, nullptr) < 0) {
    step = "sigprocmask";
    error_number = errno;
  }

  const bool search = (plan.stage_flags & PEX_PATH_SEARCH) != 0;
  if (step == nullptr && plan.environment == nullptr) {
    if (search) {
      execvp(plan.program, plan.arguments);
    } else {
      execv(plan.program, plan.arguments);
    }
    error_number = errno;
  } else if (step == nullptr && plan.search_path == nullptr) {
    // No search, or a name that is not searched (it has a '/', or is empty): as it is.
    execve(plan.program, plan.arguments, plan.environment);
    error_number = errno;
    if (search && error_number == ENOEXEC) {
      plan.shell_arguments[1] = const_cast<char *>(plan.program);
      execve("/bin/sh", plan.shell_arguments, plan.environment);
      error_number = errno;
    }
  } else if (step == nullptr) {
    // execvp's search, along the replacement's PATH: an empty element is the working directory;
    // a file the system cannot run goes to the shell; a denied candidate is remembered and
    // reported if none runs; an error other than "not found here" ends the search.
    char candidate[PATH_MAX];
    const size_t name_length = strlen(plan.program);
    bool denied = false;
    const char *element = plan.search_path;
    for (;;) {
      const char *end = strchr(element, ':');
      if (end == nullptr) end = element + strlen(element);
      const char *directory = end > element ? element : ".";
      const size_t length = end > element ? static_cast<size_t>(end - element) : 1;
      if (length + 1 + name_length < sizeof candidate) {
        memcpy(candidate, directory, length);
        candidate[length] = '/';
        memcpy(candidate + length + 1, plan.program, name_length + 1);
        execve(candidate, plan.arguments, plan.environment);
        error_number = errno;
      } else {
        error_number = ENAMETOOLONG;
      }
      if (error_number == ENOEXEC) {
        plan.shell_arguments[1] = candidate;
        execve("/bin/sh", plan.shell_arguments, plan.environment);
        error_number = errno;
        break;
      }
      if (error_number == EACCES) {
        denied = true;
      } else if (error_number != ENOENT && error_number != ENOTDIR && error_number != ELOOP &&
                 error_number != ENAMETOOLONG) {
        break;
      }
      if (*end == '\0') {
        if (denied) error_number = EACCES;
        break;
      }
      element = end + 1;
    }
  }
  if (step == nullptr) step = search ? "execvp" : "execv";

  if (plan.channel_write >= 0) {
    const failure_report report = {step, error_number, 0};
    if (write(plan.channel_write, &report, sizeof report) == sizeof report) _exit(-1);
  }
  // No channel, or the report did not go through: say it on the child's standard error, piece
  // by piece, since nothing may be assembled in memory here.
  bool failed = false;
  put(2, plan.program_name, failed);
  put(2, ": error trying to exec '", failed);
  put(2, plan.program, failed);
  put(2, "': ", failed);
  put(2, step, failed);
  put(2, ": ", failed);
  put(2, error_text(error_number), failed);
  put(2, "\n", failed);
  _exit(failed ? -2 : -1);
}

// Reads the child's report: 16 bytes, or end of file when the exec succeeded. Interrupted and
// short reads are resumed, so that a signal in the parent cannot lose a report.
bool read_report(int channel, failure_report &report) {
  size_t got = 0;
  char *into = reinterpret_cast<char *>(&report);
  while (got < sizeof report) {
    const ssize_t result = read(channel, into + got, sizeof report - got);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    got += static_cast<size_t>(result);
  }
  // A partial record carries no usable address: treat it as no report at all, as when the
  // report could not be written (the child then says why on its standard error).
  return got == sizeof report;
}

pid_t wait_interruptible(pid_t pid, int *status, struct rusage *usage) {
  pid_t result;
  if (usage != nullptr) {
    while ((result = wait4(pid, status, 0, usage)) < 0 && errno == EINTR) {
    }
  } else {
    while ((result = waitpid(pid, status, 0)) < 0 && errno == EINTR) {
    }
  }
  return result;
}

// The PATH that a search with a replacement environment walks: the environment's own, else the
// default that the system's execvp takes when PATH is unset (into `room`). FreeBSD's is
// _PATH_DEFPATH, which is wider than its _CS_PATH; glibc's and most others' is _CS_PATH.
const char *search_path_of(char *const *environment, char *room, size_t room_size) {
  for (char *const *entry = environment; *entry != nullptr; ++entry) {
    if (strncmp(*entry, "PATH=", 5) == 0) return *entry + 5;
  }
#ifdef __FreeBSD__
  (void)room;
  (void)room_size;
  return _PATH_DEFPATH;
#else
  const size_t needed = confstr(_CS_PATH, room, room_size);
  return needed > 0 && needed <= room_size ? room : "/usr/bin:/bin";
#endif
}

// The shell's argument vector for a file the system cannot run: "sh", the file (a slot the
// child fills), then the arguments after element 0. One heap block; the caller frees it.
char **shell_arguments_for(char *const *arguments) {
  size_t count = 0;
  while (arguments != nullptr && arguments[count] != nullptr) ++count;
  const size_t after_name = count > 0 ? count - 1 : 0;
  char **shell = static_cast<char **>(must_malloc((after_name + 3) * sizeof(char *)));
  shell[0] = const_cast<char *>("sh");
  shell[1] = nullptr;
  for (size_t i = 0; i < after_name; ++i) shell[i + 2] = arguments[i + 1];
  shell[after_name + 2] = nullptr;
  return shell;
}

bool marked_close_on_exec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

// Which standard descriptors, inherited as they are, the child must clear the close-on-exec mark
// of. One that is closed or unmarked is left alone. A marked one is the caller's, or, when the
// caller closed that number, another thread's descriptor that is being made: then the numbers
// are held still (plan.holding) until the child has exec'd, and looked at again. The library's
// own descriptors are always marked, so a look without holding cannot mistake one of them.
// (The results live in the plan, not in locals, which vfork could clobber.)
void mark_inherited_standard_descriptors(child_plan &plan) {
  const int sources[3] = {plan.input, plan.output, plan.error};
  plan.holding = false;
  for (int target = 0; target < 3; ++target) {
    plan.clear_close_on_exec[target] = false;
    if (unix_backend_plain_program == 0 && sources[target] == target &&
        marked_close_on_exec(target)) {
      plan.holding = true;
    }
  }
  if (!plan.holding) return;
  plan.holding = standard_descriptors_hold() != 0;
  for (int target = 0; target < 3; ++target) {
    plan.clear_close_on_exec[target] = sources[target] == target && marked_close_on_exec(target);
  }
}

int spawn_child(pex_pipeline *pipeline, int stage_flags, const char *program,
                char *const *arguments, char *const *environment, int input, int output,
                int error, int close_in_child, const char **error_message, int *error_number) {
  // A C library may load its message texts on first use, allocating: have that happen here,
  // so that the child's error_text only reads.
  error_text(ENOENT);

  child_plan plan = {};
  plan.stage_flags = stage_flags;
  plan.program = program;
  plan.arguments = arguments;
  plan.environment = environment;
  plan.input = input;
  plan.output = output;
  plan.error = error;
  plan.close_in_child = close_in_child;
  plan.program_name = pipeline->program_name;
  // Asked here: a function call in some C libraries. Not NSIG - 1, which on some systems counts
  // only the classic signals (FreeBSD: 31, with real-time signals up to 126). None at all in a
  // program with no handlers to reset.
  plan.highest_signal = unix_backend_plain_program != 0 ? 0 : SIGRTMAX;
  // execvp would search the caller's environment, not the one the child is given: with a
  // replacement environment the child searches itself.
  char default_path[256];
  if (environment != nullptr && (stage_flags & PEX_PATH_SEARCH) != 0) {
    if (program[0] != '\0' && strchr(program, '/') == nullptr) {
      plan.search_path = search_path_of(environment, default_path, sizeof default_path);
    }
    plan.shell_arguments = shell_arguments_for(arguments);
  }

  int channel[2];
  if (descriptor_pipe(channel) < 0) channel[0] = channel[1] = -1;
  plan.channel_read = channel[0];
  plan.channel_write = channel[1];

  // Every signal stays blocked from before vfork until the child has reset the handlers, so
  // that no handler of the caller's runs in the child, in the caller's memory. The parent's
  // mask is restored as soon as vfork returns.
  sigset_t all_signals;
  sigfillset(&all_signals);
  pid_t pid = -1;
  int start_error = 0;
  const char *start_step = "vfork";
  for (unsigned pause = 1; pause <= 8; pause *= 2) {
    // Without handlers there is nothing to keep out of the child: a signal that reaches it
    // before the exec has the effect it would have right after.
    const int block_error = plan.highest_signal > 0
                                ? pthread_sigmask(SIG_SETMASK, &all_signals, &plan.caller_mask)
                                : 0;
    if (block_error != 0) {
      start_error = block_error;
      start_step = "sigprocmask";
      break;
    }
    mark_inherited_standard_descriptors(plan);
    pid = vfork();
    if (pid == 0) run_child(plan);
    start_error = errno;
    standard_descriptors_release(plan.holding);
    // Cannot fail: the mask is the one the call above returned.
    if (plan.highest_signal > 0) pthread_sigmask(SIG_SETMASK, &plan.caller_mask, nullptr);
    if (pid > 0) break;
    sleep(pause);
  }
  free(plan.shell_arguments);

  if (pid < 0) {
    if (channel[0] >= 0) {
      close(channel[0]);
      close(channel[1]);
    }
    *error_number = start_error;
    *error_message = start_step;
    return -1;
  }

  failure_report report;
  report.step = nullptr;
  if (channel[0] >= 0) {
    close(channel[1]);
    if (!read_report(channel[0], report)) report.step = nullptr;
    close(channel[0]);
  }

  if (report.step != nullptr) {
    // The child has ended; reap it here, since nobody else learns its process id.
    wait_interruptible(pid, nullptr, nullptr);
    *error_number = report.error_number;
    *error_message = report.step;
    return -1;
  }

  const int parent_copies[3][2] = {{input, 0}, {output, 1}, {error, 2}};
  for (const auto &[fd, standard] : parent_copies) {
    if (fd == standard || close(fd) == 0) continue;
    *error_number = errno;
    *error_message = "close";
    // The stage is reported as not started, so the child must not outlive the call unseen. A
    // program may ignore SIGTERM, and waiting for it to end by itself could wait forever.
    kill(pid, SIGKILL);
    wait_interruptible(pid, nullptr, nullptr);
    return -1;
  }
  return pid;
}

int wait_child(pex_pipeline *, int pid, int *status, pex_cpu_times *times, int terminate_first,
               const char **error_message, int *error_number) {
  if (terminate_first != 0) kill(pid, SIGTERM);
  struct rusage usage;
  if (wait_interruptible(pid, status, times != nullptr ? &usage : nullptr) < 0) {
    *error_number = errno;
    *error_message = "wait";
    if (times != nullptr) *times = pex_cpu_times{};
    return -1;
  }
  if (times != nullptr) {
    times->user_sec = usage.ru_utime.tv_sec;
    times->user_usec = usage.ru_utime.tv_usec;
    times->sys_sec = usage.ru_stime.tv_sec;
    times->sys_usec = usage.ru_stime.tv_usec;
  }
  return 0;
}

// Files and pipes are close-on-exec from the start and above the standard descriptors
// (support/descriptor_guard.h): a child that another thread starts meanwhile inherits none of
// them.
int open_input(pex_pipeline *, const char *name, int) { return descriptor_open(name, O_RDONLY); }

int open_output(pex_pipeline *, const char *name, int, int append) {
  return descriptor_open(name, O_WRONLY | O_CREAT | (append != 0 ? O_APPEND : O_TRUNC));
}

int close_descriptor(pex_pipeline *, int fd) { return close(fd); }

int make_pipe(pex_pipeline *, int fds[2], int) { return descriptor_pipe(fds); }

FILE *read_stream(pex_pipeline *, int fd, int) { return fdopen(fd, "r"); }

FILE *write_stream(pex_pipeline *, int fd, int) {
  // The caller writes this end; a child that inherited it would keep the reader from ever
  // seeing end of file. The backend's own pipes are close-on-exec already, but a descriptor
  // from elsewhere may not be.
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) return nullptr;
  return fdopen(fd, "w");
}

void backend_cleanup(pex_pipeline *) {}

}  // namespace

int unix_backend_plain_program = 0;

extern "C" const pex_backend_ops unix_backend = {
    open_input,  open_output, spawn_child,  close_descriptor, wait_child,
    make_pipe,   read_stream, write_stream, backend_cleanup,
};
