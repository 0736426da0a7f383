// SPDX-License-Identifier: BSD-2-Clause
// The ar wrapper under a parallel build: make -j starting hundreds of wrappers at once in front
// of the host's ar, each into its own archive. Every archive must be the one ar makes when
// started directly with the same arguments, and every exit status the one it gives.
#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "installation.h"
#include "tolv_config.h"

namespace {

using testing_support::environment_with;
using testing_support::exists;
using testing_support::Installation;
using testing_support::make_directories;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::write_file;

#if defined(__SANITIZE_ADDRESS__)
// A sanitizer-built wrapper takes many times as long to start: fewer, to keep within the limit.
constexpr int invocations = 150;
#else
constexpr int invocations = 500;
#endif

// The arguments of invocation i: mostly good archives of one or two members, and some that
// must fail (a missing member; listing an archive that does not exist).
std::string arguments(int i) {
  const std::string n = std::to_string(i);
  switch (i % 10) {
    case 7:
      return "rc lib" + n + ".a m" + n + ".txt missing" + n + ".txt";
    case 8:
      return "t nothing" + n + ".a";
    case 9:
      return "rcs lib" + n + ".a m" + n + ".txt common.txt";
    default:
      return "rc lib" + n + ".a m" + n + ".txt";
  }
}

// One rule per invocation, recording its exit status, then one per archive listing it with
// plain ar; AR is the command that makes the archives.
std::string makefile() {
  std::string all = "all:", list = "list:", rules;
  for (int i = 0; i < invocations; ++i) {
    const std::string n = std::to_string(i);
    all += " s" + n;
    list += " l" + n;
    rules += "s" + n + ":\n\t@$(AR) " + arguments(i) + "; echo $$? > status-" + n + "\n";
    rules += "l" + n + ":\n\t@$(PLAIN_AR) t lib" + n + ".a > list-" + n +
             " 2>/dev/null; echo $$? > list-status-" + n + "\n";
  }
  return ".PHONY: all list\n" + all + "\n" + list + "\n" + rules;
}

class MakeLoadTest : public testing_support::ProcessTest {
 protected:
  // A work directory with the members and the makefile.
  std::string work(const std::string &name) {
    const std::string dir = dir_ / name;
    make_directories(dir);
    write_file(dir + "/Makefile", makefile());
    write_file(dir + "/common.txt", "common\n");
    for (int i = 0; i < invocations; ++i)
      write_file(dir + "/m" + std::to_string(i) + ".txt", "member " + std::to_string(i) + "\n");
    return dir;
  }

  RunResult make(const std::string &dir, const std::string &target, const std::string &ar) {
    return testing_support::run_program(
        "/bin/sh",
        {"sh", "-c", "exec make -s -j " + target + " AR='" + ar + "' PLAIN_AR='" TOLV_HOST_AR "'"},
        environment_with({"MAKEFLAGS", "MFLAGS"}), dir);
  }

  TempDir dir_;
};

TEST_F(MakeLoadTest, HundredsOfWrappersAtOnce) {
  const Installation installation(dir_ / "inst");
  installation.add_wrapper("tolv-ar");
  installation.add_tool("ar", TOLV_HOST_AR);
  installation.add_plugin(read_file(TOLV_PLUGIN));
  const std::string plugin = installation.plugin_dir() + plugin_file_name;
  const std::string wrapped = work("wrapped"), direct = work("direct");

  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  RunResult result = make(wrapped, "all", installation.program("tolv-ar"));
  clock_gettime(CLOCK_MONOTONIC, &end);
  ASSERT_EQ(0, result.exit_code) << result.err.substr(0, 2000);
  // The same tool vector, without the wrapper.
  result = make(direct, "all", std::string(TOLV_HOST_AR) + " --plugin " + plugin);
  ASSERT_EQ(0, result.exit_code) << result.err.substr(0, 2000);
  result = make(wrapped, "list", "");
  ASSERT_EQ(0, result.exit_code) << result.err.substr(0, 2000);

  int good = 0, failed = 0;
  for (int i = 0; i < invocations; ++i) {
    const std::string n = std::to_string(i);
    SCOPED_TRACE("tolv-ar " + arguments(i));
    const std::string status = read_file(wrapped + "/status-" + n);
    ASSERT_FALSE(status.empty()) << "the invocation did not run";
    EXPECT_EQ(read_file(direct + "/status-" + n), status);
    const bool must_fail = i % 10 == 7 || i % 10 == 8;
    EXPECT_EQ(must_fail, status != "0\n") << status;
    (status == "0\n" ? good : failed) += 1;
    const std::string archive = "/lib" + n + ".a";
    EXPECT_EQ(exists(direct + archive), exists(wrapped + archive));
    if (!exists(direct + archive)) continue;
    EXPECT_EQ(read_file(direct + archive), read_file(wrapped + archive)) << "archive differs";
    EXPECT_EQ("0\n", read_file(wrapped + "/list-status-" + n));
    EXPECT_EQ(i % 10 == 9 ? "m" + n + ".txt\ncommon.txt\n" : "m" + n + ".txt\n",
              read_file(wrapped + "/list-" + n));
  }
  const double seconds =
      double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("[ figures  ] make -j: %d wrapper invocations in %.1f s, %d succeeded, %d failed as "
         "the tool itself did\n",
         invocations, seconds, good, failed);
  RecordProperty("invocations", invocations);
  RecordProperty("succeeded", good);
  RecordProperty("failed_as_expected", failed);

  // The plug-in changes nothing in these archives: a few made by ar without it are the same.
  for (const int i : {0, 1, 9, invocations / 2, invocations - 1}) {
    const std::string n = std::to_string(i);
    SCOPED_TRACE("ar " + arguments(i));
    const std::string archive = direct + "/lib" + n + ".a";
    ASSERT_EQ(0, unlink(archive.c_str()));
    result = testing_support::run_program(
        "/bin/sh", {"sh", "-c", "exec " TOLV_HOST_AR " " + arguments(i)}, environment_with({}),
        direct);
    EXPECT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ(read_file(archive), read_file(wrapped + "/lib" + n + ".a"));
  }
}

}  // namespace
