// SPDX-License-Identifier: BSD-2-Clause
#include "pex/unix_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "common/fault.h"
#include "common/process_check.h"

extern char **environ;

namespace {

using testing_support::read_file;
using testing_support::TempDir;

bool is_open(int fd) { return fcntl(fd, F_GETFD) >= 0; }

// Everything readable from a descriptor without blocking once the writers are gone.
std::string drain(int fd) {
  std::string text;
  char buffer[512];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

struct Pipe {
  int read_end = -1, write_end = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read_end = fds[0];
      write_end = fds[1];
    }
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (read_end >= 0) close(read_end);
    read_end = -1;
  }
  void close_write() {
    if (write_end >= 0) close(write_end);
    write_end = -1;
  }
  // The backend took the write end over.
  void handed_over() { write_end = -1; }
};

class UnixBackendTest : public testing_support::ProcessTest {
 protected:
  struct Spawned {
    int pid;
    const char *message = nullptr;
    int error_number = 0;
  };

  Spawned spawn(int flags, std::vector<std::string> args, int in = 0, int out = 1, int err = 2,
                int close_in_child = -1, char *const *environment = nullptr,
                const char *program = TOLV_TEST_CHILD) {
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Spawned result{};
    result.pid = unix_backend.spawn_child(&pipeline_, flags, program, argv.data(), environment,
                                          in, out, err, close_in_child, &result.message,
                                          &result.error_number);
    return result;
  }

  int wait_for(int pid, pex_cpu_times *times = nullptr, int terminate_first = 0) {
    int status = -12345;
    const char *message = nullptr;
    int error_number = 0;
    EXPECT_EQ(0, unix_backend.wait_child(&pipeline_, pid, &status, times, terminate_first,
                                         &message, &error_number));
    EXPECT_EQ(nullptr, message);
    return status;
  }

  void SetUp() override {
    ProcessTest::SetUp();
    pipeline_.program_name = "tolv-test";
  }

  pex_pipeline pipeline_{};
  fault::Scope faults_;
};

