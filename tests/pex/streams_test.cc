// SPDX-License-Identifier: BSD-2-Clause
#include "pex/streams.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/fault.h"
#include "common/child_command.h"
#include "common/process_check.h"
#include "pex/pipeline.h"
#include "pex/unix_backend.h"

using testing_support::exists;
using testing_support::read_file;
using testing_support::TempDir;

namespace {

using testing_support::ChildCommand;

std::string read_all(FILE *stream) {
  std::string text;
  char buffer[256];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, got);
  return text;
}

// Whether the child has ended, without reaping it (the pipeline does that).
bool has_ended(int pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// A child that keeps waiting for end of file would hang the test; this gives up after a while
// and leaves it to the release, which terminates it.
bool ends_within(int pid, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 10) {
    if (has_ended(pid)) return true;
    const timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return has_ended(pid);
}

class StreamsTest : public testing_support::ProcessTest {
 protected:
  void TearDown() override {
    if (pipeline_ != nullptr) pex_release(pipeline_);
    ProcessTest::TearDown();
  }

  pex_pipeline *create(int flags, const char *temp_name_base = nullptr,
                       const pex_backend_ops *ops = &unix_backend) {
    if (pipeline_ != nullptr) pex_release(pipeline_);
    pipeline_ = pex_pipeline_create(flags, "tolv-test", temp_name_base, ops);
    return pipeline_;
  }
  void release() {
    pex_release(pipeline_);
    pipeline_ = nullptr;
  }
  // Runs the test child with the commands; the error number is left in error_number_.
  const char *run(int flags, const ChildCommand &command, const char *output_name = nullptr,
                  const char *program = TOLV_TEST_CHILD) {
    error_number_ = -1;
    return pex_run_stage(pipeline_, flags, program, command.arguments(), output_name, nullptr,
                         &error_number_);
  }
  std::vector<int> statuses(int wanted) {
    std::vector<int> result(static_cast<size_t>(wanted), 77);
    EXPECT_EQ(1, pex_get_status(pipeline_, wanted, result.data()));
    return result;
  }

  pex_pipeline *pipeline_ = nullptr;
  int error_number_ = -1;
  TempDir dir_;
  fault::Scope faults_;
};

TEST_F(StreamsTest, InputFileReachesTheFirstStageAndStaysOnDisk) {
  struct Case {
    const char *name;
    const char *base;       // under the test directory, or null for no temp_name_base
    int flags;
    const char *requested;  // under the test directory unless PEX_NAME_SUFFIX; or null
  };
  const Case cases[] = {
      {"new temporary file", nullptr, 0, nullptr},
      {"made from the base", "in", 0, nullptr},
      {"the caller's name", nullptr, PEX_OUTPUT_BINARY, "input.txt"},
      {"a suffix to the base", "in-", PEX_NAME_SUFFIX, "data.txt"},
  };
  const std::string out = dir_ / "out";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = c.base != nullptr ? dir_ / c.base : "";
    std::string requested;
    if (c.requested != nullptr) {
      requested = (c.flags & PEX_NAME_SUFFIX) != 0 ? c.requested : dir_ / c.requested;
    }
    create(0, c.base != nullptr ? base.c_str() : nullptr);
    FILE *input = pex_attach_input_file(pipeline_, c.flags,
                                        c.requested != nullptr ? requested.c_str() : nullptr);
    ASSERT_NE(nullptr, input);
    EXPECT_EQ(input, pipeline_->caller_input_stream);
    ASSERT_NE(nullptr, pipeline_->pending_input_path);
    const std::string path = pipeline_->pending_input_path;
    EXPECT_EQ(1, pipeline_->pending_input_path_owned) << "the caller's name is copied too";
    if (c.requested == nullptr && c.base != nullptr) {
      EXPECT_EQ(base.size() + 6, path.size());
      EXPECT_EQ(0u, path.rfind(base, 0));
    } else if (c.base != nullptr) {
      EXPECT_EQ(base + c.requested, path);
    } else if (c.requested != nullptr) {
      EXPECT_EQ(requested, path);
    }

    fputs("fed through a file\n", input);
    ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"cat"}, out.c_str()));
    EXPECT_EQ(nullptr, pipeline_->caller_input_stream) << "the stage run closed it";
    EXPECT_EQ(nullptr, pipeline_->pending_input_path);
    EXPECT_EQ(0, pipeline_->cleanup_file_count);
    EXPECT_EQ(std::vector<int>{0}, statuses(1));
    EXPECT_EQ("fed through a file\n", read_file(out));
    release();
    EXPECT_TRUE(exists(path)) << "the input file is never the pipeline's to delete";
    unlink(path.c_str());
  }
}

