// SPDX-License-Identifier: BSD-2-Clause
#include "support/temp_file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/fault.h"
#include "common/process_check.h"

using testing_support::TempDir;

namespace {

testing::Matcher<const std::string &> exactly(const std::string &text) { return text; }

// The directory is chosen once per process, so every choice is made in a freshly started copy
// of the test program: the threadsafe style re-executes it instead of forking this process,
// which may have chosen already.
class TempFileDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Candidates a case can name; "A" and "B" are usable directories, the others are not.
struct Candidates {
  TempDir base;
  std::string a = base / "a", b = base / "b", file = base / "file",
              missing = base / "missing", no_write = base / "no-write",
              no_search = base / "no-search";

  Candidates() {
    mkdir(a.c_str(), 0700);
    mkdir(b.c_str(), 0700);
    // Searchable by everyone: only the directory test can reject it.
    testing_support::write_file(file, "", 0755);
    mkdir(no_write.c_str(), 0500);
    mkdir(no_search.c_str(), 0600);
  }

  // "A/" stands for the path of A followed by "/"; null leaves the variable unset.
  void set(const char *variable, const char *value) const {
    if (value == nullptr) {
      unsetenv(variable);
      return;
    }
    std::string text = value;
    const std::pair<const char *, const std::string *> names[] = {
        {"A", &a}, {"B", &b}, {"FILE", &file}, {"MISSING", &missing},
        {"NO_WRITE", &no_write}, {"NO_SEARCH", &no_search}};
    for (const auto &[name, path] : names) {
      if (text.rfind(name, 0) == 0) {
        text = *path + text.substr(strlen(name));
        break;
      }
    }
    setenv(variable, text.c_str(), 1);
  }

  // The chosen text with A and B put back as their names.
  std::string describe(const char *chosen) const {
    std::string text = chosen;
    for (const auto &[path, name] : {std::pair{&a, "A"}, std::pair{&b, "B"}}) {
      if (text.rfind(*path, 0) == 0) return name + text.substr(path->size());
    }
    return text;
  }
};

// Runs in the fresh copy: sets the variables, chooses, reports the choice and ends.
[[noreturn]] void report_choice(const char *tmpdir, const char *tmp, const char *temp) {
  std::string chosen;
  {
    Candidates candidates;
    candidates.set("TMPDIR", tmpdir);
    candidates.set("TMP", tmp);
    candidates.set("TEMP", temp);
    chosen = candidates.describe(temp_dir_choose());
  }
  fputs(chosen.c_str(), stderr);
  exit(0);
}

TEST_F(TempFileDeathTest, TakesTheFirstUsableCandidateWithOneSlashAppended) {
  struct Case {
    const char *name;
    const char *tmpdir, *tmp, *temp;
    const char *chosen;
    bool needs_permission_checks;
  };
  // The fixed candidates assume a usable /tmp, as on any test host.
  const Case cases[] = {
      {"TMPDIR", "A", "B", "B", "A/", false},
      {"TMPDIR ending in a slash keeps it", "A/", nullptr, nullptr, "A//", false},
      {"empty TMPDIR fails the access test", "", "B", nullptr, "B/", false},
      {"a regular file is skipped", "FILE", "B", nullptr, "B/", false},
      {"a missing path is skipped", "MISSING", "MISSING", "B", "B/", false},
      {"TMP before TEMP", nullptr, "A", "B", "A/", false},
      {"TEMP", nullptr, nullptr, "B", "B/", false},
      {"then the fixed directories, verbatim", nullptr, nullptr, nullptr, "/tmp//", false},
      {"no usable variable", "FILE", "MISSING", "", "/tmp//", false},
      {"a directory without write permission", "NO_WRITE", "B", nullptr, "B/", true},
      {"a directory without search permission", "NO_SEARCH", "B", nullptr, "B/", true},
  };
  // The superuser passes every access test on a directory.
  const bool permissions_apply = geteuid() != 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_permission_checks && !permissions_apply) continue;
    EXPECT_EXIT(report_choice(c.tmpdir, c.tmp, c.temp), testing::ExitedWithCode(0),
                exactly(c.chosen));
  }
}

