// SPDX-License-Identifier: BSD-2-Clause
#include "paths/relative_prefix.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/fault.h"
#include "common/process_check.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime provides it; not every compiler ships its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using testing_support::TempDir;
using testing_support::write_file;

constexpr const char *bin = "/usr/local/bin/";
constexpr const char *lib = "/usr/local/lib/tolv/";

// Bytes handed out by the allocator and not yet freed. Only the sanitizer build keeps an exact
// count (the C library's statistics take its cached free blocks as in use); elsewhere it is 0.
size_t allocated_bytes() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return 0;
#endif
}

using Computation = char *(*)(const char *program, const char *bin_dir, const char *target_dir);

// The answer of one computation, "(null)" for none, checking that once the answer is freed the
// heap holds what it held before: no way through, however it ends, may leave anything behind.
std::string answer(Computation compute, const char *program, const char *bin_dir,
                   const char *target_dir) {
  std::string text;
  text.reserve(16384);  // so that taking the answer allocates nothing during the measurement
  const size_t before = allocated_bytes();
  char *result = compute(program, bin_dir, target_dir);
  text = result != nullptr ? result : "(null)";
  free(result);
  EXPECT_EQ(before, allocated_bytes()) << "bytes left allocated";
  return text;
}

TEST(RelativePrefix, ReanchorsTheTargetAtTheProgramsDirectory) {
  struct Case {
    const char *name;
    const char *program;
    const char *bin_dir;
    const char *target_dir;
    const char *expected;  // null: no relocation
  };
  // None of these programs exists, so resolving links changes nothing.
  const Case cases[] = {
      {"moved, lib", "/opt/x/bin/tolv-ar", bin, lib, "/opt/x/bin/../lib/tolv/"},
      {"moved, libexec", "/opt/x/bin/tolv-ar", bin, "/usr/local/libexec/tolv/",
       "/opt/x/bin/../libexec/tolv/"},
      {"installed, lib", "/usr/local/bin/tolv-ar", bin, lib, nullptr},
      {"installed, libexec", "/usr/local/bin/tolv-ar", bin, "/usr/local/libexec/tolv/", nullptr},
      {"target inside the bin dir", "/opt/x/bin/tolv-ar", bin, "/usr/local/bin/x/",
       "/opt/x/bin/x/"},
      {"target is the bin dir", "/opt/x/bin/tolv-ar", bin, bin, "/opt/x/bin/"},
      {"repeated separators count", "/opt/x/bin/tolv-ar", "/usr//local/bin/", "/usr/local/lib/",
       "/opt/x/bin/../../../usr/local/lib/"},
      {"bin dir without trailing /", "/usr/local/bin/tolv-ar", "/usr/local/bin", lib,
       "/usr/local/bin/../lib/tolv/"},
      {"target without trailing /", "/opt/x/bin/tolv-ar", bin, "/usr/local/lib/tolv",
       "/opt/x/bin/../lib/tolv"},
      {"relative target", "/opt/x/bin/tolv-ar", bin, "lib/tolv/", nullptr},
      {"relative bin and target sharing a root", "/opt/x/bin/tolv-ar", "usr/bin/", "usr/lib/",
       "/opt/x/bin/../lib/"},
      {"bin dir names deeper down", "/opt/usr/local/bin/tolv-ar", bin, lib,
       "/opt/usr/local/bin/../lib/tolv/"},
      {"program dir a prefix of the bin dir", "/usr/local/tolv-ar", bin, lib,
       "/usr/local/../lib/tolv/"},
      {"case matters", "/usr/local/BIN/tolv-ar", bin, lib, "/usr/local/BIN/../lib/tolv/"},
      {"relative program path", "bin/tolv-ar", bin, lib, "bin/../lib/tolv/"},
      {"name found nowhere: empty program dir", "tolv-ar-not-installed-anywhere", bin, lib,
       "../lib/tolv/"},
      {"null program", nullptr, bin, lib, nullptr},
      {"null bin dir", "/opt/x/bin/tolv-ar", nullptr, lib, nullptr},
      {"null target", "/opt/x/bin/tolv-ar", bin, nullptr, nullptr},
      {"empty program", "", bin, lib, nullptr},
      {"empty bin dir", "/opt/x/bin/tolv-ar", "", lib, nullptr},
      {"empty target", "/opt/x/bin/tolv-ar", bin, "", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = c.expected != nullptr ? c.expected : "(null)";
    EXPECT_EQ(expected, answer(relative_prefix, c.program, c.bin_dir, c.target_dir));
    EXPECT_EQ(expected, answer(relative_prefix_keep_links, c.program, c.bin_dir, c.target_dir));
  }
}

// Sets PATH for one test and puts the old value back afterwards.
class PathVariable {
 public:
  PathVariable() {
    const char *value = getenv("PATH");
    had_value_ = value != nullptr;
    if (had_value_) saved_ = value;
  }
  ~PathVariable() {
    if (had_value_)
      setenv("PATH", saved_.c_str(), 1);
    else
      unsetenv("PATH");
  }
  PathVariable(const PathVariable &) = delete;
  PathVariable &operator=(const PathVariable &) = delete;

  void set(const std::string &value) { ASSERT_EQ(0, setenv("PATH", value.c_str(), 1)); }
  void unset() { ASSERT_EQ(0, unsetenv("PATH")); }

 private:
  bool had_value_ = false;
  std::string saved_;
};

// A scratch tree of installed programs; the test may change PATH and the working directory.
class InstalledTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char resolved[PATH_MAX];
    // The temporary root may itself lie behind a link.
    ASSERT_NE(nullptr, realpath(dir_.path().c_str(), resolved));
    real_ = resolved;
    ASSERT_NE(nullptr, getcwd(resolved, sizeof resolved));
    saved_cwd_ = resolved;
  }
  void TearDown() override { EXPECT_EQ(0, chdir(saved_cwd_.c_str())); }

  // Makes the directories on the way to `relative` under the tree.
  void make_dirs(const std::string &relative) {
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1))
      mkdir((dir_ / relative.substr(0, slash)).c_str(), 0755);
  }
  void make_file(const std::string &relative, int mode) {
    make_dirs(relative);
    write_file(dir_ / relative, "#!/bin/sh\n", mode);
  }

  TempDir dir_;
  std::string real_;  // dir_ with its links resolved
  PathVariable path_;

 private:
  std::string saved_cwd_;
};