TEST_F(UnixBackendTest, ExecSuccessClosesTheParentCopiesOnly) {
  Pipe out, err;
  Pipe in;
  in.close_write();
  Pipe unrelated;
  const Spawned child =
      spawn(0, {"child", "print", "hello", "eprint", "oops", "exit", "3"}, in.read_end,
            out.write_end, err.write_end, unrelated.read_end);
  ASSERT_GT(child.pid, 0) << child.message;
  EXPECT_FALSE(is_open(in.read_end));
  EXPECT_FALSE(is_open(out.write_end));
  EXPECT_FALSE(is_open(err.write_end));
  EXPECT_TRUE(is_open(unrelated.read_end)) << "the child's descriptor to close stays the parent's";
  in.read_end = -1;
  out.handed_over();
  err.handed_over();
  EXPECT_EQ("hello", drain(out.read_end));
  EXPECT_EQ("oops", drain(err.read_end));
  const int status = wait_for(child.pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(3, WEXITSTATUS(status));
}

TEST_F(UnixBackendTest, StandardDescriptorsAreNeitherMovedNorClosed) {
  // Every dup2, and every close in the child, would fail: the child may close only its end of
  // the report channel (whose result it ignores).
  fault::arm(fault::dup2_call, {.error = EBADF});
  fault::arm(fault::close_call, {.error = EBADF, .where = fault::child_only});
  const Spawned child = spawn(0, {"child", "exit", "0"});
  ASSERT_GT(child.pid, 0) << child.message;
  EXPECT_EQ(0, wait_for(child.pid));
  EXPECT_EQ(0, fault::injected(fault::dup2_call));
  EXPECT_EQ(1, fault::injected(fault::close_call));
  EXPECT_TRUE(is_open(0) && is_open(1) && is_open(2));
}

TEST_F(UnixBackendTest, DescriptorToCloseIsClosedInTheChild) {
  Pipe out, extra;
  const Spawned child = spawn(0, {"child", "fds"}, 0, out.write_end, 2, extra.read_end);
  ASSERT_GT(child.pid, 0) << child.message;
  out.handed_over();
  const std::string fds = drain(out.read_end);
  EXPECT_EQ(std::string::npos, (" " + fds).find(" " + std::to_string(extra.read_end) + " "))
      << fds;
  EXPECT_EQ(0, wait_for(child.pid));
}

TEST_F(UnixBackendTest, ExecFailureComesBackThroughTheChannel) {
  struct Case {
    int flags;
    const char *program;
    const char *step;
  } cases[] = {
      {PEX_PATH_SEARCH, "tolv-no-such-program", "execvp"},
      {0, "/nonexistent/tolv-no-such-program", "execv"},
      {0, "tolv-no-such-program", "execv"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.program);
    Pipe out, err;
    const Spawned child =
        spawn(c.flags, {"x"}, 0, out.write_end, err.write_end, -1, nullptr, c.program);
    EXPECT_EQ(-1, child.pid);
    EXPECT_STREQ(c.step, child.message);
    EXPECT_EQ(ENOENT, child.error_number);
    // The descriptors are still the caller's, and the child said nothing on its error output.
    EXPECT_TRUE(is_open(out.write_end));
    EXPECT_TRUE(is_open(err.write_end));
    err.close_write();
    EXPECT_EQ("", drain(err.read_end));
  }
}

TEST_F(UnixBackendTest, ChildSideFailuresAreNamed) {
  struct Case {
    const char *name;
    fault::Call call;
    int fd;
    int skip;
    const char *step;
  } cases[] = {
      {"dup2 onto standard input", fault::dup2_call, 0, 0, "dup2"},
      {"dup2 onto standard output", fault::dup2_call, 1, 0, "dup2"},
      {"dup2 onto standard error", fault::dup2_call, 2, 0, "dup2"},
      {"dup2 for PEX_ERR_TO_OUT", fault::dup2_call, 2, 1, "dup2"},
      // The first close in the child is its channel end, whose result is ignored.
      {"close after a move", fault::close_call, -1, 1, "close"},
      {"close of the descriptor to close", fault::close_call, -1, 4, "close"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Pipe in, out, err, extra;
    in.close_write();
    fault::arm(c.call, {.error = EMFILE, .skip = c.skip, .times = 1, .fd = c.fd,
                        .where = fault::child_only});
    const Spawned child = spawn(PEX_ERR_TO_OUT, {"child"}, in.read_end, out.write_end,
                                err.write_end, extra.read_end);
    const int injected = fault::injected(c.call);
    fault::reset();
    EXPECT_EQ(1, injected);
    EXPECT_EQ(-1, child.pid);
    EXPECT_STREQ(c.step, child.message);
    EXPECT_EQ(EMFILE, child.error_number);
    EXPECT_TRUE(is_open(in.read_end) && is_open(out.write_end) && is_open(err.write_end));
  }
}

TEST_F(UnixBackendTest, WithoutAChannelTheChildWritesTheFallbackMessage) {
  const std::string expected = "tolv-test: error trying to exec 'tolv-no-such-program': execvp: " +
                               std::string(strerror(ENOENT)) + "\n";
  struct Case {
    const char *name;
    bool channel;
    fault::Rule write_rule;  // times 0: no write fails
    int exit_status;
    const char *message;     // null: not checked
  } cases[] = {
      {"no channel", false, {.times = 0}, 255, expected.c_str()},
      {"report write failing", true, {.error = EIO, .times = 1, .where = fault::child_only}, 255,
       expected.c_str()},
      {"a middle piece of the message failing", false,
       {.error = EIO, .skip = 3, .times = 1, .fd = 2, .where = fault::child_only}, 254, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Pipe err;
    if (!c.channel) fault::arm(fault::pipe2_call, {.error = EMFILE});
    fault::arm(fault::write_call, c.write_rule);
    const Spawned child =
        spawn(PEX_PATH_SEARCH, {"x"}, 0, 1, err.write_end, -1, nullptr, "tolv-no-such-program");
    fault::reset();
    ASSERT_GT(child.pid, 0) << "the failure is invisible to the parent";
    err.handed_over();
    const std::string written = drain(err.read_end);
    if (c.message != nullptr) {
      EXPECT_EQ(c.message, written);
    }
    const int status = wait_for(child.pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(c.exit_status, WEXITSTATUS(status));
  }
}

TEST_F(UnixBackendTest, FallbackMessageGoesOutInEightWrites) {
  // Without a channel, the message is the child's only writes on its error output: a failure of
  // the eighth write shows in the exit status, a failure of a ninth could not.
  for (int skip : {7, 8}) {
    SCOPED_TRACE(skip);
    Pipe err;
    fault::arm(fault::pipe2_call, {.error = EMFILE});
    fault::arm(fault::write_call, {.error = EIO, .skip = skip, .fd = 2, .where = fault::child_only});
    const Spawned child = spawn(0, {"x"}, 0, 1, err.write_end, -1, nullptr, "/nonexistent/tolv-x");
    ASSERT_GT(child.pid, 0);
    err.handed_over();
    drain(err.read_end);
    EXPECT_EQ(skip == 7 ? 254 : 255, WEXITSTATUS(wait_for(child.pid)));
    fault::reset();
  }
}

TEST_F(UnixBackendTest, ReportSurvivesShortReadsAndAShortWriteIsNoReport) {
  // Read a byte at a time: the report still arrives whole.
  fault::arm(fault::read_call, {.where = fault::parent_only, .short_to = 1});
  const Spawned failed = spawn(0, {"x"}, 0, 1, 2, -1, nullptr, "/nonexistent/x");
  fault::reset();
  EXPECT_EQ(-1, failed.pid);
  EXPECT_STREQ("execv", failed.message);
  EXPECT_EQ(ENOENT, failed.error_number);

  // Only half the report gets through: the parent cannot use it, and the child says why on its
  // error output instead.
  Pipe err;
  fault::arm(fault::write_call, {.times = 1, .where = fault::child_only, .short_to = 8});
  const Spawned child = spawn(0, {"x"}, 0, 1, err.write_end, -1, nullptr, "/nonexistent/x");
  fault::reset();
  ASSERT_GT(child.pid, 0);
  err.handed_over();
  EXPECT_EQ("tolv-test: error trying to exec '/nonexistent/x': execv: " +
                std::string(strerror(ENOENT)) + "\n",
            drain(err.read_end));
  EXPECT_EQ(255, WEXITSTATUS(wait_for(child.pid)));
}

TEST_F(UnixBackendTest, FailedParentCloseReportsAndLeavesNoChild) {
  Pipe in, out, err;
  in.close_write();
  fault::arm(fault::close_call, {.error = EIO, .fd = out.write_end, .where = fault::parent_only});
  const Spawned child =
      spawn(0, {"child", "sleep", "100000000"}, in.read_end, out.write_end, err.write_end);
  fault::reset();
  EXPECT_EQ(-1, child.pid);
  EXPECT_STREQ("close", child.message);
  EXPECT_EQ(EIO, child.error_number);
  EXPECT_FALSE(is_open(in.read_end)) << "closed before the failing one";
  in.read_end = -1;
  EXPECT_TRUE(is_open(out.write_end)) << "the failing one and those after it stay open";
  EXPECT_TRUE(is_open(err.write_end));
}

TEST_F(UnixBackendTest, SignalSetupFailuresAreNamed) {
  // A handler on the highest signal number, so that the child must reset it.
  struct sigaction handler = {}, previous;
  handler.sa_handler = [](int) {};
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(0, sigaction(SIGRTMAX, &handler, &previous));
  sigset_t mask_before;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask_before);
  struct Case {
    const char *name;
    fault::Call call;
    fault::Rule rule;
    const char *step;
  } cases[] = {
      {"blocking every signal in the parent", fault::pthread_sigmask_call,
       {.error = EINVAL, .times = 1, .where = fault::parent_only}, "sigprocmask"},
      // The first call on the signal asks for its action; the second resets it.
      {"resetting a handler in the child", fault::sigaction_call,
       {.error = EINVAL, .skip = 1, .times = 1, .fd = SIGRTMAX, .where = fault::child_only},
       "sigaction"},
      {"restoring the mask in the child", fault::sigprocmask_call,
       {.error = EINVAL, .times = 1, .where = fault::child_only}, "sigprocmask"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Pipe in, out, err;
    in.close_write();
    fault::arm(c.call, c.rule);
    const Spawned child =
        spawn(0, {"child"}, in.read_end, out.write_end, err.write_end, -1);
    const int injected = fault::injected(c.call);
    fault::reset();
    EXPECT_EQ(1, injected);
    EXPECT_EQ(-1, child.pid);
    EXPECT_STREQ(c.step, child.message);
    EXPECT_EQ(EINVAL, child.error_number);
    EXPECT_TRUE(is_open(in.read_end) && is_open(out.write_end) && is_open(err.write_end));
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
      EXPECT_EQ(sigismember(&mask_before, signal_number), sigismember(&mask, signal_number))
          << "signal " << signal_number << " in the parent's mask";
    }
  }
  sigaction(SIGRTMAX, &previous, nullptr);
}

// Closes the test's standard input for the scope, as a caller may have it closed.
struct WithoutStandardInput {
  int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
  WithoutStandardInput() { close(0); }
  ~WithoutStandardInput() {
    dup2(saved, 0);
    close(saved);
  }
};

TEST_F(UnixBackendTest, NewDescriptorsAreCloseOnExecAndAboveTheStandardOnes) {
  TempDir dir;
  const std::string path = dir / "file";
  testing_support::write_file(path, "");
  // Whatever each operation made; -1 when it failed.
  const auto made_by = [&](const std::string &operation) -> std::vector<int> {
    if (operation == "open_input") return {unix_backend.open_input(&pipeline_, path.c_str(), 0)};
    if (operation == "open_output") {
      return {unix_backend.open_output(&pipeline_, path.c_str(), 0, 0)};
    }
    int fds[2];
    if (unix_backend.make_pipe(&pipeline_, fds, 0) < 0) return {-1};
    return {fds[0], fds[1]};
  };
  for (const char *operation : {"make_pipe", "open_input", "open_output"}) {
    SCOPED_TRACE(operation);
    WithoutStandardInput closed;
    const std::set<int> before = testing_support::open_descriptors();
    for (int fd : made_by(operation)) {
      EXPECT_GT(fd, 2);
      EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
      close(fd);
    }
    EXPECT_FALSE(is_open(0));

    // The new descriptor landed on 0 and could not be moved: nothing is left open.
    fault::arm(fault::fcntl_call, {.error = EMFILE, .fd = 0});
    errno = 0;
    EXPECT_EQ(std::vector<int>{-1}, made_by(operation));
    EXPECT_EQ(EMFILE, errno);
    EXPECT_EQ(1, fault::injected(fault::fcntl_call));
    fault::reset();
    EXPECT_EQ(before, testing_support::open_descriptors());
  }
}

TEST_F(UnixBackendTest, ReportChannelStaysOffTheStandardDescriptors) {
  // With standard input closed, the channel's read end lands on 0. Moved off it, the channel
  // carries the report; when it cannot be moved, the spawn goes on without a channel.
  for (bool movable : {true, false}) {
    SCOPED_TRACE(movable ? "moved" : "not movable");
    Pipe err;
    WithoutStandardInput closed;
    if (!movable) fault::arm(fault::fcntl_call, {.error = EMFILE, .fd = 0});
    const Spawned child = spawn(0, {"x"}, 0, 1, err.write_end, -1, nullptr, "/nonexistent/x");
    fault::reset();
    EXPECT_FALSE(is_open(0));
    if (movable) {
      EXPECT_EQ(-1, child.pid);
      EXPECT_STREQ("execv", child.message);
      EXPECT_EQ(ENOENT, child.error_number);
      continue;
    }
    ASSERT_GT(child.pid, 0);
    err.handed_over();
    EXPECT_EQ("tolv-test: error trying to exec '/nonexistent/x': execv: " +
                  std::string(strerror(ENOENT)) + "\n",
              drain(err.read_end));
    EXPECT_EQ(255, WEXITSTATUS(wait_for(child.pid)));
  }
}

TEST_F(UnixBackendTest, VforkIsTriedFourTimesWithDoublingPauses) {
  fault::arm(fault::vfork_call, {.error = EAGAIN});
  const Spawned failed = spawn(0, {"child"});
  EXPECT_EQ(-1, failed.pid);
  EXPECT_STREQ("vfork", failed.message);
  EXPECT_EQ(EAGAIN, failed.error_number);
  EXPECT_EQ(4, fault::injected(fault::vfork_call));
  ASSERT_EQ(4, fault::sleep_count());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(1u << i, fault::sleep_seconds(i));

  fault::reset();
  fault::arm(fault::vfork_call, {.error = EAGAIN, .times = 3});
  const Spawned late = spawn(0, {"child", "exit", "4"});
  ASSERT_GT(late.pid, 0) << late.message;
  EXPECT_EQ(3, fault::sleep_count());
  EXPECT_EQ(4, WEXITSTATUS(wait_for(late.pid)));
}

TEST_F(UnixBackendTest, ReplacementEnvironmentIsTheChildsAlone) {
  char **const before = environ;
  char first[] = "TOLV_ONE=1";
  char second[] = "TOLV_TWO=two words";
  char *const environment[] = {first, second, nullptr};
  Pipe out;
  const Spawned child = spawn(0, {"child", "environ"}, 0, out.write_end, 2, -1, environment);
  ASSERT_GT(child.pid, 0) << child.message;
  EXPECT_EQ(before, environ);
  out.handed_over();
  EXPECT_EQ("TOLV_ONE=1\nTOLV_TWO=two words\n", drain(out.read_end));
  EXPECT_EQ(0, wait_for(child.pid));

  // Also after a failed exec: the environment is handed to the exec, never assigned.
  const Spawned failed = spawn(0, {"x"}, 0, 1, 2, -1, environment, "/nonexistent/x");
  EXPECT_EQ(-1, failed.pid);
  EXPECT_EQ(before, environ);
}

TEST_F(UnixBackendTest, ErrToOutFollowsTheOutputFile) {
  TempDir dir;
  const std::string path = dir / "out";
  const int fd = unix_backend.open_output(&pipeline_, path.c_str(), 0, 0);
  ASSERT_GE(fd, 0);
  const Spawned child =
      spawn(PEX_ERR_TO_OUT, {"child", "print", "out;", "eprint", "err;"}, 0, fd, 2);
  ASSERT_GT(child.pid, 0) << child.message;
  EXPECT_EQ(0, wait_for(child.pid));
  EXPECT_EQ("out;err;", read_file(path));
}

TEST_F(UnixBackendTest, InterruptedReadAndWaitAreResumed) {
  // An interrupted channel read must not lose the report...
  fault::arm(fault::read_call, {.error = EINTR, .times = 1, .where = fault::parent_only});
  const Spawned failed = spawn(0, {"x"}, 0, 1, 2, -1, nullptr, "/nonexistent/x");
  EXPECT_EQ(-1, failed.pid);
  EXPECT_STREQ("execv", failed.message);
  EXPECT_EQ(1, fault::injected(fault::read_call));

  // ...and an interrupted wait is no failure.
  const Spawned child = spawn(0, {"child", "exit", "5"});
  ASSERT_GT(child.pid, 0);
  fault::arm(fault::waitpid_call, {.error = EINTR, .times = 1});
  fault::arm(fault::wait4_call, {.error = EINTR, .times = 1});
  EXPECT_EQ(5, WEXITSTATUS(wait_for(child.pid)));
  const Spawned timed = spawn(0, {"child", "exit", "6"});
  pex_cpu_times times;
  EXPECT_EQ(6, WEXITSTATUS(wait_for(timed.pid, &times)));
  EXPECT_EQ(1, fault::injected(fault::waitpid_call));
  EXPECT_EQ(1, fault::injected(fault::wait4_call));
}

TEST_F(UnixBackendTest, FailedWaitIsReported) {
  const Spawned child = spawn(0, {"child"});
  ASSERT_GT(child.pid, 0);
  for (fault::Call call : {fault::waitpid_call, fault::wait4_call}) {
    fault::arm(call, {.error = ECHILD, .times = 1});
    pex_cpu_times times = {1, 2, 3, 4};
    int status = 77;
    const char *message = nullptr;
    int error_number = 0;
    EXPECT_EQ(-1, unix_backend.wait_child(&pipeline_, child.pid, &status,
                                          call == fault::wait4_call ? &times : nullptr, 0,
                                          &message, &error_number));
    EXPECT_STREQ("wait", message);
    EXPECT_EQ(ECHILD, error_number);
    EXPECT_EQ(77, status);
    if (call == fault::wait4_call) {
      EXPECT_EQ(0, times.user_sec + times.user_usec + times.sys_sec + times.sys_usec);
    }
  }
  EXPECT_EQ(0, wait_for(child.pid));
}

TEST_F(UnixBackendTest, WaitTerminatesFirstWhenAsked) {
  // A child that would outlast any test run.
  const Spawned sleeper = spawn(0, {"child", "sleep", "100000000"});
  const int status = wait_for(sleeper.pid, nullptr, 1);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGTERM, WTERMSIG(status));

  // A child that has already ended keeps its own status.
  const Spawned done = spawn(0, {"child", "exit", "3"});
  siginfo_t info;
  ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(done.pid), &info, WEXITED | WNOWAIT));
  const int ended = wait_for(done.pid, nullptr, 1);
  EXPECT_TRUE(WIFEXITED(ended));
  EXPECT_EQ(3, WEXITSTATUS(ended));
}

