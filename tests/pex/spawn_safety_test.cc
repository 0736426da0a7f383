// SPDX-License-Identifier: BSD-2-Clause
// Starting children from a program that has signal handlers, more than one thread, or closed
// standard descriptors. Real processes and real signals; the risky scenarios run in a forked
// child of the test, with a time limit, so that a hang or a crash is a failure, not the end of
// the test run.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/child_command.h"
#include "common/process_check.h"
#include "pex/pipeline.h"
#include "pex/streams.h"
#include "pex/unix_backend.h"
#include "pex/unix_backend_private.h"

extern char **environ;

namespace {

using testing_support::ChildCommand;
using testing_support::open_descriptors;
using testing_support::TempDir;
using testing_support::write_file;

double seconds_since(const timespec &start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Appends what the descriptor delivers until end of file; false when `seconds` pass first.
bool read_to_end(int fd, double seconds, std::string &text) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const int left_ms = static_cast<int>((seconds - seconds_since(start)) * 1000);
    if (left_ms <= 0) return false;
    pollfd entry = {fd, POLLIN, 0};
    const int ready = poll(&entry, 1, left_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    text.append(buffer, static_cast<size_t>(got));
  }
}

// Failure lines of a scenario; empty when everything held.
struct Failures {
  std::string text;
  void operator()(const std::string &line) { text += line + "\n"; }
};

// Runs the scenario in a forked child of the test, in a process group of its own, and returns
// what it reported: empty when all went well, else one line per failure. A scenario that crashes
// or takes longer than `seconds` (its whole group is then killed) is a failure as well. There
// it may close standard descriptors, install handlers, start threads and signal its own group
// without disturbing the test.
std::string in_own_process(double seconds, const std::function<std::string()> &scenario) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return "no report pipe\n";
  const pid_t pid = fork();
  if (pid < 0) {
    close(report[0]);
    close(report[1]);
    return "no fork\n";
  }
  if (pid == 0) {
    setpgid(0, 0);
    close(report[0]);
    const std::string failures = scenario();
    const char *data = failures.data();
    for (size_t left = failures.size(); left > 0;) {
      const ssize_t written = write(report[1], data, left);
      if (written <= 0) _exit(2);
      data += written;
      left -= static_cast<size_t>(written);
    }
    _exit(0);
  }
  setpgid(pid, pid);  // whichever of the two gets there first
  close(report[1]);
  std::string failures;
  const bool finished = read_to_end(report[0], seconds, failures);
  close(report[0]);
  if (!finished) {
    kill(-pid, SIGKILL);
    failures += "no result within " + std::to_string(seconds) + " s\n";
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (finished && status != 0) {
    failures += "the scenario ended with wait status " + std::to_string(status) + "\n";
  }
  return failures;
}

// An argument vector over the words; valid while they live and stay unchanged.
std::vector<char *> argument_vector(std::vector<std::string> &words) {
  std::vector<char *> pointers;
  for (std::string &word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// What one stage of a pipe pipeline did: the failure of the run, or what it wrote and its status.
struct StageResult {
  const char *message = nullptr;
  int error_number = 0;
  std::string output;
  int status = -1;

  std::string describe() const {
    if (message != nullptr) return std::string(message) + ": " + strerror(error_number);
    return "\"" + output + "\", status " + std::to_string(status);
  }
};

// Runs the program as the one, non-final, stage of a pipe pipeline and reads its output.
StageResult run_stage(int stage_flags, const char *program, char *const *arguments,
                      char *const *environment) {
  StageResult result;
  pex_pipeline *pipeline = pex_pipeline_create_unix(PEX_VIA_PIPES, "tolv-test", nullptr);
  result.message = pex_run_stage_env(pipeline, stage_flags, program, arguments, environment,
                                     nullptr, nullptr, &result.error_number);
  if (result.message == nullptr) {
    FILE *output = pex_take_output(pipeline, 0);
    if (output == nullptr || !read_to_end(fileno(output), 30, result.output)) {
      result.output += "(no end of file)";
    }
    if (pex_get_status(pipeline, 1, &result.status) != 1) result.status = -2;
  }
  pex_release(pipeline);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Signals

std::atomic<int> handled{0};
std::atomic<int> handled_elsewhere{0};
pid_t handler_owner;

void count_signal(int) {
  const int saved = errno;
  // A vfork child runs in this process's memory: a handler run there counts here.
  if (getpid() != handler_owner) handled_elsewhere.fetch_add(1);
  handled.fetch_add(1);
  errno = saved;
}

TEST(SpawnSafetyTest, NoSignalHandlerRunsInAChild) {
  EXPECT_EQ("", in_own_process(120, [] {
    Failures fail;
    handler_owner = getpid();
    struct sigaction action = {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGWINCH, &action, nullptr);

    // The storm reaches every process of the group, the children between vfork and exec too.
    std::atomic<bool> done{false};
    std::thread storm([&done] {
      const timespec pause = {0, 20000};
      while (!done) {
        kill(0, SIGWINCH);
        nanosleep(&pause, nullptr);
      }
    });
    char *const arguments[] = {const_cast<char *>("true"), nullptr};
    int bad_runs = 0;
    std::string first_bad;
    for (int run = 0; run < 3000; ++run) {
      int status = -1, error_number = 0;
      const char *message = pex_run_once(PEX_FINAL_STAGE, "/bin/true", arguments, "tolv-test",
                                         nullptr, nullptr, &status, &error_number);
      if ((message != nullptr || status != 0) && bad_runs++ == 0) {
        first_bad = "run " + std::to_string(run) + ": " +
                    (message != nullptr ? message : "status " + std::to_string(status));
      }
    }
    done = true;
    storm.join();
    if (handled_elsewhere != 0) {
      fail("the handler ran " + std::to_string(handled_elsewhere.load()) + " times in a child");
    }
    if (handled == 0) fail("no signal arrived during the runs");
    if (bad_runs != 0) fail(std::to_string(bad_runs) + " failed runs, first " + first_bad);
    return fail.text;
  }));
}

// "blocked:" and "ignored:" lines of the calling thread's signal state, as the test child's
// sigstate command prints them.
std::string signal_state() {
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  std::string lines[2] = {"blocked:", "ignored:"};
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    const std::string number = " " + std::to_string(signal_number);
    if (sigismember(&blocked, signal_number) == 1) lines[0] += number;
    struct sigaction action;
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      lines[1] += number;
    }
  }
  return lines[0] + "\n" + lines[1] + "\n";
}

TEST(SpawnSafetyTest, ProgramStartsWithTheCallersMaskAndIgnoredSignals) {
  // As after an exec of the caller itself: its mask and ignored signals, and no handler.
  EXPECT_EQ("", in_own_process(30, [] {
    Failures fail;
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : {SIGUSR1, SIGRTMIN + 1, SIGRTMAX}) {
      sigaddset(&blocked, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    for (int signal_number : {SIGUSR2, SIGPIPE, SIGRTMIN + 2}) signal(signal_number, SIG_IGN);
    for (int signal_number : {SIGTERM, SIGWINCH, SIGRTMIN + 3}) signal(signal_number, count_signal);

    const std::string expected = signal_state();
    const ChildCommand sigstate = {"sigstate"};
    char *const *const environments[] = {nullptr, environ};
    auto check = [&](const std::string &how) {
      for (char *const *environment : environments) {
        const StageResult result =
            run_stage(PEX_PATH_SEARCH, TOLV_TEST_CHILD, sigstate.arguments(), environment);
        if (result.message != nullptr || result.output != expected || result.status != 0) {
          fail(how + ", " + (environment != nullptr ? "replacement" : "inherited") +
               " environment: " + result.describe() + ", expected \"" + expected + "\"");
        }
      }
      if (signal_state() != expected) fail(how + ": the caller's own signal state changed");
    };
    check("with handlers");
    // A plain program (no handlers, no marked standard descriptor), as the wrappers say of
    // themselves, skips blocking signals around the start: the program must still get the
    // caller's mask.
    for (int signal_number : {SIGTERM, SIGWINCH, SIGRTMIN + 3}) signal(signal_number, SIG_DFL);
    unix_backend_plain_program = 1;
    check("without handlers");
    return fail.text;
  }));
}

// ---------------------------------------------------------------------------------------------
// Environments

TEST(SpawnSafetyTest, ThreadsKeepTheirOwnEnvironments) {
  // Two threads give their own environments, one inherits the process's, and one keeps
  // changing a variable of the process: every child sees its own thread's environment, and the
  // process's environment is exactly what its own thread made it.
  EXPECT_EQ("", in_own_process(120, [] {
    Failures fail;
    setenv("TOLV_SAFETY_MARK", "inherited", 1);
    setenv("TOLV_SAFETY_COUNTER", "0", 1);
    char **const environ_before = environ;
    constexpr int runs = 300;

    std::atomic<int> running{3};
    std::vector<std::string> thread_failures(3);
    const auto spawner = [&](int index, const char *mark) {
      std::vector<std::string> entries;
      if (mark != nullptr) entries = {std::string("TOLV_SAFETY_MARK=") + mark, "TOLV_OTHER=1"};
      const std::vector<char *> environment = argument_vector(entries);
      const std::string expected = std::string(mark != nullptr ? mark : "inherited") + "\n";
      const ChildCommand print_mark = {"env", "TOLV_SAFETY_MARK"};
      int wrong = 0;
      for (int run = 0; run < runs; ++run) {
        const StageResult result = run_stage(0, TOLV_TEST_CHILD, print_mark.arguments(),
                                             mark != nullptr ? environment.data() : nullptr);
        if (result.message == nullptr && result.output == expected && result.status == 0) {
          continue;
        }
        if (wrong++ < 3) {
          thread_failures[index] += "thread " + std::to_string(index) + " run " +
                                    std::to_string(run) + ": " + result.describe() + "\n";
        }
      }
      if (wrong > 3) {
        thread_failures[index] += "thread " + std::to_string(index) + ": " +
                                  std::to_string(wrong) + " wrong runs in all\n";
      }
      --running;
    };
    std::thread threads[] = {std::thread(spawner, 0, "first"), std::thread(spawner, 1, "second"),
                             std::thread(spawner, 2, nullptr)};
    long last = 0;
    while (running > 0) {
      ++last;
      setenv("TOLV_SAFETY_COUNTER", std::to_string(last).c_str(), 1);
      const timespec pause = {0, 200000};
      nanosleep(&pause, nullptr);
    }
    for (std::thread &thread : threads) thread.join();
    for (const std::string &text : thread_failures) fail.text += text;

    const char *counter = getenv("TOLV_SAFETY_COUNTER");
    if (counter == nullptr || counter != std::to_string(last)) {
      fail("TOLV_SAFETY_COUNTER is " + std::string(counter != nullptr ? counter : "unset") +
           ", last set to " + std::to_string(last));
    }
    const char *mark = getenv("TOLV_SAFETY_MARK");
    if (mark == nullptr || strcmp(mark, "inherited") != 0) {
      fail("TOLV_SAFETY_MARK is " + std::string(mark != nullptr ? mark : "unset"));
    }
    if (environ != environ_before) fail("environ was replaced");
    return fail.text;
  }));
}

class SpawnSafetyPathTest : public testing_support::ProcessTest {};

TEST_F(SpawnSafetyPathTest, ReplacementEnvironmentSearchesItsOwnPath) {
  // With PEX_PATH_SEARCH and a replacement environment, the program is looked up as execvp would
  // look it up, along the replacement's PATH.
  TempDir dir;
  const std::string d = dir.path();
  // Each program says which directory it was found in, then its first argument.
  const auto probe = [](const char *where) {
    return std::string("#!/bin/sh\nprintf '") + where + " %s' \"$1\"\n";
  };
  for (const char *sub : {"/a", "/b", "/noexec", "/script", "/busy", "/empty"}) {
    mkdir((d + sub).c_str(), 0755);
  }
  write_file(d + "/a/tolv-probe", probe("a"), 0755);
  write_file(d + "/b/tolv-probe", probe("b"), 0755);
  write_file(d + "/noexec/tolv-probe", probe("noexec"), 0644);
  write_file(d + "/busy/tolv-probe", probe("busy"), 0755);
  // No "#!": execve refuses it, and the search hands it to the shell.
  write_file(d + "/script/tolv-probe", "printf 'shell %s %s' \"$0\" \"$1\"\n", 0755);
  write_file(d + "/file", "", 0644);
  // A program open for writing cannot be run (ETXTBSY), an error that ends the search.
  const int busy = open((d + "/busy/tolv-probe").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(busy, 0);
  // An empty element of PATH is the working directory.
  const int cwd = open(".", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(cwd, 0);
  ASSERT_EQ(0, chdir((d + "/a").c_str()));
  // The caller's own PATH is not searched.
  const std::string caller_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (d + "/a:" + caller_path).c_str(), 1);

  struct Case {
    const char *name;
    std::string path;  // the replacement's PATH; "-" for none
    std::string program;
    std::vector<std::string> arguments;  // after element 0
    std::string output;                  // empty when the stage must fail
    int error_number;
  } cases[] = {
      {"found only along the replacement's PATH", d + "/empty:" + d + "/a", "tolv-probe",
       {"x"}, "a x", 0},
      {"the first directory that has it", d + "/b:" + d + "/a", "tolv-probe", {"x"},
       "b x", 0},
      {"not executable: the search goes on", d + "/noexec:" + d + "/b", "tolv-probe", {"x"},
       "b x", 0},
      {"not a directory: the search goes on", d + "/file:" + d + "/b", "tolv-probe", {"x"},
       "b x", 0},
      {"empty element", d + "/empty::" + d + "/b", "tolv-probe", {"x"}, "a x", 0},
      {"empty element at the end", d + "/empty:", "tolv-probe", {"x"}, "a x", 0},
      {"no executable anywhere: permission denied", d + "/noexec:" + d + "/empty",
       "tolv-probe", {"x"}, "", EACCES},
      {"nowhere", d + "/empty", "tolv-probe", {"x"}, "", ENOENT},
      {"an empty name", d + "/a", "", {"x"}, "", ENOENT},
      {"a busy program ends the search", d + "/busy:" + d + "/b", "tolv-probe", {"x"}, "",
       ETXTBSY},
      {"without #! through the shell, with the arguments after element 0", d + "/script",
       "tolv-probe", {"one", "two"}, "shell " + d + "/script/tolv-probe one", 0},
      {"a name with a slash is not searched", d, "a/tolv-probe", {"x"}, "", ENOENT},
      {"a path is run as it is", d + "/empty", d + "/b/tolv-probe", {"x"}, "b x", 0},
      {"no PATH: the system's own, not the caller's", "-", "tolv-probe", {"x"}, "", ENOENT},
      {"no PATH: the system's own", "-", "sh", {"-c", "printf default"}, "default", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> entries = {"TOLV_SAFETY=1"};
    if (c.path != "-") entries.push_back("PATH=" + c.path);
    const std::vector<char *> environment = argument_vector(entries);
    std::vector<std::string> words = {"tolv-probe-name"};
    words.insert(words.end(), c.arguments.begin(), c.arguments.end());
    const std::vector<char *> arguments = argument_vector(words);

    const StageResult result =
        run_stage(PEX_PATH_SEARCH, c.program.c_str(), arguments.data(), environment.data());
    if (c.output.empty()) {
      EXPECT_STREQ("execvp", result.message);
      EXPECT_EQ(c.error_number, result.error_number) << strerror(result.error_number);
    } else {
      EXPECT_EQ(nullptr, result.message) << result.describe();
      EXPECT_EQ(c.output, result.output);
      EXPECT_EQ(0, result.status);
    }
  }
  setenv("PATH", caller_path.c_str(), 1);
  EXPECT_EQ(0, fchdir(cwd));
  close(cwd);
  close(busy);
}

// ---------------------------------------------------------------------------------------------
// Descriptors

TEST(SpawnSafetyTest, CallersStandardDescriptorsStayAsTheyAre) {
  // A caller may run with a standard descriptor closed: the pipeline's own descriptors must not
  // be taken for it, and it is still closed after the release. One that is open but marked
  // close-on-exec is still handed to the child.
  TempDir dir;
  const std::string payload = "bytes\tthrough\nthe pipeline\x01\xff";
  const std::string file = dir / "file";
  struct Case {
    const char *name;
    std::vector<int> closed;
    std::function<void(Failures &)> run;
  } cases[] = {
      {"output pipe without standard output", {1},
       [&](Failures &fail) {
         const ChildCommand print = {"print", payload.c_str()};
         const StageResult result = run_stage(0, TOLV_TEST_CHILD, print.arguments(), nullptr);
         if (result.output != payload || result.status != 0) fail(result.describe());
       }},
      {"two pipe stages without any standard descriptor", {0, 1, 2},
       [&](Failures &fail) {
         pex_pipeline *pipeline = pex_pipeline_create_unix(PEX_VIA_PIPES, "tolv-test", nullptr);
         const ChildCommand print = {"print", payload.c_str()}, cat = {"cat"};
         int error_number = 0;
         for (const ChildCommand *stage : {&print, &cat}) {
           if (const char *message = pex_run_stage(pipeline, 0, TOLV_TEST_CHILD,
                                                   stage->arguments(), nullptr, nullptr,
                                                   &error_number)) {
             fail(message);
           }
         }
         std::string output;
         FILE *stream = pex_take_output(pipeline, 0);
         if (stream == nullptr || !read_to_end(fileno(stream), 10, output)) fail("no end of file");
         int statuses[2] = {-1, -1};
         pex_get_status(pipeline, 2, statuses);
         pex_release(pipeline);
         if (output != payload || statuses[0] != 0 || statuses[1] != 0) {
           fail("\"" + output + "\", statuses " + std::to_string(statuses[0]) + " " +
                std::to_string(statuses[1]));
         }
       }},
      {"output file without standard output", {1},
       [&](Failures &fail) {
         const ChildCommand print = {"print", payload.c_str()};
         int status = -1, error_number = 0;
         const char *message = pex_run_once(PEX_FINAL_STAGE, TOLV_TEST_CHILD, print.arguments(),
                                            "tolv-test", file.c_str(), nullptr, &status,
                                            &error_number);
         if (message != nullptr || status != 0) fail(message != nullptr ? message : "status");
         if (testing_support::read_file(file) != payload) fail("the file has other bytes");
       }},
      {"error file without standard error", {2},
       [&](Failures &fail) {
         const ChildCommand eprint = {"eprint", payload.c_str()};
         int status = -1, error_number = 0;
         const char *message = pex_run_once(PEX_FINAL_STAGE, TOLV_TEST_CHILD, eprint.arguments(),
                                            "tolv-test", nullptr, file.c_str(), &status,
                                            &error_number);
         if (message != nullptr || status != 0) fail(message != nullptr ? message : "status");
         if (testing_support::read_file(file) != payload) fail("the file has other bytes");
       }},
      {"error pipe without standard input", {0},
       [&](Failures &fail) {
         // The child reads its standard input to its end: closed, it ends at once.
         pex_pipeline *pipeline = pex_pipeline_create_unix(0, "tolv-test", nullptr);
         const ChildCommand child = {"eprint", payload.c_str(), "cat"};
         int error_number = 0;
         if (const char *message =
                 pex_run_stage(pipeline, PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, TOLV_TEST_CHILD,
                               child.arguments(), nullptr, nullptr, &error_number)) {
           fail(message);
         }
         std::string error_output;
         FILE *stream = pex_take_error(pipeline, 0);
         if (stream == nullptr) {
           fail("no error stream");
         } else if (!read_to_end(fileno(stream), 10, error_output)) {
           fail("no end of file");
         }
         int status = -1;
         if (pex_get_status(pipeline, 1, &status) != 1 || status != 0) fail("status");
         pex_release(pipeline);
         if (error_output != payload) fail("error output \"" + error_output + "\"");
       }},
      {"standard input marked close-on-exec", {},
       [&](Failures &fail) {
         int fds[2];
         if (pipe(fds) != 0 || dup2(fds[0], 0) != 0) return fail("no pipe on 0");
         close(fds[0]);
         if (write(fds[1], payload.data(), payload.size()) != ssize_t(payload.size())) {
           fail("no input written");
         }
         close(fds[1]);
         fcntl(0, F_SETFD, FD_CLOEXEC);
         const ChildCommand cat = {"cat"};
         const StageResult result = run_stage(0, TOLV_TEST_CHILD, cat.arguments(), nullptr);
         if (result.output != payload || result.status != 0) fail(result.describe());
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ("", in_own_process(20, [&c] {
      for (int fd : c.closed) close(fd);
      const std::set<int> before = open_descriptors();
      Failures fail;
      c.run(fail);
      for (int fd : c.closed) {
        if (fcntl(fd, F_GETFD) != -1) fail("descriptor " + std::to_string(fd) + " is open");
      }
      if (open_descriptors() != before) fail("descriptors left open");
      return fail.text;
    }));
  }
}

TEST(SpawnSafetyTest, ClosedStandardDescriptorStaysClosedWhileOtherThreadsMakeDescriptors) {
  // A descriptor that another thread is making sits, for a moment, on the standard number the
  // caller closed: a child started in that moment must still find that number closed.
  constexpr int runs = 300;
  for (int fd : {0, 1, 2}) {
    SCOPED_TRACE("descriptor " + std::to_string(fd) + " closed");
    EXPECT_EQ("", in_own_process(60, [fd] {
      close(fd);
      std::atomic<bool> stop{false};
      std::vector<std::thread> makers;
      for (int maker = 0; maker < 2; ++maker) {
        makers.emplace_back([&stop] {
          while (!stop) {
            int fds[2];
            if (unix_backend.make_pipe(nullptr, fds, 0) != 0) continue;
            close(fds[0]);
            close(fds[1]);
          }
        });
      }
      const std::string number = std::to_string(fd);
      const ChildCommand child = {"closed", number.c_str()};
      int found_open = 0;
      Failures fail;
      for (int run = 0; run < runs; ++run) {
        int status = -1, error_number = 0;
        const char *message = pex_run_once(PEX_FINAL_STAGE, TOLV_TEST_CHILD, child.arguments(),
                                           "tolv-test", nullptr, nullptr, &status, &error_number);
        if (message != nullptr) {
          fail(std::string(message) + ": " + strerror(error_number));
          break;
        }
        if (status != 0) ++found_open;
      }
      stop = true;
      for (std::thread &maker : makers) maker.join();
      if (found_open > 0) {
        fail("the program found it open in " + std::to_string(found_open) + " of " +
             std::to_string(runs) + " runs");
      }
      if (fcntl(fd, F_GETFD) != -1) fail("it is open after the runs");
      return fail.text;
    }));
  }
}

// The Unix backend, except that right after it has made a descriptor, another thread starts an
// unrelated program, as a threaded caller may at any moment. That program prints the
// descriptors it has, then sleeps for 5 seconds.
struct Bystanders {
  static Bystanders *current;
  std::vector<pid_t> pids;
  std::vector<std::string> inherited;

  static void start(const std::vector<int> &made) {
    std::thread([&made] {
      Bystanders &self = *current;
      int seen[2];
      if (pipe2(seen, O_CLOEXEC) != 0) return self.inherited.push_back("no pipe");
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, seen[1], 1);
      const ChildCommand command = {"fds", "sleep", "5000"};
      pid_t pid;
      if (posix_spawn(&pid, TOLV_TEST_CHILD, &actions, nullptr, command.arguments(), environ) ==
          0) {
        self.pids.push_back(pid);
      }
      posix_spawn_file_actions_destroy(&actions);
      close(seen[1]);
      // Its first line lists the descriptors above 2 that it has.
      std::string line;
      char byte;
      while (read(seen[0], &byte, 1) == 1 && byte != '\n') line += byte;
      close(seen[0]);
      std::istringstream numbers(line);
      for (int fd; numbers >> fd;) {
        for (int mine : made) {
          if (fd == mine) self.inherited.push_back(std::to_string(fd));
        }
      }
    }).join();
  }

  static int open_input(pex_pipeline *pipeline, const char *name, int binary) {
    const int fd = unix_backend.open_input(pipeline, name, binary);
    start({fd});
    return fd;
  }
  static int open_output(pex_pipeline *pipeline, const char *name, int binary, int append) {
    const int fd = unix_backend.open_output(pipeline, name, binary, append);
    start({fd});
    return fd;
  }
  static int make_pipe(pex_pipeline *pipeline, int fds[2], int binary) {
    const int result = unix_backend.make_pipe(pipeline, fds, binary);
    start({fds[0], fds[1]});
    return result;
  }

  ~Bystanders() {
    for (pid_t pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};
Bystanders *Bystanders::current;

class SpawnSafetyDescriptorTest : public testing_support::ProcessTest {};

TEST_F(SpawnSafetyDescriptorTest, ChildrenOfOtherThreadsHoldNoneOfThePipelinesDescriptors) {
  TempDir dir;
  pex_backend_ops backend = unix_backend;
  backend.open_input = Bystanders::open_input;
  backend.open_output = Bystanders::open_output;
  backend.make_pipe = Bystanders::make_pipe;
  struct Stage {
    int flags;
    std::vector<std::string> words;
  };
  struct Case {
    const char *name;
    int creation_flags;
    std::vector<Stage> stages;
    bool read_error;  // else the output
    std::string expected;
  } cases[] = {
      {"output pipe", PEX_VIA_PIPES, {{0, {"test_child", "print", "through a pipe"}}}, false,
       "through a pipe"},
      {"temporary files and an error pipe",
       0,
       {{0, {"test_child", "print", "through a file"}},
        {PEX_STDERR_TO_PIPE, {"test_child", "cat", "eprint", "and an error pipe"}}},
       true,
       "and an error pipe"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bystanders bystanders;
    Bystanders::current = &bystanders;
    const std::string base = dir / "stage";
    pex_pipeline *pipeline = pex_pipeline_create(c.creation_flags, "tolv-test", base.c_str(),
                                                 &backend);
    for (Stage stage : c.stages) {
      int error_number = 0;
      EXPECT_EQ(nullptr, pex_run_stage(pipeline, stage.flags, TOLV_TEST_CHILD,
                                       argument_vector(stage.words).data(), nullptr, nullptr,
                                       &error_number));
    }
    // The stages' children end at once; a bystander holding a write end would keep the end of
    // file back for as long as it sleeps.
    FILE *stream = c.read_error ? pex_take_error(pipeline, 0) : pex_take_output(pipeline, 0);
    ASSERT_NE(nullptr, stream);
    std::string text;
    EXPECT_TRUE(read_to_end(fileno(stream), 1, text)) << "no end of file within a second";
    EXPECT_EQ(c.expected, text);
    pex_release(pipeline);
    EXPECT_FALSE(bystanders.pids.empty());
    EXPECT_EQ(std::vector<std::string>{}, bystanders.inherited);
  }
}

}  // namespace