TEST_F(InstalledTree, LinksAreResolvedOrKept) {
  make_file("opt/x/bin/tolv-ar", 0755);
  make_dirs("usr/bin/");
  ASSERT_EQ(0, symlink((dir_ / "opt/x/bin/tolv-ar").c_str(), (dir_ / "usr/bin/tolv-ar").c_str()));
  path_.set("/nonexistent:" + (dir_ / "usr/bin"));

  for (const std::string &program : {dir_ / "usr/bin/tolv-ar", std::string("tolv-ar")}) {
    SCOPED_TRACE(program);
    EXPECT_EQ(real_ + "/opt/x/bin/../lib/tolv/",
              answer(relative_prefix, program.c_str(), bin, lib));
    EXPECT_EQ(dir_ / "usr/bin/../lib/tolv/",
              answer(relative_prefix_keep_links, program.c_str(), bin, lib));
  }
}

TEST_F(InstalledTree, PathSearchTakesTheFirstExecutableRegularFile) {
  make_dirs("dir/tolv-ar/");         // executable, but a directory
  make_file("plain/tolv-ar", 0644);  // a regular file, but not executable
  make_file("tools/tolv-ar", 0755);
  make_file("cwd/tolv-ar", 0755);    // found through an empty element
  ASSERT_EQ(0, chdir((dir_ / "cwd").c_str()));
  const std::string dir = dir_ / "dir", plain = dir_ / "plain", tools = dir_ / "tools";

  struct Case {
    const char *name;
    std::string path;      // "(unset)": no PATH
    std::string literal;   // relative_prefix_keep_links: shows the candidate taken
    std::string resolved;  // relative_prefix
  };
  const std::string in_tools = tools + "/../lib/tolv/";
  const std::string in_cwd = "./../lib/tolv/";
  const std::string real_cwd = real_ + "/cwd/../lib/tolv/";
  const Case cases[] = {
      {"directory and non-executable passed over", dir + ":" + plain + ":" + tools, in_tools,
       real_ + "/tools/../lib/tolv/"},
      {"element ending in /", dir + "/:" + tools + "/", in_tools, real_ + "/tools/../lib/tolv/"},
      {"empty element between", dir + "::" + tools, in_cwd, real_cwd},
      {"empty element first", ":" + tools, in_cwd, real_cwd},
      {"empty element last", plain + ":", in_cwd, real_cwd},
      {"empty value", "", in_cwd, real_cwd},
      // Not found: the bare name stays, and resolving it looks in the working directory.
      {"not on the path", dir + ":" + plain, "../lib/tolv/", real_cwd},
      {"no PATH", "(unset)", "../lib/tolv/", real_cwd},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path == "(unset)")
      path_.unset();
    else
      path_.set(c.path);
    EXPECT_EQ(c.literal, answer(relative_prefix_keep_links, "tolv-ar", bin, lib));
    EXPECT_EQ(c.resolved, answer(relative_prefix, "tolv-ar", bin, lib));
  }
}

