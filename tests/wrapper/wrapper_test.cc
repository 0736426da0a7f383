// SPDX-License-Identifier: BSD-2-Clause
// The built wrappers at work in a temporary installation, in front of a fake tool that records
// how it was started.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "installation.h"
#include "tolv_config.h"

namespace {

using testing_support::environment_with;
using testing_support::Installation;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::write_file;

const std::string usage = "Usage: tolv-ar [-B prefix] ar arguments ...\n";
const std::string target_prefix = std::string(config_target) + "-";

struct Personality {
  const char *program;
  const char *tool;
};
constexpr Personality personalities[] = {
    {"tolv-ar", "ar"}, {"tolv-ranlib", "ranlib"}, {"tolv-nm", "nm"}};

class WrapperTest : public testing_support::ProcessTest {
 protected:
  WrapperTest() : installation_(dir_ / "inst") {
    for (const Personality &p : personalities) {
      installation_.add_wrapper(p.program);
      installation_.add_tool(p.tool, TOLV_FAKE_TOOL);
    }
    installation_.add_plugin();
  }

  // Runs a wrapper from the installation's bin/ with the given arguments after element 0.
  RunResult run(const std::string &program, const std::vector<std::string> &args,
                std::vector<std::string> env = {}, const std::string &cwd = "") {
    std::vector<std::string> argv = {installation_.program(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(installation_.program(program), argv, env, cwd);
  }

  RunResult run_argv(const std::string &path, const std::vector<std::string> &argv,
                     std::vector<std::string> env = {}, const std::string &cwd = "") {
    env.push_back("FAKE_TOOL_LOG=" + log_);
    unlink(log_.c_str());
    return testing_support::run_program(path, argv, environment_with(env), cwd);
  }

  // The argument vectors the fake tool was started with, one per run.
  std::vector<std::string> tool_argv() const {
    std::vector<std::string> lines;
    const std::string text = read_file(log_);
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    if (!lines.empty() && lines[0] == "argv") lines.erase(lines.begin());
    return lines;
  }

  std::string tool(const std::string &name) const { return installation_.tool_dir() + name; }
  std::string plugin() const { return installation_.plugin_dir() + plugin_file_name; }

  TempDir dir_;
  Installation installation_;
  const std::string log_ = dir_ / "tool.log";
};

TEST_F(WrapperTest, ToolVectorPerPersonality) {
  struct Case {
    const char *program;
    std::vector<std::string> args;
    std::vector<std::string> passed;  // after the tool path, "--plugin" and the plug-in
  } cases[] = {
      {"tolv-ar", {"rcs", "lib.a", "a.o"}, {"-rcs", "lib.a", "a.o"}},
      {"tolv-ar", {"-rcs", "lib.a"}, {"-rcs", "lib.a"}},
      {"tolv-ar", {"", "x"}, {"-", "x"}},
      {"tolv-ar", {"t", "rcs"}, {"-t", "rcs"}},
      {"tolv-ar", {"@args.rsp", "x"}, {"@args.rsp", "x"}},
      {"tolv-ar", {}, {}},
      {"tolv-ranlib", {"rcs", "lib.a"}, {"rcs", "lib.a"}},
      {"tolv-ranlib", {}, {}},
      {"tolv-nm", {"lib.a", "-bB", "--B", "-", "--"}, {"lib.a", "-bB", "--B", "-", "--"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.program + (" " + (c.args.empty() ? "(none)" : c.args[0])));
    const std::string name = strchr(c.program, '-') + 1;
    const RunResult result = run(c.program, c.args);
    EXPECT_EQ(0, result.exit_code) << result.err;
    EXPECT_EQ("", result.err);
    std::vector<std::string> expected = {tool(name), "--plugin", plugin()};
    expected.insert(expected.end(), c.passed.begin(), c.passed.end());
    EXPECT_EQ(expected, tool_argv());
  }
}

TEST_F(WrapperTest, PrefixOptionIsTakenOutAndSearchedFirst) {
  // A directory of its own with a plug-in and a tool in it, found only through -B.
  const std::string other = dir_ / "other";
  testing_support::make_directories(other);
  write_file(other + "/" + plugin_file_name, "");
  symlink(TOLV_FAKE_TOOL, (other + "/ar").c_str());
  // For a lone dot, the prefix is the dot itself: the candidates are ".ar" and ".libquarn.so".
  write_file(other + "/." + plugin_file_name, "");
  symlink(TOLV_FAKE_TOOL, (other + "/.ar").c_str());

  testing_support::make_directories(other + "/sub");
  const std::string in_other = other + "/";
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string prefix;  // what the found paths start with
    std::vector<std::string> passed;
    std::string cwd = "";
  } cases[] = {
      {"joined", {"-B" + other, "rcs", "lib.a"}, in_other, {"-rcs", "lib.a"}},
      {"separate", {"-B", other, "rcs", "lib.a"}, in_other, {"-rcs", "lib.a"}},
      {"trailing slash kept single", {"-B" + in_other, "t"}, in_other, {"-t"}},
      {"after the tool's arguments", {"rcs", "lib.a", "-B", other}, in_other, {"-rcs", "lib.a"}},
      {"only the first is honoured", {"-B", other, "t", "-Bsecond", "-B", "third"}, in_other,
       {"-t", "-Bsecond", "-B", "third"}},
      {"dash rule after the removal", {"-B", other, "rcs"}, in_other, {"-rcs"}},
      {"two characters get the slash", {"-B..", "t"}, "../", {"-t"}, other + "/sub"},
      {"lone dot", {"-B.", "t"}, ".", {"-t"}, other},
      {"empty directory", {"-B", "", "t"}, "", {"-t"}, other},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run("tolv-ar", c.args, {}, c.cwd);
    EXPECT_EQ(0, result.exit_code) << result.err;
    std::vector<std::string> expected = {c.prefix + "ar", "--plugin",
                                         c.prefix + plugin_file_name};
    expected.insert(expected.end(), c.passed.begin(), c.passed.end());
    EXPECT_EQ(expected, tool_argv());
  }
}

TEST_F(WrapperTest, PrefixOptionLastGivesTheUsageLine) {
  unlink(plugin().c_str());  // the usage check comes before any lookup
  for (const Personality &p : personalities) {
    SCOPED_TRACE(p.program);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-B"}, std::vector<std::string>{"t", "lib.a", "-B"}}) {
      const RunResult result = run(p.program, args);
      EXPECT_EQ(1, result.exit_code);
      EXPECT_EQ(usage, result.err);
      EXPECT_EQ("", read_file(log_)) << "the tool must not run";
    }
  }
}

TEST_F(WrapperTest, MissingPluginOrToolEndsTheRun) {
  const std::string program = installation_.program("tolv-nm");
  unlink(tool("nm").c_str());
  RunResult result = run("tolv-nm", {"x.o"}, {"PATH=/nonexistent"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(program + ": Cannot find binary '" + target_prefix + "nm'\n", result.err);

  // The messages name the program by element 0, not by the path TOLV_EXEC_PREFIX makes.
  result = run_argv(program, {"as-started", "x.o"},
                    {"PATH=/nonexistent", "TOLV_EXEC_PREFIX=" + installation_.bin_dir()});
  EXPECT_EQ("as-started: Cannot find binary '" + target_prefix + "nm'\n", result.err);

  unlink(plugin().c_str());
  result = run("tolv-nm", {"x.o"}, {"PATH=/nonexistent"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(program + ": Cannot find plugin '" + plugin_file_name + "'\n", result.err)
      << "the plug-in is looked for first";
  EXPECT_EQ("", read_file(log_));
}

TEST_F(WrapperTest, PrefixOptionAlsoLeadsThePathList) {
  // Only the target-prefixed tool in the -B directory: found there through the path list.
  const std::string other = dir_ / "other";
  testing_support::make_directories(other);
  write_file(other + "/" + plugin_file_name, "");
  const std::string prefixed = other + "/" + target_prefix + "nm";
  symlink(TOLV_FAKE_TOOL, prefixed.c_str());
  unlink(tool("nm").c_str());
  const RunResult result = run("tolv-nm", {"-B", other, "x.o"}, {"PATH=/nonexistent"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{prefixed, "--plugin", other + "/" + plugin_file_name, "x.o"}),
            tool_argv());
}

TEST_F(WrapperTest, PathGivesTheTargetPrefixedToolOnly) {
  const std::string path_dir = dir_ / "path";
  testing_support::make_directories(path_dir);
  unlink(tool("ranlib").c_str());
  // A plain ranlib along PATH is never taken.
  symlink(TOLV_FAKE_TOOL, (path_dir + "/ranlib").c_str());
  RunResult result = run("tolv-ranlib", {"lib.a"}, {"PATH=" + path_dir});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(installation_.program("tolv-ranlib") + ": Cannot find binary '" + target_prefix +
                "ranlib'\n",
            result.err);

  const std::string prefixed = path_dir + "/" + target_prefix + "ranlib";
  symlink(TOLV_FAKE_TOOL, prefixed.c_str());
  result = run("tolv-ranlib", {"lib.a"}, {"PATH=/nonexistent:" + path_dir});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ((std::vector<std::string>{prefixed, "--plugin", plugin(), "lib.a"}), tool_argv());

  // PATH unset: nothing along it.
  result = run("tolv-ranlib", {"lib.a"}, {"PATH"});
  EXPECT_EQ(1, result.exit_code);
}

TEST_F(WrapperTest, StatusOfTheToolBecomesTheExitStatus) {
  struct Case {
    std::string variable;
    int exit_code;
    std::string err;
  } cases[] = {
      {"FAKE_TOOL_EXIT=0", 0, ""},
      {"FAKE_TOOL_EXIT=3", 3, ""},
      {"FAKE_TOOL_EXIT=255", 255, ""},
      {"FAKE_TOOL_SIGNAL=9", 1,
       tool("ar") + " terminated with signal 9 [" + strsignal(9) + "]\n"},
      {"FAKE_TOOL_SIGNAL=15", 1,
       tool("ar") + " terminated with signal 15 [" + strsignal(15) + "]\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.variable);
    const RunResult result = run("tolv-ar", {"t", "lib.a"}, {c.variable});
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_EQ(c.err, result.err);
  }
}

// Sets the soft core-size limit for the processes the test starts, restoring it afterwards.
class CoreLimit {
 public:
  explicit CoreLimit(rlim_t soft) {
    getrlimit(RLIMIT_CORE, &saved_);
    rlimit wanted = saved_;
    wanted.rlim_cur = soft <= saved_.rlim_max ? soft : saved_.rlim_max;
    applied_ = setrlimit(RLIMIT_CORE, &wanted) == 0 && wanted.rlim_cur == soft;
  }
  ~CoreLimit() { setrlimit(RLIMIT_CORE, &saved_); }
  bool applied() const { return applied_; }

 private:
  rlimit saved_{};
  bool applied_ = false;
};

TEST_F(WrapperTest, CoreDumpIsSaid) {
  // SIGQUIT dumps core by default, when the limit lets it.
  const std::string start = tool("ar") + " terminated with signal 3 [" + strsignal(3) + "]";
  {
    CoreLimit none(0);
    ASSERT_TRUE(none.applied());
    const RunResult result = run("tolv-ar", {"t"}, {"FAKE_TOOL_SIGNAL=3"});
    EXPECT_EQ(1, result.exit_code);
    EXPECT_EQ(start + "\n", result.err);
  }
  // A core is written only where the kernel writes plain files, in the tool's directory here.
  if (read_file("/proc/sys/kernel/core_pattern").rfind("core", 0) != 0) {
    GTEST_SKIP() << "cores go to a handler on this machine";
  }
  CoreLimit any(RLIM_INFINITY);
  if (!any.applied()) GTEST_SKIP() << "the core-size limit cannot be raised";
  const std::string cwd = dir_ / "cores";
  testing_support::make_directories(cwd);
  // A sanitizer-built wrapper would otherwise lower the limit for itself and so for its tool.
  const char *asan = getenv("ASAN_OPTIONS");
  const std::string asan_options =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":disable_coredump=0";
  const RunResult result =
      run("tolv-ar", {"t"}, {"FAKE_TOOL_SIGNAL=3", asan_options}, cwd);
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(start + ", core dumped\n", result.err);
}

TEST_F(WrapperTest, ToolThatCannotStartIsReported) {
  // Executable, but its interpreter does not exist: the exec fails in the child.
  const std::string broken = dir_ / "broken";
  write_file(broken, "#!/nonexistent/interpreter\n", 0755);
  installation_.add_tool("nm", broken);
  const RunResult result = run("tolv-nm", {"x.o"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ("Error running " + tool("nm") + ": execvp\n", result.err);
}

TEST_F(WrapperTest, EnvironmentReachesTheTool) {
  const RunResult result =
      run("tolv-ar", {"t"}, {"FAKE_TOOL_SHOW=TOLV_SEEN:TOLV_EXEC_PREFIX", "TOLV_SEEN=a b"});
  EXPECT_EQ(0, result.exit_code);
  const std::vector<std::string> lines = tool_argv();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("TOLV_SEEN=a b", lines[lines.size() - 2]);
  EXPECT_EQ("TOLV_EXEC_PREFIX=(unset)", lines.back());
}

TEST_F(WrapperTest, InstallationFollowsTheProgram) {
  // Moved: the whole tree under another name.
  const std::string moved_root = dir_ / "moved";
  ASSERT_EQ(0, rename(installation_.root().c_str(), moved_root.c_str()));
  const Installation moved(moved_root);
  const std::string moved_tool = moved.tool_dir() + "ar";
  const std::string moved_plugin = moved.plugin_dir() + plugin_file_name;
  const std::vector<std::string> expected = {moved_tool, "--plugin", moved_plugin, "-t"};

  RunResult result = run_argv(moved.program("tolv-ar"), {moved.program("tolv-ar"), "t"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(expected, tool_argv());

  // Through a symbolic link elsewhere: the link is resolved to the real tree.
  const std::string link_dir = dir_ / "links";
  testing_support::make_directories(link_dir);
  const std::string link = link_dir + "/tolv-ar";
  ASSERT_EQ(0, symlink(moved.program("tolv-ar").c_str(), link.c_str()));
  result = run_argv(link, {link, "t"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(expected, tool_argv());

  // By a bare name found along PATH.
  result = run_argv(moved.program("tolv-ar"), {"tolv-ar", "t"},
                    {"PATH=/nonexistent::" + moved.bin_dir()}, "/");
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(expected, tool_argv());

  // TOLV_EXEC_PREFIX names the program's directory, whatever element 0 says.
  result = run_argv(moved.program("tolv-ar"), {"elsewhere", "t"},
                    {"TOLV_EXEC_PREFIX=" + moved.bin_dir()});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(expected, tool_argv());

  // Set but empty: the bare program name, looked up along PATH.
  result = run_argv(moved.program("tolv-ar"), {"/nonexistent/x", "t"},
                    {"TOLV_EXEC_PREFIX=", "PATH=" + moved.bin_dir()}, "/");
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ(expected, tool_argv());
}

}  // namespace
