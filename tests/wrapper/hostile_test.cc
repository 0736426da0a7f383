// SPDX-License-Identifier: BSD-2-Clause
// The built wrappers given what a careless or hostile caller may hand them: no argument vector,
// vectors at the system's size limit, odd PATH and TOLV_EXEC_PREFIX values, broken links,
// locked or misshapen installation directories, odd bytes in names, and signals while the tool
// runs. Each case ends with the status and message the wrapper documents, never a crash.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
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

const std::string target_prefix = std::string(config_target) + "-";

// run_program's child exits with this when execve refused the vector.
constexpr int exec_refused = 121;

// Stand-in for the superuser, who passes every read and search permission check.
constexpr uid_t unprivileged_user = 65534;

std::string plugin_missing(const std::string &shown) {
  return shown + ": Cannot find plugin '" + plugin_file_name + "'\n";
}
std::string binary_missing(const std::string &shown, const std::string &tool) {
  return shown + ": Cannot find binary '" + target_prefix + tool + "'\n";
}

// What the fake tool writes for one run with this argument vector.
std::string log_of(const std::vector<std::string> &argv) {
  std::string text = "argv\n";
  for (const std::string &element : argv) text += element + "\n";
  return text;
}

// Equal texts, or where they part: the texts here may be megabytes long.
testing::AssertionResult same_text(const std::string &expected, const std::string &actual) {
  if (expected == actual) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const auto around = [at](const std::string &text) {
    const size_t from = at < 40 ? 0 : at - 40;
    return "\"" + text.substr(from, 80) + "\"";
  };
  return testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                     << actual.size() << "; first difference at byte " << at
                                     << ": expected " << around(expected) << ", got "
                                     << around(actual);
}

// A PATH value of exactly `length` bytes whose elements name nothing, then ":" and `tail`.
std::string path_of_length(size_t length, const std::string &tail) {
  std::string path;
  for (int i = 0; path.size() + tail.size() + 1 < length; ++i) {
    if (!path.empty()) path += ':';
    path += "/nonexistent/" + std::to_string(i);
  }
  path.resize(length - tail.size() - 1, 'x');
  return path + ":" + tail;
}

std::string many_elements(int count, const std::string &tail) {
  std::string path;
  for (int i = 0; i < count; ++i) path += "/nonexistent/element-" + std::to_string(i) + ":";
  return path + tail;
}

// Removes a directory that holds files only.
void remove_directory(const std::string &dir) {
  if (DIR *stream = opendir(dir.c_str())) {
    while (dirent *entry = readdir(stream)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        unlink((dir + "/" + entry->d_name).c_str());
    }
    closedir(stream);
  }
  ASSERT_EQ(0, rmdir(dir.c_str())) << dir;
}

// Whether this machine has a plug-in where the configured directories lead, which a wrapper
// without a program path finds.
bool configured_plugin_installed() {
  const std::string level = std::string(config_target) + "/" + config_version + "/";
  return exists(config_libexec_dir + level + plugin_file_name) ||
         exists(config_lib_dir + level + "../../../../" + config_target + "/bin/" +
                plugin_file_name);
}

struct Outcome {
  int exit_code;
  std::string err;
  std::vector<std::string> tool_vector;  // empty: the tool must not have run
};

class HostileTest : public testing_support::ProcessTest {
 protected:
  HostileTest() : installation_(dir_ / "inst") {
    // Searchable by an unprivileged user, for the permission cases run as one.
    chmod(dir_.path().c_str(), 0755);
    furnish(installation_);
    path_dir_ = dir_ / "path";
    make_directories(path_dir_);
  }

  void TearDown() override {
    RecordProperty("wrapper_runs", runs_);
    printf("[ figures  ] %d wrapper runs\n", runs_);
    ProcessTest::TearDown();
  }

  static void furnish(const Installation &installation) {
    for (const char *tool : {"ar", "ranlib", "nm"}) {
      installation.add_wrapper(std::string("tolv-") + tool);
      installation.add_tool(tool, TOLV_FAKE_TOOL);
    }
    installation.add_plugin();
  }

  // Runs `path` with exactly this vector, the current environment changed as given, and the
  // fake tool's log emptied first.
  RunResult run_argv(const std::string &path, const std::vector<std::string> &argv,
                     std::vector<std::string> env = {}, const std::string &cwd = "",
                     bool unprivileged = false) {
    env.push_back("FAKE_TOOL_LOG=" + log_);
    write_file(log_, "", 0666);
    ++runs_;
    if (unprivileged && geteuid() == 0) {
      return testing_support::run_program_as(unprivileged_user, unprivileged_user, path, argv,
                                             environment_with(env), cwd);
    }
    return testing_support::run_program(path, argv, environment_with(env), cwd);
  }

  void expect(const RunResult &result, const Outcome &outcome) {
    EXPECT_EQ(outcome.exit_code, result.exit_code) << result.err.substr(0, 400);
    EXPECT_TRUE(same_text(outcome.err, result.err));
    EXPECT_TRUE(same_text(outcome.tool_vector.empty() ? "" : log_of(outcome.tool_vector),
                          read_file(log_)));
  }

