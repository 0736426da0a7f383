// SPDX-License-Identifier: BSD-2-Clause
#include "installation.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "paths/relative_prefix.h"
#include "tolv_config.h"

extern char **environ;

namespace testing_support {

namespace {

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> result;
  for (std::string &text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

std::string take(char *text) {
  std::string result = text != nullptr ? text : "";
  free(text);
  return result;
}

struct Identity {
  bool change;
  uid_t user;
  gid_t group;
};

RunResult run(const Identity &identity, const std::string &program,
              const std::vector<std::string> &argv, const std::vector<std::string> &environment,
              const std::string &directory) {
  std::vector<std::string> arguments = argv, variables = environment;
  std::vector<char *> argument_pointers = pointers(arguments);
  std::vector<char *> variable_pointers = pointers(variables);
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) abort();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(120);
    if (identity.change && (setgroups(0, nullptr) != 0 || setgid(identity.group) != 0 ||
                            setuid(identity.user) != 0)) {
      _exit(122);
    }
    execve(program.c_str(), argument_pointers.data(), variable_pointers.data());
    _exit(121);
  }
  close(out[1]);
  close(err[1]);
  RunResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *into[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        into[i]->append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace

RunResult run_program(const std::string &program, const std::vector<std::string> &argv,
                      const std::vector<std::string> &environment,
                      const std::string &directory) {
  return run({false, 0, 0}, program, argv, environment, directory);
}

RunResult run_program_as(uid_t user, gid_t group, const std::string &program,
                         const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment,
                         const std::string &directory) {
  return run({true, user, group}, program, argv, environment, directory);
}

std::vector<std::string> environment_with(const std::vector<std::string> &changes) {
  std::vector<std::string> result;
  auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
  for (char **entry = environ; *entry != nullptr; ++entry) {
    bool changed = false;
    for (const std::string &change : changes) changed = changed || name_of(change) == name_of(*entry);
    if (!changed) result.push_back(*entry);
  }
  for (const std::string &change : changes)
    if (change.find('=') != std::string::npos) result.push_back(change);
  return result;
}

void make_directories(const std::string &path) {
  for (size_t end = path.find('/', 1); ; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (!part.empty()) mkdir(part.c_str(), 0755);
    if (end == std::string::npos) break;
  }
}

Installation::Installation(const std::string &root) : root_(root) {
  // Where a wrapper in bin/ looks, computed as the wrapper computes it, so that the tree follows
  // whatever installation the build was configured for.
  const std::string program = bin_dir() + "tolv-ar";
  make_directories(bin_dir());
  const std::string lib_dir = take(relative_prefix(program.c_str(), config_bin_dir, config_lib_dir));
  const std::string libexec_dir =
      take(relative_prefix(program.c_str(), config_bin_dir, config_libexec_dir));
  const std::string level = std::string(config_target) + "/" + config_version + "/";
  make_directories(lib_dir + level);
  tool_dir_ = lib_dir + level + "../../../../" + config_target + "/bin/";
  make_directories(tool_dir_);
  plugin_dir_ = libexec_dir + level;
  make_directories(plugin_dir_);
}

void Installation::add_wrapper(const std::string &name) const {
  const std::string built = std::string(TOLV_WRAPPER_DIR) + "/" + name;
  const std::string installed = program(name);
  if (link(built.c_str(), installed.c_str()) != 0) {
    write_file(installed, read_file(built), 0755);
  }
}

void Installation::add_plugin(const std::string &contents) const {
  write_file(plugin_dir_ + plugin_file_name, contents);
}

void Installation::add_tool(const std::string &name, const std::string &target) const {
  const std::string path = tool_dir_ + name;
  unlink(path.c_str());
  if (symlink(target.c_str(), path.c_str()) != 0) abort();
}

}  // namespace testing_support