TEST_F(StreamsTest, InputFileNameIsTheCallersOnlyDuringTheCall) {
  const std::string named = dir_ / "input.txt", out = dir_ / "out";
  testing_support::write_file(dir_ / "other.txt", "another file\n");
  create(0);
  // The caller's text, reused for another name as soon as the call has returned.
  std::string requested = named;
  FILE *input = pex_attach_input_file(pipeline_, 0, requested.c_str());
  ASSERT_NE(nullptr, input);
  EXPECT_NE(requested.c_str(), pipeline_->pending_input_path);
  EXPECT_EQ(1, pipeline_->pending_input_path_owned);
  requested.replace(requested.size() - strlen("input.txt"), std::string::npos, "other.txt");
  fputs("fed through a file\n", input);
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"cat"}, out.c_str()));
  EXPECT_EQ(std::vector<int>{0}, statuses(1));
  EXPECT_EQ("fed through a file\n", read_file(out));
}

TEST_F(StreamsTest, InputPipeReachesTheFirstStageAndEndsIt) {
  create(PEX_VIA_PIPES);
  FILE *input = pex_attach_input_pipe(pipeline_, 0);
  ASSERT_NE(nullptr, input);
  EXPECT_GT(pipeline_->pending_input_fd, 2);
  EXPECT_EQ(nullptr, pipeline_->caller_input_stream) << "the caller owns a pipe stream";
  const std::string out = dir_ / "out";
  ASSERT_EQ(nullptr, run(0, {"cat"}));
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"cat"}, out.c_str()));
  const int first = pipeline_->child_pids[0], second = pipeline_->child_pids[1];
  EXPECT_FALSE(has_ended(first)) << "the first stage reads the caller's pipe";

  fputs("fed through a pipe\n", input);
  ASSERT_EQ(0, fclose(input));
  // Either stage holding the write end would keep the first from ever seeing end of file;
  // the release then terminates both.
  ASSERT_TRUE(ends_within(first, 5000));
  ASSERT_TRUE(ends_within(second, 5000));
  EXPECT_EQ((std::vector<int>{0, 0}), statuses(2));
  EXPECT_EQ("fed through a pipe\n", read_file(out));
}

TEST_F(StreamsTest, OutputOfTemporaryFileStagesOnlyOnceEveryChildEnded) {
  const std::string base = dir_ / "stage";
  create(0, base.c_str());
  ASSERT_EQ(nullptr, run(0, {"print", "first,"}));
  // The last writer is slow to write and exits with 3, so a read before it ended would differ.
  ASSERT_EQ(nullptr, run(0, {"cat", "sleep", "300", "print", "last", "exit", "3"}));
  ASSERT_EQ(2, pipeline_->cleanup_file_count);
  const std::string files[] = {pipeline_->cleanup_files[0], pipeline_->cleanup_files[1]};
  EXPECT_EQ(1, pipeline_->waited_count);

  FILE *output = pex_take_output(pipeline_, 0);
  ASSERT_NE(nullptr, output);
  EXPECT_EQ(2, pipeline_->waited_count);
  EXPECT_EQ(3 << 8, pipeline_->child_statuses[1]);
  EXPECT_EQ(output, pipeline_->caller_output_stream);
  EXPECT_EQ(nullptr, pipeline_->pending_input_path);
  EXPECT_EQ("first,last", read_all(output));

  // Taken in place of a final stage: nothing more runs, and nothing else is handed out.
  errno = 4242;
  EXPECT_EQ(nullptr, pex_take_output(pipeline_, 0));
  EXPECT_EQ(4242, errno);
  EXPECT_STREQ("pipeline already complete", run(PEX_FINAL_STAGE, {"exit", "0"}));
  EXPECT_EQ(2, pipeline_->child_count);
  release();
  for (const std::string &file : files) EXPECT_FALSE(exists(file)) << file;
}

