// SPDX-License-Identifier: BSD-2-Clause
// The runtime support's process-wide state used from several threads at once. These tests also
// run in the ThreadSanitizer build, which reports any unsynchronised access they provoke.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.h"
#include "support/error_text.h"
#include "support/temp_file.h"

namespace {

constexpr int thread_count = 8;

// Starts the threads, lets them all loose at once and waits for them.
template <typename Body>
void run_together(Body body) {
  std::atomic<int> waiting{thread_count};
  std::vector<std::thread> threads;
  for (int index = 0; index < thread_count; ++index) {
    threads.emplace_back([&waiting, &body, index] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      body(index);
    });
  }
  for (std::thread &thread : threads) thread.join();
}

// The directory is chosen once per process, so the first choice is made in a freshly started
// copy of the test program (the threadsafe style re-executes it).
class ThreadSafetyDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Runs in the fresh copy: every thread makes the first choice and a file; reports and ends.
[[noreturn]] void choose_and_create_in_threads() {
  const char *chosen[thread_count];
  char *names[thread_count];
  run_together([&](int index) {
    chosen[index] = temp_dir_choose();
    names[index] = temp_file_create(".thread");
  });
  std::string report;
  std::set<std::string> distinct;
  for (int index = 0; index < thread_count; ++index) {
    if (chosen[index] != chosen[0]) report += "a second directory text; ";
    struct stat info;
    if (stat(names[index], &info) != 0 || !S_ISREG(info.st_mode)) report += "a file missing; ";
    if (strncmp(names[index], chosen[0], strlen(chosen[0])) != 0) report += "a file elsewhere; ";
    distinct.insert(names[index]);
    unlink(names[index]);
    free(names[index]);
  }
  if (distinct.size() != thread_count) report += "a name given twice; ";
  fputs(report.empty() ? "one directory, distinct files" : report.c_str(), stderr);
  exit(0);
}

TEST_F(ThreadSafetyDeathTest, TemporaryDirectoryIsChosenOnceAcrossThreads) {
  EXPECT_EXIT(choose_and_create_in_threads(), testing::ExitedWithCode(0),
              "^one directory, distinct files$");
}

TEST(ThreadSafety, FallbackErrorTextsOfThreadsDoNotOverwriteEachOther) {
  fault::Scope guard;
  // Without a library text every call takes the fallback. The seam itself is not meant for
  // concurrent calls, so the calls take turns; the texts are read once every thread has made
  // its own.
  fault::arm(fault::strerror_call, {});
  std::mutex turn;
  std::atomic<int> made{0};
  std::string seen[thread_count];
  run_together([&](int index) {
    const char *text;
    {
      std::lock_guard<std::mutex> lock(turn);
      text = error_text(100000 + index);
    }
    made.fetch_add(1);
    while (made.load() < thread_count) std::this_thread::yield();
    seen[index] = text;
  });
  for (int index = 0; index < thread_count; ++index) {
    EXPECT_EQ("undocumented error #" + std::to_string(100000 + index), seen[index]);
  }
}

}  // namespace
