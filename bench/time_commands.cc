// SPDX-License-Identifier: BSD-2-Clause
// Times whole commands, start to reaped exit, and prints each one's median wall time.
//
//   bench_time [-n rounds] [-w warm-up rounds] NAME PROGRAM ARG... [:: NAME PROGRAM ARG...]...
//
// Every round runs each command once, in an order that rotates from round to round, so that a
// change in the machine's load falls on all commands alike and none always runs first. Output,
// one tab-separated line per command: NAME median_us q1_us q3_us runs. A command's standard
// output goes to /dev/null; a command that exits other than with 0 ends the run with status 1,
// since the time of a failing command says nothing.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "bench/samples.h"

extern char **environ;

namespace {

constexpr char usage[] =
    "Usage: bench_time [-n rounds] [-w warm-up rounds] NAME PROGRAM ARG... [:: NAME PROGRAM "
    "ARG...]...\n";

struct Command {
  const char *name;
  std::vector<char *> arguments;  // null-terminated
  std::vector<double> samples;
};

// One run of the command; its wall time in microseconds, or a negative value after a failure
// (already reported).
double run_once(const Command &command, const posix_spawn_file_actions_t &actions) {
  const double start = bench::now_us();
  pid_t pid;
  const int error = posix_spawnp(&pid, command.arguments[0], &actions, nullptr,
                                 command.arguments.data(), environ);
  if (error != 0) {
    fprintf(stderr, "bench_time: %s: cannot start %s: %s\n", command.name, command.arguments[0],
            strerror(error));
    return -1;
  }
  int status;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  const double elapsed = bench::now_us() - start;
  if (waited < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "bench_time: %s: %s ended with wait status %#x\n", command.name,
            command.arguments[0], waited < 0 ? -1 : status);
    return -1;
  }
  return elapsed;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 20;
  int warm_up = 2;
  int option;
  while ((option = getopt(argc, argv, "+n:w:")) != -1) {
    switch (option) {
      case 'n':
        rounds = bench::count_argument(optarg, 1, usage);
        break;
      case 'w':
        warm_up = bench::count_argument(optarg, 0, usage);
        break;
      default:
        fputs(usage, stderr);
        return 2;
    }
  }

  std::vector<Command> commands;
  for (int i = optind; i < argc;) {
    Command command{argv[i++], {}, {}};
    while (i < argc && strcmp(argv[i], "::") != 0) command.arguments.push_back(argv[i++]);
    if (i < argc) ++i;  // the separator
    if (command.arguments.empty()) {
      fputs(usage, stderr);
      return 2;
    }
    command.arguments.push_back(nullptr);
    commands.push_back(std::move(command));
  }
  if (commands.empty()) {
    fputs(usage, stderr);
    return 2;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

  const size_t count = commands.size();
  for (int round = 0; round < warm_up + rounds; ++round) {
    for (size_t k = 0; k < count; ++k) {
      Command &command = commands[(static_cast<size_t>(round) + k) % count];
      const double elapsed = run_once(command, actions);
      if (elapsed < 0) return 1;
      if (round >= warm_up) command.samples.push_back(elapsed);
    }
  }
  posix_spawn_file_actions_destroy(&actions);

  for (const Command &command : commands) {
    const bench::Summary summary = bench::summarize(command.samples);
    printf("%s\t%.1f\t%.1f\t%.1f\t%zu\n", command.name, summary.median, summary.q1, summary.q3,
           summary.runs);
  }
  return 0;
}