TEST_F(StreamsTest, OutputOfAPipeStageAtOnce) {
  create(PEX_VIA_PIPES);
  FILE *input = pex_attach_input_pipe(pipeline_, 0);
  ASSERT_NE(nullptr, input);
  ASSERT_EQ(nullptr, run(0, {"cat"}));
  FILE *output = pex_take_output(pipeline_, 1);
  ASSERT_NE(nullptr, output);
  // The child is still waiting for its input, so this did not wait for it.
  EXPECT_FALSE(has_ended(pipeline_->child_pids[0]));
  EXPECT_EQ(0, pipeline_->waited_count);
  EXPECT_EQ(output, pipeline_->caller_output_stream);
  EXPECT_EQ(-1, pipeline_->pending_input_fd);

  fputs("there and back", input);
  ASSERT_EQ(0, fclose(input));
  EXPECT_EQ("there and back", read_all(output));
  EXPECT_EQ(std::vector<int>{0}, statuses(1));
  EXPECT_STREQ("pipeline already complete", run(PEX_FINAL_STAGE, {"exit", "0"}));
}

TEST_F(StreamsTest, ErrorStreamTakenLetsLaterStagesRun) {
  create(PEX_VIA_PIPES);
  const std::string out = dir_ / "out";
  ASSERT_EQ(nullptr, run(PEX_STDERR_TO_PIPE, {"eprint", "trouble", "print", "data,"}));
  FILE *first_error = pex_take_error(pipeline_, 0);
  ASSERT_NE(nullptr, first_error);
  EXPECT_EQ(first_error, pipeline_->caller_error_stream);
  EXPECT_EQ(-1, pipeline_->error_pipe_fd);

  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, {"cat", "eprint", "again"},
                         out.c_str()));
  EXPECT_EQ("trouble", read_all(first_error));
  FILE *second_error = pex_take_error(pipeline_, 1);
  ASSERT_NE(nullptr, second_error);
  EXPECT_EQ(second_error, pipeline_->caller_error_stream);
  EXPECT_EQ("again", read_all(second_error));
  EXPECT_EQ((std::vector<int>{0, 0}), statuses(2));
  EXPECT_EQ("data,", read_file(out));
  // The pipeline keeps the latest error stream only; the one it replaced is the caller's.
  fclose(first_error);
}

TEST_F(StreamsTest, NothingToReadGivesNullAndLeavesErrnoAlone) {
  struct Case {
    const char *name;
    int creation_flags;
    std::function<void()> prepare;
    FILE *(*take)(pex_pipeline *, int);
  };
  const auto nothing = [] {};
  const auto final_stage = [this] { ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"exit", "0"})); };
  const Case cases[] = {
      {"output of a fresh pipeline", 0, nothing, pex_take_output},
      {"output after a final stage", PEX_VIA_PIPES, final_stage, pex_take_output},
      {"output taken twice", PEX_VIA_PIPES,
       [this] {
         ASSERT_EQ(nullptr, run(0, {"print", "x"}));
         ASSERT_NE(nullptr, pex_take_output(pipeline_, 0));
       },
       pex_take_output},
      {"error without an error pipe", 0, final_stage, pex_take_error},
      {"error taken twice", 0,
       [this] {
         ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, {"exit", "0"}));
         ASSERT_NE(nullptr, pex_take_error(pipeline_, 0));
       },
       pex_take_error},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    create(c.creation_flags);
    c.prepare();
    errno = 4242;
    EXPECT_EQ(nullptr, c.take(pipeline_, 0));
    EXPECT_EQ(4242, errno);
    release();
  }
}

