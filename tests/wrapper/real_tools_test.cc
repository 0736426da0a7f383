// SPDX-License-Identifier: BSD-2-Clause
// The wrappers in front of the system's own ar, ranlib and nm, with the stand-in plug-in.
#include <gtest/gtest.h>
#include <stdlib.h>
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

class RealToolsTest : public testing_support::ProcessTest {
 protected:
  RealToolsTest() : installation_(dir_ / "inst") {
    installation_.add_wrapper("tolv-ar");
    installation_.add_wrapper("tolv-ranlib");
    installation_.add_wrapper("tolv-nm");
    installation_.add_tool("ar", TOLV_HOST_AR);
    installation_.add_tool("ranlib", TOLV_HOST_RANLIB);
    installation_.add_tool("nm", TOLV_HOST_NM);
    installation_.add_plugin(read_file(TOLV_PLUGIN));
    work_ = dir_ / "work";
    testing_support::make_directories(work_);
  }

  RunResult run(const std::string &program, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {installation_.program(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::run_program(argv[0], argv, environment_with({}), work_);
  }

  void compile(const std::string &name, const std::string &source) {
    write_file(work_ + "/" + name + ".c", source);
    const RunResult result = testing_support::run_program(
        TOLV_C_COMPILER, {TOLV_C_COMPILER, "-c", name + ".c", "-o", name + ".o"},
        environment_with({}), work_);
    ASSERT_EQ(0, result.exit_code) << result.err;
  }

  TempDir dir_;
  Installation installation_;
  std::string work_;
};

TEST_F(RealToolsTest, ArchiveMadeIndexedListedAndShown) {
  compile("alpha", "int alpha_value(void) { return 1; }\n");
  compile("beta", "int beta_counter = 2;\nint beta_value(void) { return beta_counter; }\n");

  RunResult result = run("tolv-ar", {"rcs", "libdemo.a", "alpha.o", "beta.o"});
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ("", result.err);
  result = run("tolv-ranlib", {"libdemo.a"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  result = run("tolv-ar", {"t", "libdemo.a"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ("alpha.o\nbeta.o\n", result.out);
  result = run("tolv-nm", {"libdemo.a"});
  EXPECT_EQ(0, result.exit_code) << result.err;
  for (const char *symbol : {"T alpha_value", "D beta_counter", "T beta_value"}) {
    EXPECT_NE(std::string::npos, result.out.find(symbol)) << symbol << " in\n" << result.out;
  }
  // The archive is the one the tool makes by itself.
  const std::string direct = work_ + "/direct.a";
  const RunResult plain = testing_support::run_program(
      TOLV_HOST_AR, {"ar", "rcs", "direct.a", "alpha.o", "beta.o"}, environment_with({}), work_);
  ASSERT_EQ(0, plain.exit_code) << plain.err;
  EXPECT_EQ(read_file(direct), read_file(work_ + "/libdemo.a"));
}

TEST_F(RealToolsTest, ResponseFileAsTheWholeCommand) {
  compile("alpha", "int alpha_value(void) { return 1; }\n");
  write_file(work_ + "/command.rsp", "rcs librsp.a alpha.o\n");
  const RunResult result = run("tolv-ar", {"@command.rsp"});
  ASSERT_EQ(0, result.exit_code) << result.err;
  EXPECT_EQ("alpha.o\n", run("tolv-ar", {"t", "librsp.a"}).out);
}

TEST_F(RealToolsTest, ToolFailurePassesThrough) {
  const RunResult wrapped = run("tolv-ar", {"t", "missing.a"});
  const RunResult plain = testing_support::run_program(
      TOLV_HOST_AR, {"ar", "t", "missing.a"}, environment_with({}), work_);
  EXPECT_NE(0, plain.exit_code);
  EXPECT_EQ(plain.exit_code, wrapped.exit_code);
  EXPECT_NE(std::string::npos, wrapped.err.find("missing.a")) << wrapped.err;
  const RunResult nm = run("tolv-nm", {"missing.o"});
  EXPECT_NE(0, nm.exit_code);
}

}  // namespace

// The tools ignore a "--plugin" path that does not exist, so a wrong path would pass every test
// above. The plug-in's load trace proves that each tool really loaded the very file the wrapper
// located, and that the tool run directly, without "--plugin", loaded nothing.
TEST_F(RealToolsTest, EachToolLoadsThePluginTheWrapperLocated) {
  compile("alpha", "int alpha_value(void) { return 1; }\n");
  const std::string trace = work_ + "/plugin-trace";
  const auto traced = environment_with({"TOLV_PLUGIN_TRACE=" + trace});
  const std::string direct = work_ + "/direct.a";
  const RunResult plain = testing_support::run_program(
      TOLV_HOST_AR, {"ar", "rcs", "direct.a", "alpha.o"}, traced, work_);
  ASSERT_EQ(0, plain.exit_code) << plain.err;
  EXPECT_FALSE(testing_support::exists(trace)) << read_file(trace);

  const struct {
    const char *program;
    std::vector<std::string> args;
    const char *tool;
  } runs[] = {{"tolv-ar", {"rcs", "libtraced.a", "alpha.o"}, "ar"},
              {"tolv-ranlib", {"libtraced.a"}, "ranlib"},
              {"tolv-nm", {"libtraced.a"}, "nm"}};
  char *located = realpath((installation_.plugin_dir() + plugin_file_name).c_str(), nullptr);
  ASSERT_NE(nullptr, located);
  const std::string plugin = located;
  free(located);
  for (const auto &r : runs) {
    SCOPED_TRACE(r.program);
    unlink(trace.c_str());
    std::vector<std::string> argv = {installation_.program(r.program)};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    const RunResult result = testing_support::run_program(argv[0], argv, traced, work_);
    ASSERT_EQ(0, result.exit_code) << result.err;
    const std::string lines = read_file(trace);
    ASSERT_FALSE(lines.empty()) << r.tool << " did not load the plug-in";
    // Every line: "<path the tool was given> loaded by <tool>".
    size_t start = 0;
    while (start < lines.size()) {
      const size_t end = lines.find('\n', start);
      ASSERT_NE(std::string::npos, end);
      const std::string line = lines.substr(start, end - start);
      const std::string suffix = std::string(" loaded by ") + r.tool;
      ASSERT_GT(line.size(), suffix.size()) << line;
      EXPECT_EQ(suffix, line.substr(line.size() - suffix.size())) << line;
      char *loaded = realpath(line.substr(0, line.size() - suffix.size()).c_str(), nullptr);
      EXPECT_EQ(plugin, loaded != nullptr ? loaded : "(none)") << line;
      free(loaded);
      start = end + 1;
    }
  }
}