  // The vector the tool gets when the installation's tool and plug-in are found.
  static std::vector<std::string> from(const Installation &installation, const std::string &tool,
                                       std::vector<std::string> passed) {
    std::vector<std::string> vector = {installation.tool_dir() + tool, "--plugin",
                                       installation.plugin_dir() + plugin_file_name};
    vector.insert(vector.end(), passed.begin(), passed.end());
    return vector;
  }

  TempDir dir_;
  Installation installation_;
  std::string path_dir_;  // holds a target-prefixed tool when a case puts one there
  const std::string log_ = dir_ / "tool.log";
  int runs_ = 0;
};

TEST_F(HostileTest, EmptyArgumentVector) {
  if (configured_plugin_installed()) GTEST_SKIP() << "a plug-in is installed where configured";

  // The driver itself with a count of 0, as a kernel that passes the empty vector on starts it:
  // the configured directories, where nothing is installed, and its own name in the message.
  expect(run_argv(TOLV_EMPTY_VECTOR_AR, {"not seen"}, {"TOLV_EXEC_PREFIX"}, "/"),
         {1, plugin_missing("tolv-ar"), {}});
  // TOLV_EXEC_PREFIX names the program's directory without any element 0.
  expect(run_argv(TOLV_EMPTY_VECTOR_AR, {"not seen"},
                  {"TOLV_EXEC_PREFIX=" + installation_.bin_dir()}),
         {0, "", from(installation_, "ar", {})});

  // The programs started through execve with only the null pointer, as this kernel delivers
  // it: a count of 0, an empty element 0 (Linux), or no start at all.
  run_argv(TOLV_FAKE_TOOL, {});
  const std::string seen = read_file(log_);
  RecordProperty("kernel_gives", seen == "argv\n"     ? "a count of 0"
                                 : seen == "argv\n\n" ? "an empty element 0"
                                                       : "no start");
  if (seen.empty()) return;
  ASSERT_TRUE(seen == "argv\n" || seen == "argv\n\n") << seen;
  const bool count_zero = seen == "argv\n";
  struct Case {
    const char *program;
    const char *tool;
  } cases[] = {{"tolv-ar", "ar"}, {"tolv-ranlib", "ranlib"}, {"tolv-nm", "nm"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.program);
    expect(run_argv(installation_.program(c.program), {}, {"TOLV_EXEC_PREFIX"}, "/"),
           {1, plugin_missing(count_zero ? c.program : ""), {}});
    expect(run_argv(installation_.program(c.program), {},
                    {"TOLV_EXEC_PREFIX=" + installation_.bin_dir()}),
           {0, "", from(installation_, c.tool, {})});
  }
}

TEST_F(HostileTest, LargeArgumentVectorsPassThroughUnchanged) {
  const std::string nm = installation_.program("tolv-nm");
  struct Case {
    const char *name;
    std::vector<std::string> args;
  };
  std::vector<Case> cases = {{"20,000 arguments of every kind", {}},
                             {"150,000 one-byte arguments", {}}};
  const char *const kinds[] = {"", " spaced out ", "line\nbreak", "\xff\xfe\x80 high", "-b",
                               "--",  "-",            "--B",         "@not-a-file"};
  for (int i = 0; i < 20000; ++i) {
    cases[0].args.push_back(i % 10 == 9 ? "arg-" + std::to_string(i) : kinds[i % 9]);
  }
  cases[1].args.assign(150000, "x");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {nm};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    expect(run_argv(nm, argv), {0, "", from(installation_, "nm", c.args)});
  }
}

TEST_F(HostileTest, ArgumentVectorAtTheSizeLimit) {
  // The largest last argument with which the kernel still starts the wrapper, after chunks that
  // fill most of the room the environment leaves. The tool's vector is longer (its path twice,
  // "--plugin", the plug-in's path), so just below that size it passes, and at it the tool
  // cannot be started.
  const std::string nm = installation_.program("tolv-nm");
  // The longest single string Linux takes: 32 pages.
  const size_t string_limit = static_cast<size_t>(sysconf(_SC_PAGESIZE)) * 32;
  const std::vector<std::string> env = environment_with({"FAKE_TOOL_LOG=" + log_});
  size_t env_bytes = 0;
  for (const std::string &entry : env) env_bytes += entry.size() + 1 + sizeof(char *);
  const size_t room = static_cast<size_t>(sysconf(_SC_ARG_MAX)) - env_bytes;
  constexpr size_t chunk = 100000;
  std::vector<std::string> args;
  // Leave between 30,000 bytes and a chunk, less than the longest single argument.
  for (size_t used = 0; used + chunk + 1 + sizeof(char *) + 30000 < room;
       used += chunk + 1 + sizeof(char *)) {
    args.push_back(std::string(chunk, static_cast<char>('a' + args.size() % 26)));
  }
  const auto starts = [&](size_t last) {
    std::vector<std::string> argv = {nm};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(std::string(last, 'z'));
    return run_argv(nm, argv).exit_code != exec_refused;
  };
  ASSERT_TRUE(starts(0));
  ASSERT_FALSE(starts(string_limit - 1)) << "more room than sysconf(_SC_ARG_MAX) says";
  size_t fits = 0, refused = string_limit - 1;
  while (refused - fits > 1) {
    const size_t middle = (fits + refused) / 2;
    (starts(middle) ? fits : refused) = middle;
  }
  RecordProperty("argument_bytes_at_limit", std::to_string(args.size() * (chunk + 1) + fits + 1));
  printf("[ figures  ] %zu arguments of %zu bytes and one of %zu: the largest vector started\n",
         args.size(), chunk, fits);

  const std::string tool = installation_.tool_dir() + "nm";
  const std::string plugin = installation_.plugin_dir() + plugin_file_name;
  const size_t added = 2 * (tool.size() + 1) + sizeof "--plugin" + plugin.size() + 1 +
                       2 * sizeof(char *) - 2 * (nm.size() + 1);
  ASSERT_GT(fits, added + 512);
  for (const size_t last : {fits - added - 512, fits}) {
    SCOPED_TRACE("last argument of " + std::to_string(last) + " bytes");
    std::vector<std::string> argv = {nm};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(std::string(last, 'z'));
    const RunResult result = run_argv(nm, argv);
    if (last == fits) {
      expect(result, {1, "Error running " + tool + ": execvp\n", {}});
    } else {
      std::vector<std::string> passed(argv.begin() + 1, argv.end());
      expect(result, {0, "", from(installation_, "nm", passed)});
    }
  }

  // The ar build's added dash can push the longest argument the kernel takes over that size.
  const std::string ar = installation_.program("tolv-ar");
  for (const size_t length : {string_limit - 2, string_limit - 1}) {
    SCOPED_TRACE("first argument of " + std::to_string(length) + " bytes");
    const std::string first(length, 'r');
    const RunResult result = run_argv(ar, {ar, first, "lib.a"});
    if (length + 1 < string_limit) {
      expect(result, {0, "", from(installation_, "ar", {"-" + first, "lib.a"})});
    } else {
      expect(result, {1, "Error running " + installation_.tool_dir() + "ar: execvp\n", {}});
    }
  }
}