TEST_F(StreamsTest, AttachingOutOfOrderIsRefused) {
  // A stream the preparation attached; a pipe stream is the caller's to close.
  FILE *attached = nullptr;
  const std::string requested = dir_ / "in", refused = dir_ / "refused";
  const auto file = [](pex_pipeline *p, const char *name) {
    return pex_attach_input_file(p, 0, name);
  };
  const auto pipe_stream = [](pex_pipeline *p, const char *) {
    return pex_attach_input_pipe(p, 0);
  };
  struct Case {
    const char *name;
    int creation_flags;
    std::function<void()> prepare;
    std::function<FILE *(pex_pipeline *, const char *)> attach;
    bool pipe_prepared;
  };
  const auto attach_file = [&] {
    ASSERT_NE(nullptr, attached = file(pipeline_, requested.c_str()));
  };
  const auto attach_pipe = [&] { ASSERT_NE(nullptr, attached = pipe_stream(pipeline_, nullptr)); };
  const auto stage = [this](int flags, const char *program) {
    return [this, flags, program] { run(flags, {"exit", "0"}, nullptr, program); };
  };
  const Case cases[] = {
      {"file twice", 0, attach_file, file, false},
      {"pipe after a file", PEX_VIA_PIPES, attach_file, pipe_stream, false},
      {"file after a pipe", PEX_VIA_PIPES, attach_pipe, file, true},
      {"pipe twice", PEX_VIA_PIPES, attach_pipe, pipe_stream, true},
      {"pipe without PEX_VIA_PIPES", 0, [] {}, pipe_stream, false},
      {"file after a stage", 0, stage(PEX_FINAL_STAGE, TOLV_TEST_CHILD), file, false},
      {"pipe after a stage", PEX_VIA_PIPES, stage(0, TOLV_TEST_CHILD), pipe_stream, false},
      // No child, but complete: an input now would bring the pipeline back to life.
      {"file after a final stage that failed", 0,
       stage(PEX_FINAL_STAGE, "/none/tolv-no-such-program"), file, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    attached = nullptr;
    create(c.creation_flags);
    c.prepare();
    const auto state = [this] {
      const pex_pipeline &p = *pipeline_;
      return std::make_tuple(p.child_count, p.pending_input_fd, p.pending_input_path,
                             p.pending_input_path_owned, p.caller_input_stream,
                             p.cleanup_file_count);
    };
    const auto before = state();
    errno = 0;
    EXPECT_EQ(nullptr, c.attach(pipeline_, refused.c_str()));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(before, state());
    EXPECT_FALSE(exists(refused));
    // An attached file stream is closed at release even though no stage consumed it.
    release();
    if (c.pipe_prepared) fclose(attached);
    unlink(requested.c_str());
  }
}

int closes_seen;

// The Unix backend, except that closing a descriptor leaves an errno of its own behind.
const pex_backend_ops errno_clobbering_close = [] {
  pex_backend_ops ops = unix_backend;
  ops.close_descriptor = [](pex_pipeline *pipeline, int fd) {
    ++closes_seen;
    const int result = unix_backend.close_descriptor(pipeline, fd);
    errno = ENOTTY;
    return result;
  };
  return ops;
}();

TEST_F(StreamsTest, AttachFailuresChangeNothing) {
  struct Case {
    const char *name;
    int creation_flags;
    const char *base;  // under the test directory, or null
    fault::Call call;
    fault::Rule rule;  // armed when rule.error is not 0
    std::function<FILE *(pex_pipeline *)> attach;
    int error;
    int closes;  // descriptors closed through the backend
  };
  const std::string missing = dir_ / "none/in";
  const auto file = [](int flags, const char *name) {
    return [flags, name](pex_pipeline *p) { return pex_attach_input_file(p, flags, name); };
  };
  const auto pipe_stream = [](pex_pipeline *p) { return pex_attach_input_pipe(p, 1); };
  const Case cases[] = {
      {"temporary name from the base", 0, "cc", fault::mkostemps_call, {.error = EEXIST},
       file(0, nullptr), EEXIST, 0},
      {"the caller's name cannot be opened", 0, nullptr, fault::open_call, {},
       file(0, missing.c_str()), ENOENT, 0},
      {"a joined name cannot be opened", 0, "none/cc", fault::open_call, {},
       file(PEX_NAME_SUFFIX, ".in"), ENOENT, 0},
      {"the pipe cannot be made", PEX_VIA_PIPES, nullptr, fault::pipe2_call, {.error = EMFILE},
       pipe_stream, EMFILE, 0},
      {"no stream over the write end", PEX_VIA_PIPES, nullptr, fault::fcntl_call,
       {.error = EIO}, pipe_stream, EIO, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = c.base != nullptr ? dir_ / c.base : "";
    create(c.creation_flags, c.base != nullptr ? base.c_str() : nullptr,
           &errno_clobbering_close);
    closes_seen = 0;
    if (c.rule.error != 0) fault::arm(c.call, c.rule);
    errno = 0;
    EXPECT_EQ(nullptr, c.attach(pipeline_));
    EXPECT_EQ(c.error, errno);
    fault::reset();
    EXPECT_EQ(c.closes, closes_seen);
    EXPECT_EQ(0, pipeline_->pending_input_fd);
    EXPECT_EQ(nullptr, pipeline_->pending_input_path);
    EXPECT_EQ(nullptr, pipeline_->caller_input_stream);
    release();
  }
  // The fixture finds a pipe end left open; the leak check a name left unfreed.
}

TEST_F(StreamsTest, TakeOutputFailures) {
  {
    SCOPED_TRACE("a wait failed");
    const std::string base = dir_ / "stage";
    create(0, base.c_str());
    ASSERT_EQ(nullptr, run(0, {"print", "kept"}));
    const char *path = pipeline_->pending_input_path;
    const int pid = pipeline_->child_pids[0];
    fault::arm(fault::waitpid_call, {.error = ECHILD, .times = 1});
    errno = 0;
    EXPECT_EQ(nullptr, pex_take_output(pipeline_, 0));
    EXPECT_EQ(ECHILD, errno);
    EXPECT_EQ(path, pipeline_->pending_input_path);
    EXPECT_EQ(nullptr, pipeline_->caller_output_stream);
    fault::reset();
    // The pipeline took the child for waited; reap it here. The file can still be taken.
    EXPECT_EQ(pid, waitpid(pid, nullptr, 0));
    FILE *output = pex_take_output(pipeline_, 0);
    ASSERT_NE(nullptr, output);
    EXPECT_EQ("kept", read_all(output));
    release();
  }
  {
    SCOPED_TRACE("the file cannot be opened");
    const std::string mid = dir_ / "mid";
    create(0);
    ASSERT_EQ(nullptr, run(0, {"print", "lost"}, mid.c_str()));
    EXPECT_EQ(std::vector<int>{0}, statuses(1));
    unlink(mid.c_str());
    errno = 0;
    EXPECT_EQ(nullptr, pex_take_output(pipeline_, 0));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(nullptr, pipeline_->pending_input_path) << "consumed all the same";
    EXPECT_EQ(nullptr, pipeline_->caller_output_stream);
    EXPECT_EQ(-1, pipeline_->pending_input_fd);
  }
}

// Runs the checks in a child of the test with one standard descriptor closed, as a caller may
// have it. The child's own output may be what was closed, so it reports each failed check as a
// line on a pipe, read here.
std::string failures_without_descriptor(int closed, const std::function<std::string()> &checks) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return "no report pipe";
  const pid_t pid = fork();
  if (pid < 0) return "no fork";
  if (pid == 0) {
    close(report[0]);
    close(closed);
    const std::string failures = checks();
    const char *data = failures.data();
    size_t left = failures.size();
    for (ssize_t written; left > 0; data += written, left -= static_cast<size_t>(written)) {
      if ((written = write(report[1], data, left)) <= 0) _exit(2);
    }
    _exit(0);
  }
  close(report[1]);
  std::string failures;
  char buffer[512];
  for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) failures.append(buffer, static_cast<size_t>(got));
    else if (errno != EINTR) break;
  }
  close(report[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    failures += "the checking child ended with status " + std::to_string(status) + "\n";
  }
  return failures;
}

