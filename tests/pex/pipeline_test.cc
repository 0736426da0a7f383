// SPDX-License-Identifier: BSD-2-Clause
#include "pex/pipeline.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "common/child_command.h"
#include "common/process_check.h"
#include "status_recorder.h"
#include "pex/unix_backend.h"
#include "support/temp_file.h"

extern char **environ;

using testing_support::exists;
using testing_support::read_file;
using testing_support::TempDir;

namespace {

char *const no_arguments[] = {const_cast<char *>("prog"), nullptr};

// ---------------------------------------------------------------------------------------------
// A backend that logs every call and answers as the test scripted it. Descriptors it "opens"
// are numbers from 100 up, process ids from 500 up; nothing real is touched.

struct Fake {
  // Script.
  std::set<std::string> failing_names;  // open_input and open_output of these fail with EACCES
  int failing_pipe = -1;                // index of the make_pipe call that fails with EMFILE
  bool spawn_fails = false;             // spawn_child fails with "execvp" and ENOENT
  std::map<int, std::pair<const char *, int>> failing_waits;  // pid -> message, error number

  // Log.
  struct Spawn {
    int flags, input, output, error, close_in_child;
    char *const *environment;
  };
  struct Wait {
    int pid;
    bool times;
    int kill_first;
  };
  std::vector<std::string> opened;  // "in name" or "out name"
  std::vector<int> closed;
  std::vector<Spawn> spawns;
  std::vector<Wait> waits;
  int pipes_made = 0;
  int cleanups = 0;

  int next_fd = 100;
  int next_pid = 500;
};

// A fake child's wait status: it exits with its position in the pipeline, counted from 1.
int fake_status(int pid) { return (pid - 500 + 1) << 8; }

Fake &fake_of(pex_pipeline *pipeline) { return *static_cast<Fake *>(pipeline->backend_private); }

int fake_open(pex_pipeline *pipeline, const char *direction, const char *name) {
  Fake &fake = fake_of(pipeline);
  fake.opened.push_back(std::string(direction) + " " + name);
  if (fake.failing_names.count(name) != 0) {
    errno = EACCES;
    return -1;
  }
  return fake.next_fd++;
}

int fake_open_input(pex_pipeline *pipeline, const char *name, int) {
  return fake_open(pipeline, "in", name);
}

int fake_open_output(pex_pipeline *pipeline, const char *name, int, int) {
  return fake_open(pipeline, "out", name);
}

int fake_spawn(pex_pipeline *pipeline, int flags, const char *, char *const *,
               char *const *environment, int input, int output, int error, int close_in_child,
               const char **error_message, int *error_number) {
  Fake &fake = fake_of(pipeline);
  fake.spawns.push_back({flags, input, output, error, close_in_child, environment});
  if (fake.spawn_fails) {
    *error_message = "execvp";
    *error_number = ENOENT;
    return -1;
  }
  return fake.next_pid++;
}

int fake_close(pex_pipeline *pipeline, int fd) {
  fake_of(pipeline).closed.push_back(fd);
  return 0;
}

int fake_wait(pex_pipeline *pipeline, int pid, int *status, pex_cpu_times *times, int kill_first,
              const char **error_message, int *error_number) {
  Fake &fake = fake_of(pipeline);
  fake.waits.push_back({pid, times != nullptr, kill_first});
  const auto failure = fake.failing_waits.find(pid);
  if (failure != fake.failing_waits.end()) {
    *error_message = failure->second.first;
    *error_number = failure->second.second;
    return -1;
  }
  *status = fake_status(pid);
  if (times != nullptr) *times = {pid, 1, 2, 3};
  return 0;
}

int fake_pipe(pex_pipeline *pipeline, int fds[2], int) {
  Fake &fake = fake_of(pipeline);
  if (fake.pipes_made++ == fake.failing_pipe) {
    errno = EMFILE;
    return -1;
  }
  fds[0] = fake.next_fd++;
  fds[1] = fake.next_fd++;
  return 0;
}

FILE *fake_no_stream(pex_pipeline *, int, int) {
  ADD_FAILURE() << "the pipeline makes no streams";
  return nullptr;
}

void fake_cleanup(pex_pipeline *pipeline) { ++fake_of(pipeline).cleanups; }

constexpr pex_backend_ops fake_ops = {
    fake_open_input, fake_open_output, fake_spawn,     fake_close,  fake_wait,
    fake_pipe,       fake_no_stream,   fake_no_stream, fake_cleanup};
constexpr pex_backend_ops fake_ops_without_cleanup = {
    fake_open_input, fake_open_output, fake_spawn,     fake_close, fake_wait,
    fake_pipe,       fake_no_stream,   fake_no_stream, nullptr};

// A pipeline over its own fake, released at the end unless the test released it.
struct FakePipeline {
  Fake fake;
  pex_pipeline *pipeline;

