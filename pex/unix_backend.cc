#include "pex/unix_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/error_text.h"

extern char **environ;

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
  char *const *environment;
  int input, output, error, close_in_child;
  int channel_read, channel_write;  // -1 without a report channel
  const char *program_name;
};

void put(int fd, const char *text, bool &failed) {
  if (write(fd, text, strlen(text)) < 0) failed = true;
}

// The vfork child. It runs on the parent's stack and in its memory until it execs or _exits, so
// it only moves and closes descriptors, points environ at the replacement (the parent restores
// it), calls the exec, writes the report or the fallback message, calls error_text and _exit.
[[noreturn]] void run_child(const child_plan &plan) {
  const char *step = nullptr;
  int error_number = 0;
  const int targets[3] = {0, 1, 2};
  const int sources[3] = {plan.input, plan.output, plan.error};

  if (plan.channel_read >= 0) close(plan.channel_read);
  for (int i = 0; i < 3 && step == nullptr; ++i) {
    if (sources[i] == targets[i]) continue;
    if (dup2(sources[i], targets[i]) < 0) {
      step = "dup2";
      error_number = errno;
    } else if (close(sources[i]) < 0) {
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
  if (step == nullptr) {
    if (plan.environment != nullptr) environ = const_cast<char **>(plan.environment);
    if ((plan.stage_flags & PEX_PATH_SEARCH) != 0) {
      execvp(plan.program, plan.arguments);
      step = "execvp";
    } else {
      execv(plan.program, plan.arguments);
      step = "execv";
    }
    error_number = errno;
  }

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

int spawn_child(pex_pipeline *pipeline, int stage_flags, const char *program,
                char *const *arguments, char *const *environment, int input, int output,
                int error, int close_in_child, const char **error_message, int *error_number) {
  // A C library may load its message texts on first use, allocating: have that happen here,
  // so that the child's error_text only reads.
  error_text(ENOENT);

  int channel[2];
  if (pipe2(channel, O_CLOEXEC) < 0) channel[0] = channel[1] = -1;
  const child_plan plan = {stage_flags, program,        arguments,  environment,
                           input,       output,         error,      close_in_child,
                           channel[0],  channel[1],     pipeline->program_name};
  char **const saved_environ = environ;

  pid_t pid = -1;
  int vfork_error = 0;
  for (unsigned pause = 1; pause <= 8; pause *= 2) {
    pid = vfork();
    if (pid >= 0) break;
    vfork_error = errno;
    sleep(pause);
  }
  if (pid == 0) run_child(plan);

  if (pid < 0) {
    if (channel[0] >= 0) {
      close(channel[0]);
      close(channel[1]);
    }
    *error_number = vfork_error;
    *error_message = "vfork";
    return -1;
  }

  environ = saved_environ;
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

int open_input(pex_pipeline *, const char *name, int) { return open(name, O_RDONLY); }

int open_output(pex_pipeline *, const char *name, int, int append) {
  return open(name, O_WRONLY | O_CREAT | (append != 0 ? O_APPEND : O_TRUNC), 0666);
}

int close_descriptor(pex_pipeline *, int fd) { return close(fd); }

int make_pipe(pex_pipeline *, int fds[2], int) { return pipe(fds); }

FILE *read_stream(pex_pipeline *, int fd, int) { return fdopen(fd, "r"); }

FILE *write_stream(pex_pipeline *, int fd, int) {
  // The caller writes this end; a child that inherited it would keep the reader from ever
  // seeing end of file.
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) return nullptr;
  return fdopen(fd, "w");
}

void backend_cleanup(pex_pipeline *) {}

}  // namespace

extern "C" const pex_backend_ops unix_backend = {
    open_input,  open_output, spawn_child,  close_descriptor, wait_child,
    make_pipe,   read_stream, write_stream, backend_cleanup,
};