TEST_F(HostileTest, OddPathValues) {
  // Started by its bare name, the wrapper finds itself along PATH; the nm tool is taken out of
  // the installation in the rows that look it up along PATH under its target-prefixed name.
  const std::string bin = installation_.bin_dir();
  const std::string prefixed = path_dir_ + "/" + target_prefix + "nm";
  ASSERT_EQ(0, symlink(TOLV_FAKE_TOOL, prefixed.c_str()));
  const std::string a_file = dir_ / "a-file";
  write_file(a_file, "");
  const std::string loops = dir_ / "loops";
  make_directories(loops);
  ASSERT_EQ(0, symlink("tolv-ar", (loops + "/tolv-ar").c_str()));
  const std::string unset = "(unset)";

  const Outcome ar_found = {0, "", from(installation_, "ar", {"-t", "lib.a"})};
  const Outcome ar_lost = {1, plugin_missing("tolv-ar"), {}};
  const Outcome nm_on_path = {0, "", {prefixed, "--plugin",
                                      installation_.plugin_dir() + plugin_file_name, "x.o"}};
  const Outcome nm_lost = {1, binary_missing(installation_.program("tolv-nm"), "nm"), {}};
  struct Case {
    std::string name;
    std::string path;
    bool ar;  // tolv-ar by its bare name; otherwise tolv-nm by its path, without its tool
    std::string cwd;
    Outcome outcome;
  };
  std::vector<Case> cases = {
      {"longer than 4031 bytes", path_of_length(5000, bin), true, "/", ar_found},
      {"100,000 bytes", path_of_length(100000, bin), true, "/", ar_found},
      {"empty elements around", "::" + bin + "::", true, "/", ar_found},
      {"empty: the working directory", "", true, bin, ar_found},
      {"thousands of elements", many_elements(5000, bin), true, "/", ar_found},
      {"an element longer than any path", "/" + std::string(5000, 'a') + ":" + bin, true, "/",
       ar_found},
      {"an element that is a file", a_file + ":" + bin, true, "/", ar_found},
      {"a link loop named like the program first", loops + ":" + bin, true, "/", ar_found},
      {"program nowhere along it", "/nonexistent", true, "/", ar_lost},
      {"unset, working directory elsewhere", unset, true, "/", ar_lost},
      {"unset, working directory the program's", unset, true, bin, ar_found},
      {"tool after thousands of elements", many_elements(5000, path_dir_), false, "/",
       nm_on_path},
      {"tool after 100,000 bytes", path_of_length(100000, path_dir_), false, "/", nm_on_path},
      {"tool through an empty element", "/nonexistent::", false, path_dir_,
       {0, "", {"./" + target_prefix + "nm", "--plugin",
                installation_.plugin_dir() + plugin_file_name, "x.o"}}},
      {"tool nowhere, only empty elements", "::", false, "/", nm_lost},
      {"tool nowhere, unset", unset, false, "/", nm_lost},
  };
  // Around the size up to which the search builds its candidates on the stack: PATH plus its
  // NUL, the bare name and its NUL.
  for (const size_t buffer : {4030, 4031, 4032}) {
    cases.push_back({"candidate buffer of " + std::to_string(buffer) + " bytes",
                     path_of_length(buffer - sizeof "tolv-ar" - 1, bin), true, "/", ar_found});
  }
  ASSERT_EQ(0, unlink((installation_.tool_dir() + "nm").c_str()));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path_change = c.path == unset ? "PATH" : "PATH=" + c.path;
    const RunResult result =
        c.ar ? run_argv(installation_.program("tolv-ar"), {"tolv-ar", "t", "lib.a"},
                        {path_change}, c.cwd)
             : run_argv(installation_.program("tolv-nm"), {installation_.program("tolv-nm"), "x.o"},
                        {path_change}, c.cwd);
    expect(result, c.outcome);
  }
}