  explicit FakePipeline(int creation_flags, const char *temp_name_base = nullptr,
                        const pex_backend_ops *ops = &fake_ops)
      : pipeline(pex_pipeline_create(creation_flags, "tolv-test", temp_name_base, ops)) {
    pipeline->backend_private = &fake;
  }
  ~FakePipeline() { release(); }

  const char *run(int flags, const char *output_name = nullptr, const char *errname = nullptr,
                  int *error_number = nullptr) {
    int ignored = -1;
    return pex_run_stage(pipeline, flags, "prog", no_arguments, output_name, errname,
                         error_number != nullptr ? error_number : &ignored);
  }
  void release() {
    if (pipeline != nullptr) pex_release(pipeline);
    pipeline = nullptr;
  }
};

TEST(PipelineWithFakeBackend, FailuresCloseWhatTheStageChoseAndKeepTheRecord) {
  struct Case {
    const char *name;
    int creation_flags;
    const char *temp_name_base;
    std::function<void(FakePipeline &)> prepare;
    int stage_flags;
    const char *output_name, *errname;
    const char *message;
    int error_number;
    std::vector<int> closed;
    std::function<void(const pex_pipeline &)> check;
  };
  // Most stages read a pending input file, which the fake opens as descriptor 100, with the
  // backend scripted to fail a later step.
  const auto reading = [](std::function<void(Fake &)> script) {
    return [script](FakePipeline &p) {
      p.pipeline->pending_input_path = "/none/in";
      script(p.fake);
    };
  };
  const auto failing_pipe = [](Fake &fake) { fake.failing_pipe = 0; };
  const auto failing_spawn = [](Fake &fake) { fake.spawn_fails = true; };
  const auto failing_open = [](const char *name) {
    return [name](Fake &fake) { fake.failing_names.insert(name); };
  };
  const auto nothing = [](Fake &) {};
  const auto consumed = [](const pex_pipeline &p) { EXPECT_EQ(nullptr, p.pending_input_path); };
  const auto nothing_held = [](const pex_pipeline &p) {
    EXPECT_EQ(nullptr, p.pending_input_path);
    EXPECT_EQ(-1, p.pending_input_fd);
    EXPECT_EQ(-1, p.error_pipe_fd);
    EXPECT_EQ(0, p.cleanup_file_count);
  };
  const auto mid_file_kept = [](const pex_pipeline &p) {
    // Registered before the open: a file already created is still deleted at release.
    ASSERT_EQ(1, p.cleanup_file_count);
    EXPECT_STREQ("/none/mid", p.cleanup_files[0]);
    EXPECT_EQ(p.cleanup_files[0], p.pending_input_path);
    EXPECT_EQ(0, p.pending_input_path_owned);
  };
  const Case cases[] = {
      {"waiting for the writer of the input file", 0, nullptr,
       [](FakePipeline &p) {
         ASSERT_EQ(nullptr, p.run(0, "/none/mid"));
         p.fake.failing_waits[500] = {"wait", ECHILD};
       },
       PEX_FINAL_STAGE, nullptr, nullptr, "wait", ECHILD, {},
       [](const pex_pipeline &p) {
         EXPECT_STREQ("/none/mid", p.pending_input_path);
         EXPECT_EQ(1, p.waited_count);
       }},
      {"input file that cannot be opened", 0, nullptr, reading(failing_open("/none/in")),
       PEX_FINAL_STAGE, nullptr, nullptr, "open temporary file", EACCES, {},
       [](const pex_pipeline &p) {
         EXPECT_STREQ("/none/in", p.pending_input_path);
         EXPECT_EQ(0, p.pending_input_fd);
       }},
      {"no name from temp_name_base", 0, "/none/ccXXXXXX", reading(nothing), 0, nullptr,
       nullptr, "could not create temporary file", 0, {100},
       [](const pex_pipeline &p) {
         EXPECT_EQ(nullptr, p.pending_input_path);
         EXPECT_EQ(-1, p.pending_input_fd);
         EXPECT_EQ(0, p.cleanup_file_count);
       }},
      {"output pipe", PEX_VIA_PIPES, nullptr, reading(failing_pipe), 0, nullptr, nullptr, "pipe",
       EMFILE, {100},
       [](const pex_pipeline &p) {
         EXPECT_EQ(nullptr, p.pending_input_path);
         // Complete: with its input file consumed, the next stage would read standard input.
         EXPECT_EQ(-1, p.pending_input_fd);
       }},
      {"output pipe after the pending pipe end was taken", PEX_VIA_PIPES, nullptr,
       [](FakePipeline &p) {
         p.pipeline->pending_input_fd = 7;
         p.fake.failing_pipe = 0;
       },
       0, nullptr, nullptr, "pipe", EMFILE, {7},
       // Closed with the stage, so release must not close it again.
       [](const pex_pipeline &p) { EXPECT_EQ(-1, p.pending_input_fd); }},
      {"temporary output file", 0, nullptr, reading(failing_open("/none/mid")), 0, "/none/mid",
       nullptr, "open temporary output file", EACCES, {100}, mid_file_kept},
      {"final output joined to temp_name_base", 0, "/none/base",
       reading(failing_open("/none/base.out")), PEX_FINAL_STAGE | PEX_NAME_SUFFIX, ".out",
       nullptr, "open temporary output file", EACCES, {100}, nothing_held},
      {"final output suffix without temp_name_base: the empty name", 0, nullptr,
       reading(failing_open("")), PEX_FINAL_STAGE | PEX_NAME_SUFFIX, ".out", nullptr,
       "open temporary output file", EACCES, {100}, nothing_held},
      {"error pipe", 0, nullptr, reading(failing_pipe), PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE,
       "/none/out", nullptr, "pipe", EMFILE, {100, 101}, nothing_held},
      {"errname with PEX_STDERR_TO_PIPE", 0, nullptr, reading(nothing),
       PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE, "/none/out", "/none/err",
       "both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0, {100, 101}, nothing_held},
      {"errname with PEX_STDERR_TO_PIPE, middle stage", 0, nullptr, reading(nothing),
       PEX_STDERR_TO_PIPE, "/none/mid", "/none/err",
       "both ERRNAME and PEX_STDERR_TO_PIPE specified.", 0, {100, 101}, mid_file_kept},
      {"error pipe still held", 0, nullptr,
       [](FakePipeline &p) {
         p.pipeline->pending_input_path = "/none/in";
         p.pipeline->error_pipe_fd = 9;
       },
       PEX_FINAL_STAGE, nullptr, nullptr, "PEX_STDERR_TO_PIPE used in the middle of pipeline", 0,
       {100}, [](const pex_pipeline &p) { EXPECT_EQ(9, p.error_pipe_fd); }},
      {"error file", 0, nullptr, reading(failing_open("/none/err")), PEX_FINAL_STAGE,
       "/none/out", "/none/err", "open error file", EACCES, {100, 101}, consumed},
      {"spawn", 0, nullptr, reading(failing_spawn), PEX_FINAL_STAGE, "/none/out", "/none/err",
       "execvp", ENOENT, {100, 101, 102}, consumed},
      {"spawn of a piped stage with an error pipe", PEX_VIA_PIPES, nullptr,
       reading(failing_spawn), PEX_STDERR_TO_PIPE, nullptr, nullptr, "execvp", ENOENT,
       {100, 102, 104},
       [](const pex_pipeline &p) {
         // The read ends stay, as after a stage that started.
         EXPECT_EQ(101, p.pending_input_fd);
         EXPECT_EQ(103, p.error_pipe_fd);
       }},
      {"spawn on the standard descriptors", 0, nullptr,
       [](FakePipeline &p) { p.fake.spawn_fails = true; }, PEX_FINAL_STAGE, nullptr, nullptr,
       "execvp", ENOENT, {}, nothing_held},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakePipeline p(c.creation_flags, c.temp_name_base);
    c.prepare(p);
    const int children_before = p.pipeline->child_count;
    const size_t closed_before = p.fake.closed.size();
    int error_number = -1;
    EXPECT_STREQ(c.message, p.run(c.stage_flags, c.output_name, c.errname, &error_number));
    EXPECT_EQ(c.error_number, error_number);
    EXPECT_EQ(c.closed, std::vector<int>(p.fake.closed.begin() + closed_before,
                                         p.fake.closed.end()));
    EXPECT_EQ(children_before, p.pipeline->child_count);
    c.check(*p.pipeline);
    p.release();
    // Whatever the stage closed, release does not close again.
    const std::set<int> distinct(p.fake.closed.begin(), p.fake.closed.end());
    EXPECT_EQ(distinct.size(), p.fake.closed.size());
  }
}

TEST(PipelineWithFakeBackend, JoinedFinalNameIsOpenedAndFreed) {
  FakePipeline p(0, "/none/base");
  ASSERT_EQ(nullptr, p.run(PEX_FINAL_STAGE | PEX_NAME_SUFFIX, ".out"));
  EXPECT_EQ(std::vector<std::string>{"out /none/base.out"}, p.fake.opened);
  EXPECT_EQ(0, p.pipeline->cleanup_file_count);
  // The sanitizer build reports the joined name if it was kept.
}

TEST(PipelineWithFakeBackend, CompletePipelineRefusesStagesAndStaysAsItWas) {
  FakePipeline p(PEX_VIA_PIPES);
  ASSERT_EQ(nullptr, p.run(0));
  ASSERT_EQ(nullptr, p.run(PEX_FINAL_STAGE, "/none/out"));
  unsigned char before[sizeof(pex_pipeline)];
  memcpy(before, p.pipeline, sizeof before);
  const Fake log = p.fake;
  int error_number = -1;
  EXPECT_STREQ("pipeline already complete", p.run(0, "/none/x", nullptr, &error_number));
  EXPECT_EQ(0, error_number);
  EXPECT_EQ(0, memcmp(&before, p.pipeline, sizeof before));
  EXPECT_EQ(log.opened, p.fake.opened);
  EXPECT_EQ(log.closed, p.fake.closed);
  EXPECT_EQ(log.pipes_made, p.fake.pipes_made);
  EXPECT_EQ(log.spawns.size(), p.fake.spawns.size());
}

TEST(PipelineWithFakeBackend, StageThatConsumedItsInputFileAndFailedLeavesNoStandardInput) {
  // The failed stage opened and let go of the pending file before a later step failed, and put
  // no other input in its place: the only input left would be the caller's standard input.
  struct Case {
    const char *name;
    int creation_flags;
    const char *temp_name_base;
    bool failing_pipe;
    const char *message;
    int error_number;
  };
  const Case cases[] = {
      {"no temporary output name", 0, "/none/ccXXXXXX", false, "could not create temporary file",
       0},
      {"no output pipe", PEX_VIA_PIPES, nullptr, true, "pipe", EMFILE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakePipeline p(c.creation_flags, c.temp_name_base);
    p.pipeline->pending_input_path = "/none/in";
    if (c.failing_pipe) p.fake.failing_pipe = 0;
    int error_number = -1;
    ASSERT_STREQ(c.message, p.run(0, nullptr, nullptr, &error_number));
    EXPECT_EQ(c.error_number, error_number);
    EXPECT_EQ(std::vector<std::string>{"in /none/in"}, p.fake.opened);

    const std::vector<std::string> opened = p.fake.opened;
    EXPECT_STREQ("pipeline already complete", p.run(PEX_FINAL_STAGE, nullptr, nullptr,
                                                     &error_number));
    EXPECT_EQ(0, error_number);
    EXPECT_TRUE(p.fake.spawns.empty()) << "a child was started on the caller's standard input";
    EXPECT_EQ(opened, p.fake.opened);
  }
}

TEST(PipelineWithFakeBackend, ClosingTheCallersInputStreamFirst) {
  FakePipeline p(0);
  // Writes to /dev/full fail when the stream flushes, so its fclose fails.
  p.pipeline->caller_input_stream = fopen("/dev/full", "w");
  ASSERT_NE(nullptr, p.pipeline->caller_input_stream);
  fputs("lost", p.pipeline->caller_input_stream);
  int error_number = -1;
  EXPECT_STREQ("closing pipeline input file",
               p.run(PEX_FINAL_STAGE, nullptr, nullptr, &error_number));
  EXPECT_EQ(ENOSPC, error_number);
  EXPECT_EQ(nullptr, p.pipeline->caller_input_stream);
  EXPECT_TRUE(p.fake.spawns.empty());
  EXPECT_EQ(nullptr, p.run(PEX_FINAL_STAGE));
  EXPECT_EQ(1u, p.fake.spawns.size());
}

TEST(PipelineWithFakeBackend, StagesAreWiredByTheCreationFlags) {
  {
    SCOPED_TRACE("pipes");
    FakePipeline p(PEX_VIA_PIPES);
    ASSERT_EQ(nullptr, p.run(0));
    ASSERT_EQ(nullptr, p.run(0));
    ASSERT_EQ(nullptr, p.run(PEX_FINAL_STAGE | PEX_ERR_TO_OUT));
    ASSERT_EQ(3u, p.fake.spawns.size());
    const int expected[3][4] = {{0, 101, 2, 100}, {100, 103, 2, 102}, {102, 1, 2, -1}};
    for (int i = 0; i < 3; ++i) {
      const Fake::Spawn &spawn = p.fake.spawns[static_cast<size_t>(i)];
      EXPECT_EQ((std::vector<int>{spawn.input, spawn.output, spawn.error, spawn.close_in_child}),
                (std::vector<int>(expected[i], expected[i] + 4)))
          << "stage " << i;
    }
    EXPECT_EQ(PEX_FINAL_STAGE | PEX_ERR_TO_OUT, p.fake.spawns[2].flags);
    EXPECT_EQ(3, p.pipeline->child_count);
    EXPECT_EQ((std::vector<int>{500, 501, 502}),
              std::vector<int>(p.pipeline->child_pids, p.pipeline->child_pids + 3));
    EXPECT_TRUE(p.fake.waits.empty()) << "stages over pipes run at once";
  }
  {
    SCOPED_TRACE("temporary files, named by the caller");
    FakePipeline p(0);
    ASSERT_EQ(nullptr, p.run(0, "/none/mid"));
    ASSERT_EQ(nullptr, p.run(PEX_FINAL_STAGE, "/none/out"));
    EXPECT_EQ((std::vector<std::string>{"out /none/mid", "in /none/mid", "out /none/out"}),
              p.fake.opened);
    ASSERT_EQ(1u, p.fake.waits.size()) << "the reader starts after the writer ended";
    EXPECT_EQ(500, p.fake.waits[0].pid);
    EXPECT_EQ(101, p.fake.spawns[1].input);
    EXPECT_EQ(-1, p.fake.spawns[1].close_in_child);
    ASSERT_EQ(1, p.pipeline->cleanup_file_count);
    EXPECT_STREQ("/none/mid", p.pipeline->cleanup_files[0]);
  }
  {
    SCOPED_TRACE("kept temporary files, named by the caller");
    FakePipeline p(PEX_KEEP_TEMPS);
    std::string mid = "/none/mid";
    ASSERT_EQ(nullptr, p.run(0, mid.c_str()));
    mid = "/none/xyz";  // the caller's name is its own again once the call returned
    EXPECT_STREQ("/none/mid", p.pipeline->pending_input_path);
    EXPECT_EQ(0, p.pipeline->cleanup_file_count);
    ASSERT_EQ(nullptr, p.run(PEX_FINAL_STAGE));
    EXPECT_EQ("in /none/mid", p.fake.opened.back());
  }
}

TEST(PipelineWithFakeBackend, StageOutputNames) {
  TempDir dir;
  const std::string base = dir / "cc";
  const std::string chosen = temp_dir_choose();
  struct Case {
    const char *name;
    const char *requested;
    int flags;
    std::string temp_name_base;  // empty for none
    std::string before, after;   // around the six unique characters; after is "" for fixed names
    bool same_pointer, created;
  };
  const Case cases[] = {
      {"requested name", "/none/out.s", 0, base, "/none/out.s", "", true, false},
      {"suffix to temp_name_base", ".s", PEX_NAME_SUFFIX, base, base + ".s", "", false, false},
      {"suffix in the temporary directory", ".s", PEX_NAME_SUFFIX, "", chosen + "cc", ".s",
       false, true},
      {"template as given, copied", nullptr, 0, base + "XXXXXX", base, "", false, true},
      {"placeholders appended", nullptr, PEX_NAME_SUFFIX, base, base, "", false, true},
      {"five placeholders get six more", nullptr, 0, base + "XXXXX", base + "XXXXX", "", false,
       true},
      {"temporary directory", nullptr, 0, "", chosen + "cc", "", false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakePipeline p(0, c.temp_name_base.empty() ? nullptr : c.temp_name_base.c_str());
    const char *made = pex_stage_output_name(p.pipeline, c.flags, c.requested);
    ASSERT_NE(nullptr, made);
    const std::string name = made;
    EXPECT_EQ(c.same_pointer, made == c.requested);
    EXPECT_NE(made, p.pipeline->temp_name_base);
    if (c.created) {
      ASSERT_EQ(c.before.size() + 6 + c.after.size(), name.size()) << name;
      EXPECT_EQ(c.before, name.substr(0, c.before.size()));
      EXPECT_NE("XXXXXX", name.substr(c.before.size(), 6));
      EXPECT_EQ(c.after, name.substr(c.before.size() + 6));
      EXPECT_TRUE(exists(name)) << name;
      EXPECT_EQ("", read_file(name));
      unlink(made);
    } else {
      EXPECT_EQ(c.before, name);
      EXPECT_FALSE(exists(name));
    }
    if (!c.same_pointer) free(const_cast<char *>(made));
  }
  FakePipeline p(0, "/none/ccXXXXXX");
  EXPECT_EQ(nullptr, pex_stage_output_name(p.pipeline, 0, nullptr));
}

// A pipeline of three fake children, exiting with 1, 2 and 3.
struct ThreeChildren : FakePipeline {
  explicit ThreeChildren(int creation_flags = 0) : FakePipeline(PEX_VIA_PIPES | creation_flags) {
    EXPECT_EQ(nullptr, run(0));
    EXPECT_EQ(nullptr, run(0));
    EXPECT_EQ(nullptr, run(PEX_FINAL_STAGE));
  }
};

TEST(PipelineWithFakeBackend, GetStatusCopiesWhatWasAskedFor) {
  constexpr int unset = 77;
  const int one = fake_status(500), two = fake_status(501), three = fake_status(502);
  struct Case {
    const char *name;
    int wanted;
    std::vector<int> expected;  // the whole vector of six afterwards
  };
  const Case cases[] = {
      {"fewer", 2, {one, two, unset, unset, unset, unset}},
      {"all", 3, {one, two, three, unset, unset, unset}},
      {"more, zero-filled", 5, {one, two, three, 0, 0, unset}},
      {"none", 0, {unset, unset, unset, unset, unset, unset}},
      {"negative, as none", -1, {unset, unset, unset, unset, unset, unset}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ThreeChildren p;
    std::vector<int> statuses(6, unset);
    EXPECT_EQ(1, pex_get_status(p.pipeline, c.wanted, statuses.data()));
    EXPECT_EQ(c.expected, statuses);
    ASSERT_EQ(3u, p.fake.waits.size()) << "every child is waited for";
    for (const Fake::Wait &wait : p.fake.waits) {
      EXPECT_EQ(0, wait.kill_first);
      EXPECT_FALSE(wait.times);
    }
    EXPECT_EQ(3, p.pipeline->waited_count);
    EXPECT_EQ(1, pex_get_status(p.pipeline, 1, statuses.data()));
    EXPECT_EQ(3u, p.fake.waits.size()) << "nobody is waited for twice";
  }

  FakePipeline empty(0);
  std::vector<int> statuses(3, unset);
  EXPECT_EQ(1, pex_get_status(empty.pipeline, 3, statuses.data()));
  EXPECT_EQ(std::vector<int>(3, 0), statuses);
}

TEST(PipelineWithFakeBackend, CollectionGoesOnAfterAFailedWait) {
  ThreeChildren p;
  p.fake.failing_waits[500] = {"first failure", 1};
  p.fake.failing_waits[502] = {"last failure", 2};
  std::vector<int> statuses(3, 77);
  EXPECT_EQ(0, pex_get_status(p.pipeline, 3, statuses.data()));
  EXPECT_EQ(std::vector<int>(3, 77), statuses) << "untouched when a wait failed";
  EXPECT_EQ(3u, p.fake.waits.size());

  ThreeChildren q;
  q.fake.failing_waits = p.fake.failing_waits;
  const char *message = nullptr;
  int error_number = -1;
  EXPECT_EQ(0, pex_collect_statuses(q.pipeline, 0, &message, &error_number));
  EXPECT_STREQ("last failure", message);
  EXPECT_EQ(2, error_number);
  EXPECT_EQ(3, q.pipeline->waited_count);
  // A failed wait counts as waited for, and its status never reads as a clean exit.
  EXPECT_EQ(1, pex_get_status(q.pipeline, 3, statuses.data()));
  EXPECT_EQ((std::vector<int>{-1, fake_status(501), -1}), statuses);
  EXPECT_EQ(3u, q.fake.waits.size());
  EXPECT_EQ(1, pex_collect_statuses(q.pipeline, 0, &message, &error_number));
}

TEST(PipelineWithFakeBackend, TimesAreKeptUntilRelease) {
  FakePipeline p(PEX_VIA_PIPES | PEX_KEEP_TIMES);
  ASSERT_EQ(nullptr, p.run(0));
  int status = 0;
  ASSERT_EQ(1, pex_get_status(p.pipeline, 1, &status));
  ASSERT_NE(nullptr, p.pipeline->child_times);
  EXPECT_EQ(500, p.pipeline->child_times[0].user_sec);
  EXPECT_EQ(3, p.pipeline->child_times[0].sys_usec);
  ASSERT_EQ(nullptr, p.run(PEX_FINAL_STAGE));
  p.release();
  ASSERT_EQ(2u, p.fake.waits.size());
  EXPECT_TRUE(p.fake.waits[0].times);
  EXPECT_EQ(0, p.fake.waits[0].kill_first);
  // The child never waited for is terminated first, and its times are not recorded.
  EXPECT_EQ(501, p.fake.waits[1].pid);
  EXPECT_FALSE(p.fake.waits[1].times);
  EXPECT_EQ(1, p.fake.waits[1].kill_first);
}

TEST(PipelineWithFakeBackend, ReleaseClosesWhatThePipelineHolds) {
  struct Case {
    const char *name;
    int pending_input_fd, error_pipe_fd;
    std::vector<int> closed;
  };
  const Case cases[] = {
      {"fresh: standard input is not the pipeline's", 0, -1, {}},
      {"complete", -1, -1, {}},
      {"pipe ends", 7, 9, {7, 9}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakePipeline p(0);
    p.pipeline->pending_input_fd = c.pending_input_fd;
    p.pipeline->error_pipe_fd = c.error_pipe_fd;
    p.release();
    EXPECT_EQ(c.closed, p.fake.closed);
    EXPECT_TRUE(p.fake.waits.empty());
    EXPECT_EQ(1, p.fake.cleanups);
  }
  FakePipeline without_cleanup(0, nullptr, &fake_ops_without_cleanup);
  without_cleanup.release();
  EXPECT_EQ(0, without_cleanup.fake.cleanups);
}

TEST(PipelineWithFakeBackend, ReleaseClosesTheCallersStreams) {
  const std::set<int> before = testing_support::open_descriptors();
  FakePipeline p(0);
  p.pipeline->caller_input_stream = fopen("/dev/null", "w");
  p.pipeline->caller_output_stream = fopen("/dev/null", "r");
  p.pipeline->caller_error_stream = fopen("/dev/null", "r");
  p.release();
  EXPECT_EQ(before, testing_support::open_descriptors());
}

// ---------------------------------------------------------------------------------------------
// Real children through the Unix backend.

using testing_support::ChildCommand;

class PipelineTest : public testing_support::ProcessTest {
 protected:
  void TearDown() override {
    if (pipeline_ != nullptr) pex_release(pipeline_);
    ProcessTest::TearDown();
  }

  pex_pipeline *create(int flags, const char *temp_name_base = nullptr,
                       const pex_backend_ops *ops = &unix_backend) {
    pipeline_ = pex_pipeline_create(flags, "tolv-test", temp_name_base, ops);
    return pipeline_;
  }
  void release() {
    pex_release(pipeline_);
    pipeline_ = nullptr;
  }
  // Runs the test child with the commands; the error number is left in error_number_.
  const char *run(int flags, const ChildCommand &command, const char *output_name = nullptr,
                  const char *errname = nullptr, char *const *environment = nullptr) {
    error_number_ = -1;
    return pex_run_stage_env(pipeline_, flags, TOLV_TEST_CHILD, command.arguments(), environment,
                             output_name, errname, &error_number_);
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

TEST_F(PipelineTest, StagesOverTemporaryFiles) {
  struct Case {
    const char *name;
    int creation_flags;
    const char *mid_name;  // the first stage's output name, or null for a temporary name
  };
  const Case cases[] = {
      {"temporary name", 0, nullptr},
      {"temporary name, kept", PEX_KEEP_TEMPS, nullptr},
      {"caller's name", 0, "mid.txt"},
      {"caller's name, kept", PEX_KEEP_TEMPS, "mid.txt"},
  };
  const std::string base = dir_ / "stage";
  const std::string out = dir_ / "out";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string requested = c.mid_name != nullptr ? dir_ / c.mid_name : "";
    create(c.creation_flags, base.c_str());
    ASSERT_EQ(nullptr, run(0, {"print", "through a file"},
                           c.mid_name != nullptr ? requested.c_str() : nullptr));
    ASSERT_NE(nullptr, pipeline_->pending_input_path);
    const std::string mid = pipeline_->pending_input_path;
    if (c.mid_name != nullptr) {
      EXPECT_EQ(requested, mid);
    } else {
      EXPECT_EQ(base.size() + 6, mid.size());
    }
    ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"cat"}, out.c_str()));
    EXPECT_EQ(1, pipeline_->waited_count) << "the writer ended before the reader started";
    EXPECT_EQ((std::vector<int>{0, 0}), statuses(2));
    EXPECT_EQ("through a file", read_file(out));
    EXPECT_EQ("through a file", read_file(mid));
    release();
    const bool kept = (c.creation_flags & PEX_KEEP_TEMPS) != 0;
    EXPECT_EQ(kept, exists(mid));
    unlink(mid.c_str());
  }
}

TEST_F(PipelineTest, StagesOverPipesRunAtOnce) {
  create(PEX_VIA_PIPES);
  const std::string out = dir_ / "out";
  ASSERT_EQ(nullptr, run(0, {"print", "piped", "sleep", "50"}));
  ASSERT_EQ(nullptr, run(0, {"cat"}));
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"cat", "exit", "4"}, out.c_str()));
  EXPECT_EQ(0, pipeline_->waited_count);
  EXPECT_EQ((std::vector<int>{0, 0, 4 << 8}), statuses(3));
  EXPECT_EQ("piped", read_file(out));
}

TEST_F(PipelineTest, ErrorCopiesOutputIntoTheOutputFile) {
  create(0);
  const std::string out = dir_ / "out";
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE | PEX_ERR_TO_OUT, {"print", "out,", "eprint", "err"},
                         out.c_str()));
  statuses(1);
  EXPECT_EQ("out,err", read_file(out));
}

