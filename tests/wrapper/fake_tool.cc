// SPDX-License-Identifier: BSD-2-Clause
// Stands in for ar, ranlib or nm behind a wrapper under test. It appends its argument vector to
// the file named by FAKE_TOOL_LOG, one element per line after a line "argv", and the values of
// the variables named in FAKE_TOOL_SHOW (colon-separated) as NAME=value lines; then it kills
// itself with FAKE_TOOL_SIGNAL when set, or exits with FAKE_TOOL_EXIT (0 when unset).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (const char *log_path = getenv("FAKE_TOOL_LOG")) {
    if (FILE *log = fopen(log_path, "a")) {
      fputs("argv\n", log);
      for (int i = 0; i < argc; ++i) fprintf(log, "%s\n", argv[i]);
      if (const char *show = getenv("FAKE_TOOL_SHOW")) {
        char names[1024];
        snprintf(names, sizeof names, "%s", show);
        for (char *name = strtok(names, ":"); name != nullptr; name = strtok(nullptr, ":")) {
          const char *value = getenv(name);
          fprintf(log, "%s=%s\n", name, value != nullptr ? value : "(unset)");
        }
      }
      fclose(log);
    }
  }
  if (const char *signal_text = getenv("FAKE_TOOL_SIGNAL")) {
    const int number = atoi(signal_text);
    signal(number, SIG_DFL);
    kill(getpid(), number);
  }
  const char *code = getenv("FAKE_TOOL_EXIT");
  return code != nullptr ? atoi(code) : 0;
}