TEST_F(UnixBackendTest, CpuTimesComeFromTheWait) {
  const Spawned child = spawn(0, {"child", "spin", "60"});
  pex_cpu_times times = {-1, -1, -1, -1};
  EXPECT_EQ(0, wait_for(child.pid, &times));
  const int64_t cpu_us = (times.user_sec + times.sys_sec) * 1000000 + times.user_usec + times.sys_usec;
  EXPECT_GE(cpu_us, 40000);
  EXPECT_LT(times.user_usec, 1000000);
  EXPECT_LT(times.sys_usec, 1000000);
}

TEST_F(UnixBackendTest, OutputFilesTruncateOrAppendWithTheUmask) {
  TempDir dir;
  const std::string path = dir / "file";
  const mode_t old_mask = umask(027);
  int fd = unix_backend.open_output(&pipeline_, path.c_str(), 1, 0);
  umask(old_mask);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, write(fd, "first", 5));
  close(fd);
  struct stat info;
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 0777);

  fd = unix_backend.open_output(&pipeline_, path.c_str(), 0, 1);
  ASSERT_EQ(4, write(fd, "+add", 4));
  close(fd);
  EXPECT_EQ("first+add", read_file(path));
  fd = unix_backend.open_output(&pipeline_, path.c_str(), 0, 0);
  ASSERT_EQ(3, write(fd, "new", 3));
  close(fd);
  EXPECT_EQ("new", read_file(path));

  fd = unix_backend.open_input(&pipeline_, path.c_str(), 0);
  EXPECT_EQ("new", drain(fd));
  close(fd);
  errno = 0;
  EXPECT_EQ(-1, unix_backend.open_input(&pipeline_, (dir / "missing").c_str(), 0));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(0, unix_backend.close_descriptor(&pipeline_, unix_backend.open_input(&pipeline_, path.c_str(), 0)));
}