// Bytes through an attached input file, two stages over temporary files and the taken output.
// Whatever the pipeline holds on the way must be above 2 and close-on-exec, and the caller's
// closed descriptor must still be closed after the release.
std::string temporary_file_pipeline_checks(const std::string &base, int closed) {
  std::string failures;
  const auto fail = [&failures](const std::string &what) { failures += what + "\n"; };
  const std::set<int> before = testing_support::open_descriptors();
  const auto check_held = [&](const std::string &when) {
    for (int fd : testing_support::open_descriptors()) {
      if (before.count(fd) != 0) continue;
      if (fd <= 2) fail(when + ": the pipeline holds standard descriptor " + std::to_string(fd));
      const int flags = fcntl(fd, F_GETFD);
      if (flags < 0 || (flags & FD_CLOEXEC) == 0) {
        fail(when + ": descriptor " + std::to_string(fd) + " is inherited by children");
      }
    }
  };
  std::string data;
  for (int round = 0; round < 64; ++round) {
    for (int byte = 0; byte < 256; ++byte) data += static_cast<char>(byte);
  }

  pex_pipeline *pipeline = pex_pipeline_create_unix(0, "tolv-test", base.c_str());
  FILE *input = pex_attach_input_file(pipeline, PEX_OUTPUT_BINARY, nullptr);
  if (input == nullptr) {
    pex_release(pipeline);
    return "no input file: " + std::string(strerror(errno)) + "\n";
  }
  check_held("input attached");
  if (fwrite(data.data(), 1, data.size(), input) != data.size()) fail("input not written");
  const ChildCommand cat = {"cat"};
  for (const char *stage : {"first stage", "second stage"}) {
    int error_number = 0;
    const char *message = pex_run_stage(pipeline, PEX_INPUT_BINARY | PEX_OUTPUT_BINARY,
                                        TOLV_TEST_CHILD, cat.arguments(), nullptr, nullptr,
                                        &error_number);
    if (message != nullptr) fail(std::string(stage) + ": " + message);
    check_held(stage);
  }
  FILE *output = pex_take_output(pipeline, 1);
  if (output == nullptr) {
    fail("no output stream");
  } else {
    check_held("output taken");
    if (read_all(output) != data) fail("the bytes changed on the way");
  }
  int statuses[2] = {-1, -1};
  if (pex_get_status(pipeline, 2, statuses) != 1 || statuses[0] != 0 || statuses[1] != 0) {
    fail("statuses " + std::to_string(statuses[0]) + " " + std::to_string(statuses[1]));
  }
  pex_release(pipeline);
  if (fcntl(closed, F_GETFD) != -1) fail("the closed descriptor is open after the release");
  if (testing_support::open_descriptors() != before) fail("descriptors left open");
  return failures;
}