TEST_F(HostileTest, OddExecPrefixValues) {
  // Element 0 names nothing, so only TOLV_EXEC_PREFIX can lead the wrapper to its installation;
  // the messages still name the program by element 0.
  const std::string bin = installation_.bin_dir();
  const std::string a_file = dir_ / "a-file";
  write_file(a_file, "");
  std::string dotted = bin;
  for (int i = 0; i < 3000; ++i) dotted += "./";
  // Whether the C library's realpath takes an input longer than a path may be.
  char resolved[PATH_MAX];
  const bool long_input_resolves = realpath((dotted + "tolv-ar").c_str(), resolved) != nullptr;
  RecordProperty("realpath_takes_long_input", long_input_resolves ? "yes" : "no");

  const Outcome found = {0, "", from(installation_, "ar", {"-t"})};
  const Outcome lost = {1, plugin_missing("as-started"), {}};
  std::string far = "/nonexistent/";
  for (int i = 0; i < 3000; ++i) far += "d/";
  struct Case {
    std::string name;
    std::string prefix;
    std::string path;  // "" leaves PATH alone
    std::string cwd;
    Outcome outcome;
  } cases[] = {
      {"6,000 bytes that resolve to the program's directory", dotted, "", "/",
       long_input_resolves ? found : lost},
      {"6,000 bytes leading nowhere", far, "", "/", lost},
      {"100,000 bytes", "/" + std::string(100000, 'n'), "", "/", lost},
      {"pointing nowhere", "/nonexistent/", "", "/", lost},
      {"a file where a directory should be", a_file + "/", "", "/", lost},
      {"the program's directory without its final slash", bin.substr(0, bin.size() - 1), "",
       "/", lost},
      {"relative to the working directory", "./", "", bin, found},
      {"relative with a step up", "../bin/", "", bin, found},
      {"empty: the bare name along PATH", "", "PATH=" + bin, "/", found},
      {"empty, with PATH unset", "", "PATH", "/", lost},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> env = {"TOLV_EXEC_PREFIX=" + c.prefix};
    if (!c.path.empty()) env.push_back(c.path);
    expect(run_argv(installation_.program("tolv-ar"), {"as-started", "t"}, env, c.cwd),
           c.outcome);
  }
}

TEST_F(HostileTest, ProgramPathThatIsABrokenLink) {
  // The real program is started, element 0 names a link that cannot be resolved: the wrapper
  // takes element 0 as it is and re-anchors the installation at the link's own directory.
  const std::string bin = installation_.bin_dir();
  const std::string elsewhere = dir_ / "links";
  make_directories(elsewhere);
  struct Case {
    const char *name;
    std::string link, target;
    bool in_bin;
  } cases[] = {
      {"dangling, in the program's directory", bin + "dangling-ar", "nonexistent", true},
      {"a loop, in the program's directory", bin + "loop-ar", "loop-ar", true},
      {"dangling, elsewhere", elsewhere + "/tolv-ar", "nonexistent", false},
      {"a loop, elsewhere", elsewhere + "/loop-ar", "loop-ar", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, symlink(c.target.c_str(), c.link.c_str()));
    expect(run_argv(installation_.program("tolv-ar"), {c.link, "t"}),
           c.in_bin ? Outcome{0, "", from(installation_, "ar", {"-t"})}
                    : Outcome{1, plugin_missing(c.link), {}});
  }
}