// Candidates of up to 4031 bytes are built on the stack, longer ones on the heap: both give the
// same answer, and an element that takes the whole PATH fills its buffer to the last byte.
TEST_F(InstalledTree, LongPathGivesTheSameAnswer) {
  make_file("tools/tolv-ar", 0755);
  const std::string tools = dir_ / "tools";
  const size_t name_size = strlen("tolv-ar");

  // One element of exactly `length` bytes naming the tools directory: "./" steps, and one "/"
  // doubled where the length is odd.
  auto padded = [&](size_t length) {
    std::string element = tools;
    if ((length - element.size()) % 2 != 0) element.insert(element.rfind('/'), "/");
    while (element.size() < length) element += "/.";
    return element;
  };
  std::string many;
  for (int i = 0; many.size() < 9000; ++i) many += dir_ / ("none-" + std::to_string(i)) + ":";
  many += tools;

  struct Case {
    const char *name;
    std::string path;
  };
  // The buffer is the PATH's length + 1, the name's, and a NUL.
  const Case cases[] = {
      {"short", tools},
      {"stack buffer filled", padded(4031 - name_size - 2)},
      {"heap buffer filled", padded(4032 - name_size - 2)},
      {"heap buffer, long element", padded(4090 - name_size - 2)},
      {"heap buffer, many elements", many},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    path_.set(c.path);
    EXPECT_EQ(real_ + "/tools/../lib/tolv/", answer(relative_prefix, "tolv-ar", bin, lib));
    const std::string literal = answer(relative_prefix_keep_links, "tolv-ar", bin, lib);
    EXPECT_EQ(c.path.substr(c.path.rfind(':') + 1) + "/../lib/tolv/", literal);
  }
}

TEST(RelativePrefix, EveryFailedAllocationGivesNullAndLeavesNothing) {
  fault::Scope guard;
  const std::string long_path(5000, '/') ;  // a bare name with this PATH needs the heap buffer
  const char *saved = getenv("PATH");
  const std::string saved_path = saved != nullptr ? saved : "";
  setenv("PATH", (long_path + ":/nonexistent").c_str(), 1);
  struct Case {
    const char *program;
    fault::Call call;
  } cases[] = {
      {"/opt/x/bin/tolv-ar", fault::malloc_call},
      {"/opt/x/bin/tolv-ar", fault::strdup_call},
      {"tolv-no-such-program", fault::malloc_call},
      {"tolv-no-such-program", fault::strdup_call},
  };
  for (const Case &c : cases) {
    // Fail the first allocation, then the second, and so on, until the computation gets through.
    for (int skip = 0;; ++skip) {
      SCOPED_TRACE(std::string(c.program) + " skip " + std::to_string(skip));
      fault::arm(c.call, {.error = ENOMEM, .skip = skip, .times = 1});
      const std::string result = answer(relative_prefix, c.program, bin, lib);
      const bool failed = fault::injected(c.call) > 0;
      fault::reset();
      if (!failed) {
        EXPECT_NE("(null)", result);
        break;
      }
      EXPECT_EQ("(null)", result);
      ASSERT_LT(skip, 50);
    }
  }
  if (saved != nullptr) setenv("PATH", saved_path.c_str(), 1); else unsetenv("PATH");
}

}  // namespace