TEST_F(StreamsTest, CallerWithoutAStandardDescriptorGetsItsBytesAndKeepsItClosed) {
  const std::string base = dir_ / "stage";
  for (int closed : {0, 1, 2}) {
    SCOPED_TRACE("closed: " + std::to_string(closed));
    EXPECT_EQ("", failures_without_descriptor(closed, [&] {
                return temporary_file_pipeline_checks(base, closed);
              }));
  }
}

// The Unix backend, except that no read stream can be made.
const pex_backend_ops no_read_stream = [] {
  pex_backend_ops ops = unix_backend;
  ops.read_stream = [](pex_pipeline *, int, int) -> FILE * {
    errno = EMFILE;
    return nullptr;
  };
  return ops;
}();

TEST_F(StreamsTest, ADescriptorNoStreamTookIsClosed) {
  struct Case {
    const char *name;
    int creation_flags, stage_flags;
    FILE *(*take)(pex_pipeline *, int);
    int32_t pex_pipeline::*field;
  };
  const Case cases[] = {
      {"output", PEX_VIA_PIPES, 0, pex_take_output, &pex_pipeline::pending_input_fd},
      {"error", 0, PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, pex_take_error,
       &pex_pipeline::error_pipe_fd},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    create(c.creation_flags, nullptr, &no_read_stream);
    ASSERT_EQ(nullptr, run(c.stage_flags, {"exit", "0"}));
    const int fd = pipeline_->*c.field;
    ASSERT_GT(fd, 2);
    errno = 0;
    EXPECT_EQ(nullptr, c.take(pipeline_, 0));
    EXPECT_EQ(EMFILE, errno);
    EXPECT_EQ(-1, pipeline_->*c.field);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "no one would ever close it";
    release();
  }
}

