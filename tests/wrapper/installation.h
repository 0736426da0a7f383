// SPDX-License-Identifier: BSD-2-Clause
// A temporary installation tree for the wrappers, laid out after the build's configuration, and
// a way to run a program in it and collect what it did.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/process_check.h"

namespace testing_support {

struct RunResult {
  int exit_code = -1;  // -1 when the program did not exit normally
  std::string out, err;
};

/// Runs `program` with exactly this argument vector (element 0 included, none at all when
/// empty) and environment, in `directory` when given, with standard input from /dev/null.
RunResult run_program(const std::string &program, const std::vector<std::string> &argv,
                      const std::vector<std::string> &environment,
                      const std::string &directory = "");

/// run_program with the child switched to this user and group (supplementary groups dropped)
/// before the exec, so that permission checks apply to a superuser's test as to anyone's.
/// Exit code 122 means the switch was refused.
RunResult run_program_as(uid_t user, gid_t group, const std::string &program,
                         const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment,
                         const std::string &directory = "");

/// The current environment with the named variables replaced, added ("NAME=value") or
/// removed ("NAME" alone).
std::vector<std::string> environment_with(const std::vector<std::string> &changes);

/// Creates the directory and every missing parent, following "..", like mkdir -p.
void make_directories(const std::string &path);

/// An installation: the wrapper programs in bin/, the plug-in location and the target's tool
/// directory where the wrappers look for them when started from bin/.
class Installation {
 public:
  explicit Installation(const std::string &root);
  const std::string &root() const { return root_; }
  std::string bin_dir() const { return root_ + "/bin/"; }
  std::string program(const std::string &name) const { return bin_dir() + name; }
  /// Where the wrappers look first for the tool and then for the plug-in.
  const std::string &tool_dir() const { return tool_dir_; }
  /// The version directory under libexec, where the plug-in is installed.
  const std::string &plugin_dir() const { return plugin_dir_; }

  /// Puts a copy of the built wrapper into bin/.
  void add_wrapper(const std::string &name) const;
  /// Puts the plug-in file (empty unless contents given) into the plug-in directory.
  void add_plugin(const std::string &contents = "") const;
  /// Makes `name` in the tool directory a symbolic link to `target`.
  void add_tool(const std::string &name, const std::string &target) const;

 private:
  std::string root_, tool_dir_, plugin_dir_;
};

}  // namespace testing_support