TEST_F(HostileTest, LockedAndMisshapenInstallations) {
  // Permission rows run as an unprivileged user when the test runs as the superuser, for whom
  // read and search permissions do not apply; the others hold for anyone.
  if (geteuid() == 0) {
    const RunResult probe = testing_support::run_program_as(
        unprivileged_user, unprivileged_user, installation_.program("tolv-ar"),
        {installation_.program("tolv-ar"), "t"}, environment_with({}));
    if (probe.exit_code == 122) GTEST_SKIP() << "cannot switch to an unprivileged user";
  }
  using Setup = std::function<void(const Installation &, const std::string &scratch)>;
  using Expected = std::function<Outcome(const Installation &, const std::string &scratch)>;
  const auto mode = [](const std::string &path, mode_t bits) {
    ASSERT_EQ(0, chmod(path.c_str(), bits)) << path;
  };
  const auto without_slash = [](const std::string &dir) { return dir.substr(0, dir.size() - 1); };
  const auto replace_with_file = [without_slash](const std::string &dir) {
    remove_directory(dir);
    write_file(without_slash(dir), "");
  };
  const auto plugin = [](const Installation &i) { return i.plugin_dir() + plugin_file_name; };
  const auto ar = [](const Installation &i) { return i.tool_dir() + "ar"; };
  const Expected found = [](const Installation &i, const std::string &) {
    return Outcome{0, "", from(i, "ar", {"-t"})};
  };
  const Expected no_plugin = [](const Installation &i, const std::string &) {
    return Outcome{1, plugin_missing(i.program("tolv-ar")), {}};
  };
  const Expected no_binary = [](const Installation &i, const std::string &) {
    return Outcome{1, binary_missing(i.program("tolv-ar"), "ar"), {}};
  };
  struct Case {
    const char *name;
    bool permissions;  // depends on read, search or write permission
    Setup setup;
    std::vector<std::string> args;  // after element 0, the installation's tolv-ar
    Expected expected;
  };
  const Case cases[] = {
      {"plug-in directory without search permission", true,
       [&](const Installation &i, const std::string &) { mode(i.plugin_dir(), 0600); }, {"t"},
       no_plugin},
      {"plug-in directory without read permission", true,
       [&](const Installation &i, const std::string &) { mode(i.plugin_dir(), 0311); }, {"t"},
       found},
      {"tool directory without search permission", true,
       [&](const Installation &i, const std::string &) { mode(i.tool_dir(), 0600); }, {"t"},
       no_binary},
      {"tool directory without search permission, the tool along PATH", true,
       [&](const Installation &i, const std::string &scratch) {
         mode(i.tool_dir(), 0600);
         ASSERT_EQ(0, symlink(TOLV_FAKE_TOOL, (scratch + "/" + target_prefix + "ar").c_str()));
       },
       {"t"},
       [](const Installation &i, const std::string &scratch) {
         return Outcome{0, "", {scratch + "/" + target_prefix + "ar", "--plugin",
                                i.plugin_dir() + plugin_file_name, "-t"}};
       }},
      {"tool directory without read permission", true,
       [&](const Installation &i, const std::string &) { mode(i.tool_dir(), 0311); }, {"t"},
       found},
      {"program directory without read permission", true,
       [&](const Installation &i, const std::string &) { mode(i.bin_dir(), 0311); }, {"t"},
       found},
      {"-B directory without search permission", true,
       [&](const Installation &, const std::string &scratch) {
         write_file(scratch + "/" + plugin_file_name, "");
         mode(scratch, 0600);
       },
       {"-B", "SCRATCH", "t"}, found},
      {"plug-in directory is a file", false,
       [&](const Installation &i, const std::string &) { replace_with_file(i.plugin_dir()); },
       {"t"}, no_plugin},
      {"tool directory is a file", false,
       [&](const Installation &i, const std::string &) { replace_with_file(i.tool_dir()); },
       {"t"}, no_binary},
      {"-B directory is a file", false,
       [&](const Installation &, const std::string &scratch) {
         write_file(scratch + "/file", "");
       },
       {"-B", "SCRATCH/file", "t"}, found},
      {"plug-in is a directory", false,
       [&](const Installation &i, const std::string &) {
         ASSERT_EQ(0, unlink(plugin(i).c_str()));
         make_directories(plugin(i));
       },
       {"t"}, no_plugin},
      {"a directory of the plug-in's name first, the file later", false,
       [&](const Installation &i, const std::string &) {
         make_directories(i.tool_dir() + plugin_file_name);
       },
       {"t"}, found},
      {"plug-in without read permission", true,
       [&](const Installation &i, const std::string &) { mode(plugin(i), 0); }, {"t"},
       no_plugin},
      {"plug-in a dangling link", false,
       [&](const Installation &i, const std::string &) {
         ASSERT_EQ(0, unlink(plugin(i).c_str()));
         ASSERT_EQ(0, symlink("nonexistent", plugin(i).c_str()));
       },
       {"t"}, no_plugin},
      {"plug-in a link loop", false,
       [&](const Installation &i, const std::string &) {
         ASSERT_EQ(0, unlink(plugin(i).c_str()));
         ASSERT_EQ(0, symlink(plugin_file_name, plugin(i).c_str()));
       },
       {"t"}, no_plugin},
      {"plug-in a link to a directory", false,
       [&](const Installation &i, const std::string &) {
         ASSERT_EQ(0, unlink(plugin(i).c_str()));
         ASSERT_EQ(0, symlink(".", plugin(i).c_str()));
       },
       {"t"}, no_plugin},
      {"plug-in a link to a file elsewhere: the link is passed on", false,
       [&](const Installation &i, const std::string &scratch) {
         ASSERT_EQ(0, unlink(plugin(i).c_str()));
         write_file(scratch + "/real.so", "");
         ASSERT_EQ(0, symlink((scratch + "/real.so").c_str(), plugin(i).c_str()));
       },
       {"t"}, found},
      {"tool a dangling link", false,
       [&](const Installation &i, const std::string &) { i.add_tool("ar", "nonexistent"); },
       {"t"}, no_binary},
      {"tool a link loop", false,
       [&](const Installation &i, const std::string &) { i.add_tool("ar", "ar"); }, {"t"},
       no_binary},
      {"tool without execute permission", false,
       [&](const Installation &i, const std::string &) {
         ASSERT_EQ(0, unlink(ar(i).c_str()));
         write_file(ar(i), read_file(TOLV_FAKE_TOOL), 0644);
       },
       {"t"}, no_binary},
      {"tool is a directory", false,
       [&](const Installation &i, const std::string &) {
         ASSERT_EQ(0, unlink(ar(i).c_str()));
         make_directories(ar(i));
       },
       {"t"}, no_binary},
  };
  int row = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = dir_ / ("inst-" + std::to_string(++row));
    const std::string scratch = dir_ / ("scratch-" + std::to_string(row));
    make_directories(scratch);
    const Installation installation(root);
    furnish(installation);
    c.setup(installation, scratch);
    std::vector<std::string> argv = {installation.program("tolv-ar")};
    for (std::string arg : c.args) {
      if (arg.rfind("SCRATCH", 0) == 0) arg = scratch + arg.substr(7);
      argv.push_back(arg);
    }
    const RunResult result =
        run_argv(argv[0], argv, {"PATH=" + scratch}, "", c.permissions);
    expect(result, c.expected(installation, scratch));
  }
}