TEST_F(StreamsTest, FetchTimes) {
  enum Kind { copied, zero, untouched };
  struct Case {
    const char *name;
    int creation_flags;
    int children;  // 0 to 2
    int wanted;
    bool wait_fails;
    int result;
    std::vector<Kind> expected;  // the whole vector of four afterwards
  };
  const Case cases[] = {
      {"more wanted than children, zero-filled", PEX_KEEP_TIMES, 2, 3, false, 1,
       {copied, copied, zero, untouched}},
      {"fewer wanted", PEX_KEEP_TIMES, 2, 1, false, 1,
       {copied, untouched, untouched, untouched}},
      {"negative, as none", PEX_KEEP_TIMES, 1, -1, false, 1,
       {untouched, untouched, untouched, untouched}},
      {"without PEX_KEEP_TIMES", 0, 1, 2, false, 0,
       {untouched, untouched, untouched, untouched}},
      {"no children", PEX_KEEP_TIMES, 0, 2, false, 0,
       {untouched, untouched, untouched, untouched}},
      {"a wait failed", PEX_KEEP_TIMES, 1, 2, true, 0,
       {untouched, untouched, untouched, untouched}},
  };
  constexpr pex_cpu_times unset = {-7, -7, -7, -7};
  const auto same = [](const pex_cpu_times &a, const pex_cpu_times &b) {
    return a.user_sec == b.user_sec && a.user_usec == b.user_usec && a.sys_sec == b.sys_sec &&
           a.sys_usec == b.sys_usec;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    create(c.creation_flags);
    // Over a temporary file, so the first child is waited for before the second starts and
    // the times are collected in two rounds.
    if (c.children == 2) {
      ASSERT_EQ(nullptr, run(0, {"spin", "50"}));
    }
    if (c.children >= 1) {
      ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"spin", "50"}, "/dev/null"));
    }
    if (c.wait_fails) fault::arm(fault::wait4_call, {.error = ECHILD, .times = 1});
    std::vector<pex_cpu_times> times(4, unset);
    EXPECT_EQ(c.result, pex_fetch_times(pipeline_, c.wanted, times.data()));
    fault::reset();
    EXPECT_EQ(c.children, pipeline_->waited_count) << "every child is waited for";
    for (size_t i = 0; i < times.size(); ++i) {
      SCOPED_TRACE(i);
      switch (c.expected[i]) {
        case copied:
          EXPECT_TRUE(same(pipeline_->child_times[i], times[i]));
          EXPECT_GE(times[i].user_sec * 1000000 + times[i].user_usec + times[i].sys_sec * 1000000 +
                        times[i].sys_usec,
                    40000);
          break;
        case zero:
          EXPECT_TRUE(same(pex_cpu_times{}, times[i]));
          break;
        case untouched:
          EXPECT_TRUE(same(unset, times[i]));
          break;
      }
    }
    if (c.wait_fails) {
      // The pipeline took the child for waited; reap it here.
      EXPECT_GT(waitpid(pipeline_->child_pids[0], nullptr, 0), 0);
    }
    release();
  }
}

}  // namespace
