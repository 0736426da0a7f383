// SPDX-License-Identifier: BSD-2-Clause
// Runs `head -c SIZE /dev/zero | cat | cat > /dev/null` through the pipeline service, once, so
// that a whole-process timer can set it beside a shell running the same pipeline.
//
//   bench_pipeline [--temp] SIZE
//
// SIZE goes to head as it is (e.g. 1G, 256M). The stages are joined by pipes; with --temp each
// stage writes a temporary file that the next one reads once it has ended. Exits with 0 when all
// three stages exited with 0.
#include <stdio.h>
#include <string.h>

#include "pex/pipeline.h"

namespace {

constexpr char usage[] = "Usage: bench_pipeline [--temp] SIZE\n";

}  // namespace

int main(int argc, char **argv) {
  bool temp_files = false;
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--temp") == 0) {
    temp_files = true;
    first = 2;
  }
  if (argc != first + 1) {
    fputs(usage, stderr);
    return 2;
  }
  char *head[] = {const_cast<char *>("head"), const_cast<char *>("-c"), argv[first],
                  const_cast<char *>("/dev/zero"), nullptr};
  char *cat[] = {const_cast<char *>("cat"), nullptr};

  pex_pipeline *pipeline =
      pex_pipeline_create_unix(temp_files ? 0 : PEX_VIA_PIPES, "bench_pipeline", nullptr);
  struct {
    char *const *arguments;
    int flags;
    const char *output;
  } const stages[] = {
      {head, PEX_PATH_SEARCH, nullptr},
      {cat, PEX_PATH_SEARCH, nullptr},
      {cat, PEX_PATH_SEARCH | PEX_FINAL_STAGE, "/dev/null"},
  };
  for (const auto &stage : stages) {
    int error_number = 0;
    if (const char *failure = pex_run_stage(pipeline, stage.flags, stage.arguments[0],
                                            stage.arguments, stage.output, nullptr,
                                            &error_number)) {
      fprintf(stderr, "bench_pipeline: %s: %s: %s\n", stage.arguments[0], failure,
              strerror(error_number));
      pex_release(pipeline);
      return 1;
    }
  }
  int statuses[3];
  const int waited = pex_get_status(pipeline, 3, statuses);
  pex_release(pipeline);
  if (waited == 0) {
    fputs("bench_pipeline: waiting for the stages failed\n", stderr);
    return 1;
  }
  for (int i = 0; i < 3; ++i) {
    if (statuses[i] != 0) {
      fprintf(stderr, "bench_pipeline: stage %d ended with wait status %#x\n", i + 1,
              statuses[i]);
      return 1;
    }
  }
  return 0;
}