TEST_F(TempFileDeathTest, IsMadeOnceAndKept) {
  EXPECT_EXIT(
      {
        std::string report;
        {
          Candidates candidates;
          candidates.set("TMPDIR", "A");
          const char *first = temp_dir_choose();
          candidates.set("TMPDIR", "B");
          const char *second = temp_dir_choose();
          report = candidates.describe(first) + " " + candidates.describe(second) +
                   (first == second ? " same" : " copied");
        }
        fputs(report.c_str(), stderr);
        exit(0);
      },
      testing::ExitedWithCode(0), exactly("A/ A/ same"));
}

TEST(TempFileCreate, NamesAreDirectoryPrefixSixCharactersAndSuffix) {
  struct Case {
    const char *name;
    const char *prefix, *suffix;
    std::string before, after;  // the name around the six unique characters
  };
  const std::string dir = temp_dir_choose();
  const Case cases[] = {
      {"defaults", nullptr, nullptr, dir + "cc", ""},
      {"suffix stays at the end", nullptr, ".s", dir + "cc", ".s"},
      {"suffix of placeholders is not replaced", nullptr, "XXXXXX", dir + "cc", "XXXXXX"},
      {"own prefix", "tolv", ".o", dir + "tolv", ".o"},
      {"empty prefix", "", nullptr, dir, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    char *first = temp_file_create_prefixed(c.prefix, c.suffix);
    char *second = temp_file_create_prefixed(c.prefix, c.suffix);
    for (const char *made : {first, second}) {
      const std::string name = made;
      ASSERT_EQ(c.before.size() + 6 + c.after.size(), name.size()) << name;
      EXPECT_EQ(c.before, name.substr(0, c.before.size()));
      EXPECT_EQ(c.after, name.substr(c.before.size() + 6));
      EXPECT_NE("XXXXXX", name.substr(c.before.size(), 6));
      struct stat info;
      ASSERT_EQ(0, stat(made, &info)) << name;
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(0, info.st_size);
    }
    EXPECT_STRNE(first, second);
    unlink(first);
    unlink(second);
    free(first);
    free(second);
  }

  char *plain = temp_file_create(".c");
  const std::string name = plain;
  EXPECT_EQ(dir + "cc", name.substr(0, dir.size() + 2));
  EXPECT_EQ(".c", name.substr(name.size() - 2));
  unlink(plain);
  free(plain);
}

TEST_F(TempFileDeathTest, CreationFailuresAbort) {
  // An aborted creation may leave its file behind. The re-executed copy finds the directory made
  // here through the environment, so that whatever it leaves is removed with the directory.
  constexpr const char *variable = "TOLV_TEMP_FILE_TEST_DIR";
  std::optional<TempDir> made;
  if (getenv(variable) == nullptr) setenv(variable, made.emplace().path().c_str(), 1);
  const std::string dir = getenv(variable);

  EXPECT_EXIT(
      {
        setenv("TMPDIR", dir.c_str(), 1);
        fault::arm(fault::mkostemps_call, {.error = EMFILE});
        temp_file_create(".s");
      },
      testing::KilledBySignal(SIGABRT),
      exactly("Cannot create temporary file in " + dir + "/: " + strerror(EMFILE) + "\n"));
  // The empty file exists by then; only its descriptor could not be closed.
  EXPECT_EXIT(
      {
        setenv("TMPDIR", dir.c_str(), 1);
        fault::arm(fault::close_call, {.error = EIO, .times = 1});
        temp_file_create(nullptr);
      },
      testing::KilledBySignal(SIGABRT), exactly(""));
  unsetenv(variable);
}

}  // namespace
