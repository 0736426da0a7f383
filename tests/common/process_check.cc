// SPDX-License-Identifier: BSD-2-Clause
#include "process_check.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace testing_support {

std::set<int> open_descriptors() {
  // Asked of each number rather than read from /proc, which not every system has; with fstat,
  // which the fault seam leaves alone. The limit can be huge; no test comes near 65536.
  struct rlimit limit;
  rlim_t last = 65536;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < last) last = limit.rlim_cur;
  std::set<int> fds;
  for (int fd = 0; static_cast<rlim_t>(fd) < last; ++fd) {
    struct stat info;
    if (fstat(fd, &info) == 0) fds.insert(fd);
  }
  return fds;
}

bool has_child() {
  siginfo_t info{};
  // WNOWAIT: look without reaping, so a leaked child stays visible to the failure message.
  const int result = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
  return !(result < 0 && errno == ECHILD);
}

std::string describe_descriptors(const std::set<int> &fds) {
  std::string text;
  for (int fd : fds) {
    char target[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    text += std::to_string(fd) + " -> " + (length > 0 ? target : "?") + "\n";
  }
  return text;
}

void ProcessTest::SetUp() { descriptors_before_ = open_descriptors(); }

void ProcessTest::TearDown() {
  const std::set<int> after = open_descriptors();
  EXPECT_EQ(after, descriptors_before_) << "open now:\n" << describe_descriptors(after);
  EXPECT_FALSE(has_child()) << "a child was left unreaped";
  // Reap whatever was left, so that one failure does not spill into the next test.
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

namespace {

std::string temp_root() {
  const char *root = getenv("TOLV_TEST_TMP");
  std::string path = root != nullptr && *root != '\0' ? root : "/tmp";
  mkdir(path.c_str(), 0755);
  return path;
}

void remove_tree(const std::string &path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR *dir = opendir(path.c_str())) {
      while (dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = temp_root() + "/tolv-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  path_ = pattern;
}

TempDir::~TempDir() { remove_tree(path_); }

void write_file(const std::string &path, const std::string &contents, int mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
  }
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace testing_support