TEST_F(HostileTest, SearchPathEntriesWithoutPermission) {
  // An earlier PATH directory holds a program of the wrapper's name that an unprivileged user
  // may not reach: the search passes over it, as the exec would have.
  if (geteuid() == 0) {
    const RunResult probe = testing_support::run_program_as(
        unprivileged_user, unprivileged_user, installation_.program("tolv-ar"),
        {installation_.program("tolv-ar"), "t"}, environment_with({}));
    if (probe.exit_code == 122) GTEST_SKIP() << "cannot switch to an unprivileged user";
  }
  const std::string locked = dir_ / "locked";
  const Installation decoy(dir_ / "decoy");
  furnish(decoy);
  make_directories(locked);
  ASSERT_EQ(0, symlink(decoy.program("tolv-ar").c_str(), (locked + "/tolv-ar").c_str()));
  ASSERT_EQ(0, chmod(locked.c_str(), 0600));
  expect(run_argv(installation_.program("tolv-ar"), {"tolv-ar", "t"},
                  {"PATH=" + locked + ":" + installation_.bin_dir()}, "/", true),
         {0, "", from(installation_, "ar", {"-t"})});
}

TEST_F(HostileTest, NamesWithSpacesNewlinesAndHighBytes) {
  const std::string odd = "sp ace\nnew line \xc3\xa9\xff\x80";
  const Installation oddly(dir_ / ("inst " + odd));
  furnish(oddly);
  const std::string other = dir_ / ("B " + odd);
  make_directories(other);
  write_file(other + "/" + plugin_file_name, "");
  ASSERT_EQ(0, symlink(TOLV_FAKE_TOOL, (other + "/ar").c_str()));
  const Installation with_colon(dir_ / "co:lon");
  furnish(with_colon);
  const Installation unfinished(dir_ / ("no plug-in " + odd));
  furnish(unfinished);
  ASSERT_EQ(0, unlink((unfinished.plugin_dir() + plugin_file_name).c_str()));

  struct Case {
    const char *name;
    std::string program;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    Outcome outcome;
  } cases[] = {
      {"installation path", oddly.program("tolv-ar"), {oddly.program("tolv-ar"), "t"}, {},
       {0, "", from(oddly, "ar", {"-t"})}},
      {"arguments", installation_.program("tolv-ar"),
       {installation_.program("tolv-ar"), odd, "\n", " " + odd, "\xff"}, {},
       {0, "", from(installation_, "ar", {"-" + odd, "\n", " " + odd, "\xff"})}},
      {"a first argument of one high byte gets its dash", installation_.program("tolv-ar"),
       {installation_.program("tolv-ar"), "\xe9"}, {},
       {0, "", from(installation_, "ar", {"-\xe9"})}},
      {"-B directory", installation_.program("tolv-ar"),
       {installation_.program("tolv-ar"), "-B" + other, "t"}, {},
       {0, "", {other + "/ar", "--plugin", other + "/" + plugin_file_name, "-t"}}},
      {"TOLV_EXEC_PREFIX", installation_.program("tolv-ar"), {"as-started", "t"},
       {"TOLV_EXEC_PREFIX=" + oddly.bin_dir()}, {0, "", from(oddly, "ar", {"-t"})}},
      {"program name in the message", unfinished.program("tolv-nm"),
       {unfinished.program("tolv-nm"), "x.o"}, {},
       {1, plugin_missing(unfinished.program("tolv-nm")), {}}},
      // The installation's directories are split at ':' like a path list, so a tree under a
      // name with ':' is not found: the parts name nothing.
      {"':' in the installation path", with_colon.program("tolv-ar"),
       {with_colon.program("tolv-ar"), "t"}, {},
       {1, plugin_missing(with_colon.program("tolv-ar")), {}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    expect(run_argv(c.program, c.argv, c.env, dir_.path()), c.outcome);
  }
}

TEST_F(HostileTest, OddElementZero) {
  // Element 0 is only a name to relocate from and to print; nothing it holds reaches the tool.
  if (configured_plugin_installed()) GTEST_SKIP() << "a plug-in is installed where configured";
  const std::string long_name(100000, 'n');
  std::string long_path;
  for (int i = 0; i < 50000; ++i) long_path += "/d";
  const char *const names[] = {"", "/", ".", "-B", "tolv-ar:", "\n"};
  std::vector<std::string> cases(std::begin(names), std::end(names));
  cases.push_back(long_name);
  cases.push_back(long_path);
  for (const std::string &name : cases) {
    SCOPED_TRACE("element 0 of " + std::to_string(name.size()) + " bytes: " + name.substr(0, 20));
    expect(run_argv(installation_.program("tolv-ar"), {name, "t"}, {"TOLV_EXEC_PREFIX"}, "/"),
           {1, plugin_missing(name), {}});
    expect(run_argv(installation_.program("tolv-ar"), {name, "t"},
                    {"TOLV_EXEC_PREFIX=" + installation_.bin_dir()}, "/"),
           {0, "", from(installation_, "ar", {"-t"})});
  }
}

// Runs `path` as run_program does, except that the standard descriptors in `closed` are closed
// instead of redirected, no other descriptor is inherited, and `prepare` runs in the child just
// before the exec. Standard error, when open, is collected; standard input and output are
// /dev/null.
RunResult run_in_state(const std::string &path, const std::vector<std::string> &words,
                       const std::vector<std::string> &variables, const std::vector<int> &closed,
                       const std::function<void()> &prepare) {
  std::vector<std::string> argv_texts = words, env_texts = variables;
  std::vector<char *> argv, envp;
  for (std::string &word : argv_texts) argv.push_back(word.data());
  for (std::string &entry : env_texts) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int err[2];
  if (pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_device = open("/dev/null", O_RDWR);
    dup2(null_device, 0);
    dup2(null_device, 1);
    dup2(err[1], 2);
    // Nothing else inherited: the descriptor limit below must leave exactly one free.
    closefrom(3);
    for (int fd : closed) close(fd);
    if (prepare) prepare();
    execve(path.c_str(), argv.data(), envp.data());
    _exit(exec_refused);
  }
  close(err[1]);
  RunResult result;
  char buffer[512];
  ssize_t got;
  while ((got = read(err[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
    if (got > 0) result.err.append(buffer, static_cast<size_t>(got));
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

TEST_F(HostileTest, StartedInAnOddState) {
  // A tool that cannot start: its interpreter does not exist.
  const std::string broken = dir_ / "broken";
  write_file(broken, "#!/nonexistent/interpreter\n", 0755);
  const Installation unstartable(dir_ / "unstartable");
  furnish(unstartable);
  unstartable.add_tool("ar", broken);
  const std::string broken_tool = unstartable.tool_dir() + "ar";
  const std::string cannot_start = "Error running " + broken_tool + ": execvp\n";

  // Room for the three standard descriptors and one more: not for a report channel's two ends.
  const auto few_descriptors = [] {
    const rlimit limit = {4, 4};
    setrlimit(RLIMIT_NOFILE, &limit);
  };
  const auto sigchld_ignored = [] { signal(SIGCHLD, SIG_IGN); };
  struct Case {
    const char *name;
    const Installation &installation;
    std::vector<int> closed;
    std::function<void()> prepare;
    Outcome outcome;
  } cases[] = {
      {"standard descriptors closed", installation_, {0, 1, 2}, nullptr,
       {3, "", from(installation_, "ar", {"-t"})}},
      {"standard descriptors closed, the tool cannot start", unstartable, {0, 1, 2}, nullptr,
       {1, "", {}}},
      {"input and output closed, the tool cannot start", unstartable, {0, 1}, nullptr,
       {1, cannot_start, {}}},
      {"no descriptors left for the report channel", installation_, {}, few_descriptors,
       {3, "", from(installation_, "ar", {"-t"})}},
      // Without the channel the child says why itself, and its status is the wrapper's.
      {"no descriptors left for the report channel, the tool cannot start", unstartable, {},
       few_descriptors,
       {255, "tolv-" + broken_tool + ": error trying to exec '" + broken_tool +
                 "': execvp: " + strerror(ENOENT) + "\n",
        {}}},
      // An inherited ignored SIGCHLD would have the system reap the tool and lose its status.
      {"SIGCHLD ignored", installation_, {}, sigchld_ignored,
       {3, "", from(installation_, "ar", {"-t"})}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    write_file(log_, "", 0666);
    ++runs_;
    const std::string program = c.installation.program("tolv-ar");
    expect(run_in_state(program, {program, "t"},
                        environment_with({"FAKE_TOOL_LOG=" + log_, "FAKE_TOOL_EXIT=3"}), c.closed,
                        c.prepare),
           c.outcome);
  }
}

TEST_F(HostileTest, ToolFoundWithoutSlashIsNotLookedUpAlongPath) {
  // A program of the same name earlier along PATH must not be the one that runs.
  const std::string decoys = dir_ / "decoys";
  make_directories(decoys);
  write_file(decoys + "/ar", "#!/bin/sh\nexit 42\n", 0755);
  write_file(decoys + "/.ar", "#!/bin/sh\nexit 42\n", 0755);
  const std::string work = dir_ / "work";
  make_directories(work);
  write_file(work + "/" + plugin_file_name, "");
  write_file(work + "/." + plugin_file_name, "");
  ASSERT_EQ(0, symlink(TOLV_FAKE_TOOL, (work + "/ar").c_str()));
  ASSERT_EQ(0, symlink(TOLV_FAKE_TOOL, (work + "/.ar").c_str()));
  for (const char *text : {"", "."}) {
    const std::string prefix = text;
    SCOPED_TRACE("-B '" + prefix + "'");
    expect(run_argv(installation_.program("tolv-ar"),
                    {installation_.program("tolv-ar"), "-B", prefix, "t"},
                    {"PATH=" + decoys + ":/usr/bin:/bin"}, work),
           {0, "", {prefix + "ar", "--plugin", prefix + plugin_file_name, "-t"}});
  }
}

// ---------------------------------------------------------------------------------------------
// Signals while the tool runs. The wrapper installs no handlers: a SIGTERM ends it at once, and
// reaches the tool only when it is sent to the whole process group.

// Orphans of this process come back to it instead of going to init, so that a tool whose
// wrapper died can still be waited for.
class Subreaper {
 public:
  Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

enum class Waited { ended, not_a_child, timed_out };

// Waits up to `seconds` for the child to end; kills it when it has not ended by then.
Waited wait_bounded(pid_t pid, int seconds, int *status) {
  const time_t deadline = time(nullptr) + seconds;
  for (;;) {
    const pid_t got = waitpid(pid, status, WNOHANG);
    if (got == pid) return Waited::ended;
    if (got < 0 && errno == ECHILD) return Waited::not_a_child;
    if (time(nullptr) > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, status, 0);
      return Waited::timed_out;
    }
    usleep(10000);
  }
}

class WrapperSignalTest : public HostileTest {
 protected:
  WrapperSignalTest() {
    // The tool says who it is, then sleeps far longer than any test waits.
    write_file(tool_script_,
               "#!/bin/sh\necho $$ > '" + pid_file_ + "'\nexec '" TOLV_TEST_CHILD
               "' sleep 60000\n",
               0755);
    installation_.add_tool("nm", tool_script_);
  }

  void TearDown() override {
    // Whatever a failed check left behind: nothing may outlive the test.
    if (wrapper_ > 0) kill(-wrapper_, SIGKILL);
    if (tool_ > 0) kill(tool_, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    if (err_[0] >= 0) close(err_[0]);
    err_[0] = -1;
    HostileTest::TearDown();
  }

  // Starts tolv-nm as the leader of a new process group, its standard error into err_.
  pid_t start() {
    unlink(pid_file_.c_str());
    if (pipe(err_) != 0) return -1;
    const std::string program = installation_.program("tolv-nm");
    std::vector<std::string> words = {program, "x.o"};
    std::vector<std::string> env = environment_with({});
    std::vector<char *> argv, envp;
    for (std::string &word : words) argv.push_back(word.data());
    for (std::string &entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      dup2(err_[1], 2);
      close(err_[0]);
      close(err_[1]);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(exec_refused);
    }
    setpgid(pid, pid);
    close(err_[1]);
    wrapper_ = pid;
    return pid;
  }

  // The tool's process id once it has started (and written it), or -1 after 20 seconds.
  pid_t tool_pid() {
    for (int i = 0; i < 2000; ++i) {
      const std::string text = read_file(pid_file_);
      if (!text.empty() && text.back() == '\n') return tool_ = atoi(text.c_str());
      usleep(10000);
    }
    return -1;
  }

  std::string wrapper_err() {
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(err_[0], buffer, sizeof buffer)) > 0) text.append(buffer, size_t(got));
    close(err_[0]);
    err_[0] = -1;
    return text;
  }

  const std::string tool_script_ = dir_ / "slow-tool";
  const std::string pid_file_ = dir_ / "tool.pid";
  int err_[2] = {-1, -1};
  pid_t wrapper_ = -1, tool_ = -1;
  Subreaper subreaper_;
};

TEST_F(WrapperSignalTest, TermToTheWrapperAloneLeavesTheToolRunning) {
  const pid_t wrapper = start();
  ASSERT_GT(wrapper, 0);
  const pid_t tool = tool_pid();
  ASSERT_GT(tool, 0);
  ASSERT_EQ(0, kill(wrapper, SIGTERM));
  int status = 0;
  ASSERT_EQ(Waited::ended, wait_bounded(wrapper, 20, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << std::hex << status;

  // Nobody told the tool: it is still running, now an orphan of this process.
  usleep(100000);
  int tool_status = 0;
  EXPECT_EQ(0, waitpid(tool, &tool_status, WNOHANG)) << "the tool has ended";
  kill(tool, SIGKILL);
  ASSERT_EQ(Waited::ended, wait_bounded(tool, 20, &tool_status));
  wrapper_ = tool_ = -1;
  EXPECT_TRUE(WIFSIGNALED(tool_status) && WTERMSIG(tool_status) == SIGKILL)
      << std::hex << tool_status;
  EXPECT_EQ("", wrapper_err());
}

TEST_F(WrapperSignalTest, TermToTheProcessGroupEndsBoth) {
  const pid_t wrapper = start();
  ASSERT_GT(wrapper, 0);
  const pid_t tool = tool_pid();
  ASSERT_GT(tool, 0);
  ASSERT_EQ(0, kill(-wrapper, SIGTERM));
  int status = 0;
  ASSERT_EQ(Waited::ended, wait_bounded(wrapper, 20, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << std::hex << status;
  // The tool ended by the same signal. It comes back here as an orphan, unless it ended first
  // and the dying wrapper's wait took it; then it is simply gone.
  int tool_status = 0;
  const Waited tool_end = wait_bounded(tool, 20, &tool_status);
  ASSERT_NE(Waited::timed_out, tool_end) << "the tool outlived its group's SIGTERM";
  if (tool_end == Waited::ended) {
    EXPECT_TRUE(WIFSIGNALED(tool_status) && WTERMSIG(tool_status) == SIGTERM)
        << std::hex << tool_status;
  } else {
    EXPECT_NE(0, kill(tool, 0)) << "the tool still runs, and is nobody's child here";
  }
  wrapper_ = tool_ = -1;
  // The wrapper died with its tool and said nothing.
  EXPECT_EQ("", wrapper_err());
}

}  // namespace