TEST_F(UnixBackendTest, StreamsOverPipes) {
  int fds[2];
  ASSERT_EQ(0, unix_backend.make_pipe(&pipeline_, fds, 0));
  // A child started meanwhile by another thread must not hold either end.
  EXPECT_NE(0, fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
  EXPECT_NE(0, fcntl(fds[1], F_GETFD) & FD_CLOEXEC);
  FILE *writer = unix_backend.write_stream(&pipeline_, fds[1], 1);
  ASSERT_NE(nullptr, writer);
  EXPECT_NE(0, fcntl(fds[1], F_GETFD) & FD_CLOEXEC) << "children must not hold the write end";
  FILE *reader = unix_backend.read_stream(&pipeline_, fds[0], 0);
  ASSERT_NE(nullptr, reader);
  fputs("line\n", writer);
  fclose(writer);
  char line[16] = {};
  EXPECT_NE(nullptr, fgets(line, sizeof line, reader));
  EXPECT_STREQ("line\n", line);
  fclose(reader);

  // A write stream that cannot mark its descriptor leaves it open and the caller's.
  ASSERT_EQ(0, unix_backend.make_pipe(&pipeline_, fds, 0));
  fault::arm(fault::fcntl_call, {.error = EBADF, .fd = fds[1]});
  EXPECT_EQ(nullptr, unix_backend.write_stream(&pipeline_, fds[1], 0));
  fault::reset();
  EXPECT_TRUE(is_open(fds[1]));
  fault::arm(fault::pipe2_call, {.error = EMFILE});
  int more[2];
  EXPECT_EQ(-1, unix_backend.make_pipe(&pipeline_, more, 0));
  EXPECT_EQ(EMFILE, errno);
  fault::reset();
  close(fds[0]);
  close(fds[1]);
  ASSERT_NE(nullptr, unix_backend.backend_cleanup);
  unix_backend.backend_cleanup(&pipeline_);
}

}  // namespace
