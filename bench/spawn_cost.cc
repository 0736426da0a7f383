// SPDX-License-Identifier: BSD-2-Clause
// The cost of starting a program against the size of the parent: the parent touches a growing
// heap, and at each size times fork+exec, posix_spawn and pex_run_once of the same program, each
// start waited for before the next.
//
//   bench_spawn [-n rounds] [-w warm-up rounds] [-p program] SIZE_MIB...
//
// The heap only grows, so the sizes are taken in increasing order. Each round starts the program
// once by each method, in an order that rotates from round to round. Output, one tab-separated
// line per size and method: SIZE_MIB METHOD median_us q1_us q3_us runs.
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "bench/samples.h"
#include "pex/pipeline.h"

extern char **environ;

namespace {

constexpr char usage[] =
    "Usage: bench_spawn [-n rounds] [-w warm-up rounds] [-p program] SIZE_MIB...\n";

const char *program = "/bin/true";

// Reaps the child and checks that it exited with 0; reports and exits otherwise.
void reap(const char *method, pid_t pid) {
  int status;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited < 0 || status != 0) {
    fprintf(stderr, "bench_spawn: %s: %s ended with wait status %#x\n", method, program,
            waited < 0 ? -1 : status);
    exit(1);
  }
}

void by_fork_exec(char *const *arguments) {
  const pid_t pid = fork();
  if (pid < 0) {
    perror("bench_spawn: fork");
    exit(1);
  }
  if (pid == 0) {
    execv(program, arguments);
    _exit(127);
  }
  reap("fork+exec", pid);
}

void by_posix_spawn(char *const *arguments) {
  pid_t pid;
  const int error = posix_spawn(&pid, program, nullptr, nullptr, arguments, environ);
  if (error != 0) {
    fprintf(stderr, "bench_spawn: posix_spawn: %s\n", strerror(error));
    exit(1);
  }
  reap("posix_spawn", pid);
}

void by_pipeline(char *const *arguments) {
  int status = 0;
  int error_number = 0;
  const char *failure = pex_run_once(PEX_FINAL_STAGE, program, arguments, "bench_spawn", nullptr,
                                     nullptr, &status, &error_number);
  if (failure != nullptr || status != 0) {
    fprintf(stderr, "bench_spawn: pex_run_once: %s (%s), wait status %#x\n",
            failure != nullptr ? failure : "ran", strerror(error_number), status);
    exit(1);
  }
}

struct Method {
  const char *name;
  void (*start)(char *const *arguments);
  std::vector<double> samples;
};

// Held to the end, so that every page stays part of the parent.
std::vector<char *> heap_blocks;
size_t heap_held = 0;

// Grows the touched heap to `mib` MiB, writing one byte in every page.
void grow_heap(size_t mib) {
  const size_t wanted = mib << 20;
  if (wanted <= heap_held) return;
  const size_t more = wanted - heap_held;
  auto *block = static_cast<char *>(malloc(more));
  if (block == nullptr) {
    fprintf(stderr, "bench_spawn: cannot allocate %zu MiB\n", more >> 20);
    exit(1);
  }
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (size_t at = 0; at < more; at += page) static_cast<volatile char *>(block)[at] = 1;
  heap_blocks.push_back(block);
  heap_held = wanted;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 20;
  int warm_up = 3;
  int option;
  while ((option = getopt(argc, argv, "n:w:p:")) != -1) {
    switch (option) {
      case 'n':
        rounds = bench::count_argument(optarg, 1, usage);
        break;
      case 'w':
        warm_up = bench::count_argument(optarg, 0, usage);
        break;
      case 'p':
        program = optarg;
        break;
      default:
        fputs(usage, stderr);
        return 2;
    }
  }
  std::vector<size_t> sizes;
  for (int i = optind; i < argc; ++i) {
    sizes.push_back(static_cast<size_t>(bench::count_argument(argv[i], 1, usage)));
  }
  if (sizes.empty()) {
    fputs(usage, stderr);
    return 2;
  }
  std::sort(sizes.begin(), sizes.end());

  char *arguments[] = {const_cast<char *>(program), nullptr};
  for (const size_t mib : sizes) {
    grow_heap(mib);
    Method methods[] = {{"fork+exec", by_fork_exec, {}},
                        {"posix_spawn", by_posix_spawn, {}},
                        {"pex_run_once", by_pipeline, {}}};
    constexpr size_t count = sizeof methods / sizeof methods[0];
    for (int round = 0; round < warm_up + rounds; ++round) {
      for (size_t k = 0; k < count; ++k) {
        Method &method = methods[(static_cast<size_t>(round) + k) % count];
        const double start = bench::now_us();
        method.start(arguments);
        const double elapsed = bench::now_us() - start;
        if (round >= warm_up) method.samples.push_back(elapsed);
      }
    }
    for (const Method &method : methods) {
      const bench::Summary summary = bench::summarize(method.samples);
      printf("%zu\t%s\t%.1f\t%.1f\t%.1f\t%zu\n", mib, method.name, summary.median, summary.q1,
             summary.q3, summary.runs);
    }
    fflush(stdout);
  }
  for (char *block : heap_blocks) free(block);
  return 0;
}
