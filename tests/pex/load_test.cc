// SPDX-License-Identifier: BSD-2-Clause
// Long runs of the pipeline service in one process. Whatever one run opens, starts or allocates
// must be gone when it ends, so after thousands of runs the process holds exactly the
// descriptors, children and heap it held before.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <ostream>
#include <set>
#include <string>

#include "common/process_check.h"
#include "status_recorder.h"
#include "pex/pipeline.h"
#include "pex/unix_backend.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime provides it; not every compiler ships its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using testing_support::has_child;
using testing_support::open_descriptors;
using testing_support::read_file;
using testing_support::TempDir;

// The children are small system programs, not the sanitizer-built test child, whose start-up
// would take most of the time under the sanitizer build; the counts are the same in both.
constexpr const char *true_program = "/bin/true";
constexpr const char *false_program = "/bin/false";
constexpr const char *echo_program = "/bin/echo";
constexpr const char *cat_program = "/bin/cat";

// Bytes the allocator has handed out and not taken back. The sanitizer keeps an exact count;
// the C library's count also holds the blocks it caches for reuse, which a warm-up settles.
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

long resident_kib() {
  long pages = 0, resident = 0;
  if (FILE *statm = fopen("/proc/self/statm", "r")) {
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(statm);
  }
  return resident * sysconf(_SC_PAGESIZE) / 1024;
}

