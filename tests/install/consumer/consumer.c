/* SPDX-License-Identifier: BSD-2-Clause */
/* A program of someone else's, using the library the way its users would: through the
   installed headers, from C. It runs a shell through the pipeline service and prints how it
   ended. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <tolv/pex/pipeline.h>
#include <tolv/support/join.h>

int main(void) {
  char *arguments[] = {"sh", "-c", "exit 3", NULL};
  int status = 0;
  int error_number = 0;
  const char *failure = pex_run_once(PEX_FINAL_STAGE | PEX_PATH_SEARCH, "sh", arguments,
                                     "consumer", NULL, NULL, &status, &error_number);
  if (failure != NULL) {
    fprintf(stderr, "consumer: %s (error %d)\n", failure, error_number);
    return 1;
  }
  char *command = join_strings(arguments[0], " ", arguments[1], " '", arguments[2], "'", NULL);
  printf("%s: exit status %d\n", command, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  free(command);
  return 0;
}
