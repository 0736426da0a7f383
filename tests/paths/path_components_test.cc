// SPDX-License-Identifier: BSD-2-Clause
#include "paths/path_components.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/process_check.h"

namespace {

// The texts of a component list, which is freed.
std::vector<std::string> take(char **dirs) {
  std::vector<std::string> texts;
  for (char **dir = dirs; *dir != nullptr; ++dir) texts.push_back(*dir);
  free_split_dirs(dirs);
  return texts;
}

TEST(SplitDirs, ComponentsKeepTheirSeparatorRunsAndJoinBackToThePath) {
  struct Case {
    const char *path;
    std::vector<std::string> components;
  };
  const Case cases[] = {
      {"/usr/local/bin/", {"/", "usr/", "local/", "bin/"}},
      {"/opt/x/bin/tolv-ar", {"/", "opt/", "x/", "bin/", "tolv-ar"}},
      {"a//b", {"a//", "b"}},
      {"//x/", {"//", "x/"}},
      {"/usr//local/bin", {"/", "usr//", "local/", "bin"}},
      {"tolv-ar", {"tolv-ar"}},
      {"/", {"/"}},
      {"///", {"///"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    int count = -1;
    char **dirs = split_dirs(c.path, &count);
    ASSERT_NE(nullptr, dirs);
    const std::vector<std::string> components = take(dirs);
    EXPECT_EQ(c.components, components);
    EXPECT_EQ(static_cast<int>(components.size()), count);
    std::string joined;
    for (const std::string &component : components) joined += component;
    EXPECT_EQ(c.path, joined);
  }
}

TEST(SplitDirs, CountIsOptionalAndTheEmptyPathHasNoList) {
  EXPECT_EQ((std::vector<std::string>{"a/", "b"}), take(split_dirs("a/b", nullptr)));

  int count = 7;
  EXPECT_EQ(nullptr, split_dirs("", &count));
  EXPECT_EQ(7, count);
  EXPECT_EQ(nullptr, split_dirs(nullptr, &count));
  EXPECT_EQ(7, count);
  free_split_dirs(nullptr);
}

TEST(PathBaseName, PointsJustAfterTheLastSeparator) {
  struct Case {
    const char *path;
    const char *base;      // path_base_name
    const char *dos_base;  // path_base_name_dos
  };
  const Case cases[] = {
      {"a/b/", "", ""},
      {"abc", "abc", "abc"},
      {"/usr/bin/ar", "ar", "ar"},
      {"/", "", ""},
      {"", "", ""},
      {"c:file", "c:file", "file"},
      {"C:\\dir\\file", "C:\\dir\\file", "file"},
      {"C:/dir/file", "file", "file"},
      {"dir\\file", "dir\\file", "file"},
      {"c:", "c:", ""},
      {"z:/", "", ""},
      // Only a letter makes a drive prefix; these bytes border the letters or lie outside ASCII.
      {"1:x", "1:x", "1:x"},
      {"@:x", "@:x", "@:x"},
      {"[:x", "[:x", "[:x"},
      {"`:x", "`:x", "`:x"},
      {"{:x", "{:x", "{:x"},
      {"\xe9:x", "\xe9:x", "\xe9:x"},
      {"ab:x", "ab:x", "ab:x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    const size_t length = strlen(c.path);
    EXPECT_EQ(c.path + length - strlen(c.base), path_base_name(c.path));
    EXPECT_EQ(c.path + length - strlen(c.dos_base), path_base_name_dos(c.path));
  }
}

TEST(CanonicalPath, ResolvesWhatExistsAndCopiesWhatDoesNot) {
  testing_support::TempDir dir;
  // The temporary root may itself lie behind a link.
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath(dir.path().c_str(), resolved));
  const std::string real = resolved;
  testing_support::write_file(dir / "file", "");
  ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
  ASSERT_EQ(0, symlink((dir / "file").c_str(), (dir / "link").c_str()));
  ASSERT_EQ(0, symlink("../file", (dir / "sub/up").c_str()));

  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {dir / "link", real + "/file"},
      {dir / "sub/up", real + "/file"},
      {dir / "sub/../file", real + "/file"},
      {dir / "sub/./", real + "/sub"},
      {dir / "missing", dir / "missing"},
      {"/no/such/dir/tolv-ar", "/no/such/dir/tolv-ar"},
      {"", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    char *canonical = canonical_path(c.path.c_str());
    ASSERT_NE(nullptr, canonical);
    EXPECT_EQ(c.expected, canonical);
    EXPECT_NE(c.path.c_str(), canonical);
    free(canonical);
  }
}

}  // namespace
