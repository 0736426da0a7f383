// SPDX-License-Identifier: BSD-2-Clause
// The wrappers' own steps, each timed on its own in a loop as the driver runs it for an
// installed program: where a wrapper's time goes besides starting the tool. The system calls
// count here, which an instruction count does not show.
//
//   bench_steps [benchmark options] INSTALLED_PROGRAM
//
// INSTALLED_PROGRAM is a wrapper inside an installation with the plug-in and the tool.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "paths/relative_prefix.h"
#include "paths/search_list.h"
#include "support/join.h"
#include "tolv_config.h"

namespace {

const char *installed_program = nullptr;
search_list tool_search_list;

void BM_relative_prefix(benchmark::State &state) {
  for (auto _ : state) {
    char *dir = relative_prefix(installed_program, config_bin_dir, config_lib_dir);
    benchmark::DoNotOptimize(dir);
    free(dir);
  }
}
BENCHMARK(BM_relative_prefix);

void BM_relative_prefix_keep_links(benchmark::State &state) {
  for (auto _ : state) {
    char *dir = relative_prefix_keep_links(installed_program, config_bin_dir, config_lib_dir);
    benchmark::DoNotOptimize(dir);
    free(dir);
  }
}
BENCHMARK(BM_relative_prefix_keep_links);

void BM_find(benchmark::State &state, const char *name, int mode) {
  for (auto _ : state) {
    char *found = search_list_find(&tool_search_list, name, mode);
    if (found == nullptr) {
      state.SkipWithError("not found in the installation");
      break;
    }
    benchmark::DoNotOptimize(found);
    free(found);
  }
}
BENCHMARK_CAPTURE(BM_find, plugin, plugin_file_name, R_OK);
BENCHMARK_CAPTURE(BM_find, tool, "ar", X_OK);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    fputs("Usage: bench_steps [benchmark options] INSTALLED_PROGRAM\n", stderr);
    return 2;
  }
  installed_program = argv[1];
  // The same two directories the driver searches; the list keeps copies.
  char *lib_dir = relative_prefix(installed_program, config_bin_dir, config_lib_dir);
  char *libexec_dir = relative_prefix(installed_program, config_bin_dir, config_libexec_dir);
  if (lib_dir == nullptr || libexec_dir == nullptr) {
    fprintf(stderr, "bench_steps: %s is not inside an installation\n", installed_program);
    return 1;
  }
  char *tool_dir = join_strings(lib_dir, config_target, "/", config_version, "/../../../../",
                                config_target, "/bin", nullptr);
  char *plugin_dir = join_strings(libexec_dir, config_target, "/", config_version, "/", nullptr);
  search_list_add_string(tool_dir, &tool_search_list);
  search_list_add_string(plugin_dir, &tool_search_list);
  free(tool_dir);
  free(plugin_dir);
  free(lib_dir);
  free(libexec_dir);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
