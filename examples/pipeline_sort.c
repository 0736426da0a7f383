/* SPDX-License-Identifier: BSD-2-Clause */
/* Counts repeated words as the shell's `sort | uniq -c` would, with the pipeline service: the
   words go in through a pipe, the counts come back through the output stream, and each child's
   status and CPU times are printed at the end. */
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "pex/pipeline.h"
#include "pex/streams.h"

static const char *const words[] = {"pear", "apple", "pear", "fig", "apple", "pear"};

static void fail(const char *what, int error_number) {
  if (error_number != 0) {
    fprintf(stderr, "pipeline_sort: %s: %s\n", what, strerror(error_number));
  } else {
    fprintf(stderr, "pipeline_sort: %s\n", what);
  }
  exit(1);
}

int main(void) {
  char *sort_arguments[] = {"sort", NULL};
  char *uniq_arguments[] = {"uniq", "-c", NULL};
  const char *names[] = {"sort", "uniq -c"};
  const char *message;
  int error_number = 0;

  /* Stages joined by pipes run side by side; KEEP_TIMES records each child's CPU times. */
  pex_pipeline *pipeline =
      pex_pipeline_create_unix(PEX_VIA_PIPES | PEX_KEEP_TIMES, "pipeline_sort", NULL);

  /* The input pipe comes before the first stage, whose standard input it becomes. */
  FILE *input = pex_attach_input_pipe(pipeline, 0);
  if (input == NULL) fail("pex_attach_input_pipe", errno);

  /* Neither stage is final, so the last one's output stays with us. PEX_PATH_SEARCH looks the
     programs up along PATH. */
  message = pex_run_stage(pipeline, PEX_PATH_SEARCH, "sort", sort_arguments, NULL, NULL,
                          &error_number);
  if (message != NULL) fail(message, error_number);
  message = pex_run_stage(pipeline, PEX_PATH_SEARCH, "uniq", uniq_arguments, NULL, NULL,
                          &error_number);
  if (message != NULL) fail(message, error_number);

  /* Both children are running now. Closing the stream gives sort its end of file. */
  for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) fprintf(input, "%s\n", words[i]);
  if (fclose(input) != 0) fail("writing the words", errno);

  /* The output stream belongs to the pipeline, which closes it at release. */
  FILE *output = pex_take_output(pipeline, 0);
  if (output == NULL) fail("pex_take_output", errno);
  printf("sort | uniq -c:\n");
  char line[256];
  while (fgets(line, sizeof line, output) != NULL) fputs(line, stdout);

  /* Both calls wait for the children that have not been waited for yet. */
  int statuses[2];
  pex_cpu_times times[2];
  if (!pex_get_status(pipeline, 2, statuses)) fail("pex_get_status failed", 0);
  if (!pex_fetch_times(pipeline, 2, times)) fail("pex_fetch_times failed", 0);

  int all_succeeded = 1;
  for (int i = 0; i < 2; ++i) {
    const int status = statuses[i];
    if (WIFEXITED(status)) {
      printf("%s: exit status %d", names[i], WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      printf("%s: killed by signal %d", names[i], WTERMSIG(status));
    } else {
      printf("%s: wait status %#x", names[i], (unsigned)status);
    }
    printf(", CPU %" PRId64 ".%06" PRId64 " s user, %" PRId64 ".%06" PRId64 " s system\n",
           times[i].user_sec, times[i].user_usec, times[i].sys_sec, times[i].sys_usec);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) all_succeeded = 0;
  }

  pex_release(pipeline);
  return all_succeeded ? 0 : 1;
}
