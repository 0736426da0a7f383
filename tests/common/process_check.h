// SPDX-License-Identifier: BSD-2-Clause
// Checks that a test leaves no descriptor open and no child unreaped.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace testing_support {

/// The descriptors open in this process.
std::set<int> open_descriptors();

/// Whether a child of this process exists (running, or ended and not reaped).
bool has_child();

/// What each descriptor refers to, for failure messages (read from /proc where there is one).
std::string describe_descriptors(const std::set<int> &fds);

/// Fixture for tests that start processes or make descriptors: whatever the test does, it must
/// end with the descriptors it started with and without children.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  std::set<int> descriptors_before_;
};

/// A fresh directory under the test temporary root, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  /// path() + "/" + name.
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes a file (created or truncated) with the given mode.
void write_file(const std::string &path, const std::string &contents, int mode = 0644);
/// The whole contents of a file; empty when it cannot be read.
std::string read_file(const std::string &path);
/// Whether the path exists (lstat).
bool exists(const std::string &path);

}  // namespace testing_support