TEST_F(PipelineTest, ErrorFileIsTruncatedOrAppended) {
  const std::string err = dir_ / "err";
  testing_support::write_file(err, "old,");
  for (int flags : {static_cast<int>(PEX_ERROR_APPEND), 0}) {
    create(0);
    ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE | flags, {"eprint", "new"}, nullptr, err.c_str()));
    statuses(1);
    release();
    EXPECT_EQ(flags != 0 ? "old,new" : "new", read_file(err));
  }
}

TEST_F(PipelineTest, ReplacementEnvironmentIsTheChildsOnly) {
  create(0);
  const std::string out = dir_ / "out";
  char entry[] = "TOLV_PIPELINE_TEST=seen";
  char *const environment[] = {entry, nullptr};
  char **const environ_before = environ;
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"environ"}, out.c_str(), nullptr, environment));
  EXPECT_EQ(environ_before, environ);
  EXPECT_EQ(nullptr, getenv("TOLV_PIPELINE_TEST"));
  EXPECT_EQ((std::vector<int>{0}), statuses(1));
  EXPECT_EQ("TOLV_PIPELINE_TEST=seen\n", read_file(out));
}

TEST_F(PipelineTest, ErrorPipeMustBeTakenBeforeTheNextStage) {
  create(PEX_VIA_PIPES);
  ASSERT_EQ(nullptr, run(PEX_STDERR_TO_PIPE, {"eprint", "trouble"}));
  ASSERT_GE(pipeline_->error_pipe_fd, 0);
  std::string text;
  char buffer[64];
  ssize_t got;
  while ((got = read(pipeline_->error_pipe_fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_EQ("trouble", text);

  EXPECT_STREQ("PEX_STDERR_TO_PIPE used in the middle of pipeline",
               run(PEX_FINAL_STAGE, {"cat"}));
  EXPECT_EQ(0, error_number_);
  EXPECT_EQ(1, pipeline_->child_count);
  // The fixture finds any descriptor of the refused stage left open.
}

TEST_F(PipelineTest, ReleaseTerminatesChildrenNeverWaitedFor) {
  using testing_support::last_waited_status;
  last_waited_status = 0;
  create(PEX_KEEP_TIMES, nullptr, testing_support::status_recording_backend());
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"sleep", "20000"}));
  const time_t started = time(nullptr);
  release();
  EXPECT_LT(time(nullptr) - started, 10);
  ASSERT_TRUE(WIFSIGNALED(last_waited_status));
  EXPECT_EQ(SIGTERM, WTERMSIG(last_waited_status));
}