double seconds_since(const timespec &start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// What the process holds, before and after a run of `runs` operations.
class Holdings {
 public:
  explicit Holdings(const char *what, int runs) : what_(what), runs_(runs) {
    clock_gettime(CLOCK_MONOTONIC, &start_);
    descriptors_ = open_descriptors();
    rss_ = resident_kib();
    heap_ = heap_in_use();
  }

  // Compares, prints and records the figures. Any leak per run is at least one allocator block
  // of 16 bytes or more, so over `runs` runs it shows as growth of at least that many bytes.
  void check(testing::Test &test) {
    const size_t heap = heap_in_use();
    const long rss = resident_kib();
    const std::set<int> descriptors = open_descriptors();
    const bool child = has_child();
    const double elapsed = seconds_since(start_);
    const long long growth = static_cast<long long>(heap) - static_cast<long long>(heap_);
    printf("[ figures  ] %s: %d runs in %.1f s; descriptors %zu before, %zu after; child left: "
           "%s; heap %zu bytes before, %zu after (%+lld); resident %ld KiB before, %ld after\n",
           what_, runs_, elapsed, descriptors_.size(), descriptors.size(), child ? "yes" : "no",
           heap_, heap, growth, rss_, rss);
    test.RecordProperty("runs", runs_);
    test.RecordProperty("descriptors_before", static_cast<int>(descriptors_.size()));
    test.RecordProperty("descriptors_after", static_cast<int>(descriptors.size()));
    test.RecordProperty("child_left", child ? "yes" : "no");
    test.RecordProperty("heap_before", std::to_string(heap_));
    test.RecordProperty("heap_after", std::to_string(heap));
    test.RecordProperty("resident_kib_before", std::to_string(rss_));
    test.RecordProperty("resident_kib_after", std::to_string(rss));
    EXPECT_EQ(descriptors_, descriptors)
        << "open now:\n" << testing_support::describe_descriptors(descriptors);
    EXPECT_FALSE(child);
    EXPECT_LT(growth, runs_) << "the heap grew with the runs";
  }

 private:
  const char *what_;
  int runs_;
  timespec start_;
  std::set<int> descriptors_;
  long rss_;
  size_t heap_;
};

// The first thing that went wrong in a run, kept without allocating on every good run.
struct FirstFault {
  int run = -1;
  std::string what;
  int count = 0;
  void note(int at, const std::string &text) {
    if (count++ == 0) {
      run = at;
      what = text;
    }
  }
};

class LoadTest : public testing_support::ProcessTest {
 protected:
  TempDir dir_;
};

TEST_F(LoadTest, TenThousandRunOnceCalls) {
  // Most calls name a program that does not exist, so that the failure report, the most
  // involved way through, is taken often; the others run a program that exits with 0 or 1.
  char true_name[] = "true", false_name[] = "false", missing_name[] = "tolv-load-missing";
  char *const true_argv[] = {true_name, nullptr};
  char *const false_argv[] = {false_name, nullptr};
  char *const missing_argv[] = {missing_name, nullptr};
  constexpr int runs = 10000;
  FirstFault fault;
  const auto one_run = [&](int i) {
    int status = 77, error_number = 77;
    const char *message = nullptr;
    switch (i % 8) {
      case 0:
        message = pex_run_once(PEX_FINAL_STAGE | PEX_PATH_SEARCH, true_program, true_argv,
                               "tolv-load", nullptr, nullptr, &status, &error_number);
        if (message != nullptr || status != 0) fault.note(i, "true");
        break;
      case 1:
        message = pex_run_once(PEX_FINAL_STAGE, false_program, false_argv, "tolv-load", nullptr,
                               nullptr, &status, &error_number);
        if (message != nullptr || status != 1 << 8) fault.note(i, "false");
        break;
      default:
        message = pex_run_once(PEX_FINAL_STAGE | PEX_PATH_SEARCH, missing_name, missing_argv,
                               "tolv-load", nullptr, nullptr, &status, &error_number);
        if (message == nullptr || strcmp(message, "execvp") != 0 || error_number != ENOENT ||
            status != 77) {
          fault.note(i, "missing program");
        }
        break;
    }
  };
  for (int i = 0; i < 64; ++i) one_run(i);  // warm-up
  fault = FirstFault{};
  Holdings holdings("pex_run_once", runs);
  for (int i = 0; i < runs; ++i) one_run(i);
  holdings.check(*this);
  EXPECT_EQ(0, fault.count) << "first at run " << fault.run << ": " << fault.what;
}

struct Connection {
  const char *name;
  int creation_flags;
};

// Named for the test's output; gtest would otherwise print the record's bytes, padding too.
void PrintTo(const Connection &connection, std::ostream *out) { *out << connection.name; }

class PipelineLoadTest : public LoadTest, public testing::WithParamInterface<Connection> {};

TEST_P(PipelineLoadTest, ThousandTwoStagePipelines) {
  char echo_name[] = "echo", text[] = "through the pipeline", cat_name[] = "cat";
  char *const echo_argv[] = {echo_name, text, nullptr};
  char *const cat_argv[] = {cat_name, nullptr};
  const std::string base = dir_ / "ccXXXXXX";
  const std::string out = dir_ / "out";
  constexpr int runs = 1000;
  FirstFault fault;
  const auto one_run = [&](int i) {
    pex_pipeline *pipeline =
        pex_pipeline_create(GetParam().creation_flags, "tolv-load", base.c_str(), &unix_backend);
    int error_number = 0;
    if (pex_run_stage(pipeline, 0, echo_program, echo_argv, nullptr, nullptr, &error_number) !=
            nullptr ||
        pex_run_stage(pipeline, PEX_FINAL_STAGE, cat_program, cat_argv, out.c_str(), nullptr,
                      &error_number) != nullptr) {
      fault.note(i, "a stage did not start");
    }
    int statuses[2] = {77, 77};
    if (pex_get_status(pipeline, 2, statuses) != 1 || statuses[0] != 0 || statuses[1] != 0)
      fault.note(i, "statuses");
    pex_release(pipeline);
    // Reading the output allocates; every hundredth run is enough to see it arrive.
    if (i % 100 == 0 && read_file(out) != "through the pipeline\n") fault.note(i, "output");
  };
  for (int i = 0; i < 16; ++i) one_run(i);  // warm-up
  fault = FirstFault{};
  Holdings holdings(GetParam().name, runs);
  for (int i = 0; i < runs; ++i) one_run(i);
  holdings.check(*this);
  EXPECT_EQ(0, fault.count) << "first at run " << fault.run << ": " << fault.what;

  // No temporary file outlives its pipeline.
  unlink(out.c_str());
  std::set<std::string> left;
  if (DIR *stream = opendir(dir_.path().c_str())) {
    while (dirent *entry = readdir(stream))
      if (entry->d_name[0] != '.') left.insert(entry->d_name);
    closedir(stream);
  }
  EXPECT_EQ(std::set<std::string>{}, left);
}

INSTANTIATE_TEST_SUITE_P(Connections, PipelineLoadTest,
                         testing::Values(Connection{"temporary files", 0},
                                         Connection{"pipes", PEX_VIA_PIPES}),
                         [](const testing::TestParamInfo<Connection> &info) {
                           return info.param.creation_flags == 0 ? "TemporaryFiles" : "Pipes";
                         });

TEST_F(LoadTest, ReleaseWaitsForAChildThatIgnoresTerm) {
  // Release sends SIGTERM to a child never waited for and then waits for it to end. A child
  // that ignores the signal is waited for until it ends by itself, here after a bounded sleep.
  using testing_support::last_waited_status;
  struct Case {
    const char *name;
    bool ignores;
  } cases[] = {{"default action", false}, {"ignored", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    last_waited_status = 0;
    char name[] = "test_child", sleep_command[] = "sleep", ms[] = "1500", exit_command[] = "exit",
         code[] = "7";
    char *const argv[] = {name, sleep_command, ms, exit_command, code, nullptr};
    pex_pipeline *pipeline = pex_pipeline_create(0, "tolv-load", nullptr,
                                                 testing_support::status_recording_backend());
    // The disposition is inherited across the exec: the child starts with SIGTERM ignored.
    struct sigaction ignore = {}, saved = {};
    ignore.sa_handler = SIG_IGN;
    if (c.ignores) sigaction(SIGTERM, &ignore, &saved);
    int error_number = 0;
    const char *message =
        pex_run_stage(pipeline, PEX_FINAL_STAGE, TOLV_TEST_CHILD, argv, nullptr, nullptr,
                      &error_number);
    if (c.ignores) sigaction(SIGTERM, &saved, nullptr);
    EXPECT_EQ(nullptr, message);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pex_release(pipeline);
    const double took = seconds_since(start);
    printf("[ figures  ] SIGTERM %s: release returned after %.2f s, status 0x%x\n", c.name, took,
           last_waited_status);
    if (c.ignores) {
      EXPECT_TRUE(WIFEXITED(last_waited_status) && WEXITSTATUS(last_waited_status) == 7) << last_waited_status;
      EXPECT_GE(took, 1.0) << "release returned before the child ended";
    } else {
      EXPECT_TRUE(WIFSIGNALED(last_waited_status) && WTERMSIG(last_waited_status) == SIGTERM) << last_waited_status;
      EXPECT_LT(took, 1.0);
    }
    EXPECT_LT(took, 30.0);
    EXPECT_FALSE(has_child());
  }
}

}  // namespace