TEST_F(PipelineTest, CpuTimesAreRecordedWithKeepTimes) {
  create(PEX_KEEP_TIMES);
  ASSERT_EQ(nullptr, run(PEX_FINAL_STAGE, {"spin", "50"}));
  EXPECT_EQ((std::vector<int>{0}), statuses(1));
  ASSERT_NE(nullptr, pipeline_->child_times);
  const pex_cpu_times &times = pipeline_->child_times[0];
  const int64_t used_us = (times.user_sec + times.sys_sec) * 1000000 + times.user_usec +
                          times.sys_usec;
  EXPECT_GE(used_us, 40000);
  EXPECT_LT(used_us, 5000000);
}

TEST_F(PipelineTest, RunOnce) {
  struct Case {
    const char *name;
    int flags;
    const char *program;
    const char *message;
    int error_number;
    int wait_status;
  };
  constexpr int unset = 77;
  const Case cases[] = {
      {"success", PEX_FINAL_STAGE | PEX_PATH_SEARCH, TOLV_TEST_CHILD, nullptr, unset, 0},
      {"exit code", PEX_FINAL_STAGE | PEX_PATH_SEARCH, TOLV_TEST_CHILD, nullptr, unset, 3 << 8},
      {"program found nowhere", PEX_FINAL_STAGE | PEX_PATH_SEARCH, "tolv-no-such-program",
       "execvp", ENOENT, unset},
      {"program path that does not exist", PEX_FINAL_STAGE, "/none/tolv-no-such-program",
       "execv", ENOENT, unset},
  };
  const ChildCommand exit_3 = {"exit", "3"}, exit_0 = {"exit", "0"};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int wait_status = unset, error_number = unset;
    const char *message = pex_run_once(c.flags, c.program,
                                       c.wait_status == (3 << 8) ? exit_3.arguments()
                                                                 : exit_0.arguments(),
                                       "tolv-test", nullptr, nullptr, &wait_status, &error_number);
    EXPECT_STREQ(c.message, message);
    if (c.message != nullptr) {
      EXPECT_EQ(c.error_number, error_number);
    }
    EXPECT_EQ(c.wait_status, wait_status);
  }
}

TEST_F(PipelineTest, RunOnceReportsAFailedWait) {
  fault::arm(fault::waitpid_call, {.error = ECHILD, .times = 1});
  const ChildCommand command = {"exit", "0"};
  int wait_status = 77, error_number = 77;
  EXPECT_STREQ("pex_get_status failed",
               pex_run_once(PEX_FINAL_STAGE, TOLV_TEST_CHILD, command.arguments(), "tolv-test",
                            nullptr, nullptr, &wait_status, &error_number));
  EXPECT_EQ(0, error_number);
  EXPECT_EQ(77, wait_status);
  // The pipeline took the child for waited; reap it here.
  EXPECT_GT(waitpid(-1, nullptr, 0), 0);
}

TEST_F(PipelineTest, SystemFailuresOfTheOutputAndErrorSteps) {
  struct Case {
    const char *name;
    fault::Call call;
    int error;
    int creation_flags;
    const char *temp_name_base;
    int stage_flags;
    bool output_file;
    const char *message;
    int error_number;
  };
  const std::string base = dir_ / "cc";
  const Case cases[] = {
      {"temporary name", fault::mkostemps_call, EEXIST, 0, base.c_str(), 0, false,
       "could not create temporary file", 0},
      {"output pipe", fault::pipe2_call, EMFILE, PEX_VIA_PIPES, nullptr, 0, false, "pipe",
       EMFILE},
      {"error pipe", fault::pipe2_call, ENFILE, 0, nullptr, PEX_FINAL_STAGE | PEX_STDERR_TO_PIPE,
       true, "pipe", ENFILE},
  };
  const std::string out = dir_ / "out";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    create(c.creation_flags, c.temp_name_base);
    fault::arm(c.call, {.error = c.error});
    EXPECT_STREQ(c.message, run(c.stage_flags, {"exit", "0"}, c.output_file ? out.c_str()
                                                                              : nullptr));
    fault::reset();
    EXPECT_EQ(c.error_number, error_number_);
    EXPECT_EQ(0, pipeline_->child_count);
    EXPECT_EQ(0, pipeline_->cleanup_file_count);
    release();
    unlink(out.c_str());
  }
  // The fixture finds a descriptor that a failed step left open.
}

}  // namespace
