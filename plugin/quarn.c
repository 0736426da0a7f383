/* SPDX-License-Identifier: BSD-2-Clause */
/* The stand-in plug-in installed as libquarn.so. The archive tools load it through "--plugin"
   and call its entry point; it accepts and claims nothing, so the tools go on as without it.
   With TOLV_PLUGIN_TRACE set to a file name, each load appends one line to that file naming the
   plug-in's own path and the program that loaded it, so that a load can be proved: the tools
   ignore a "--plugin" path that does not exist. */
#define _GNU_SOURCE /* dladdr and the program's name, in the GNU C library */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int onload(void *transfer_vector);

static const char *program_name(void) {
#if defined(__GLIBC__)
  extern char *program_invocation_short_name;
  return program_invocation_short_name;
#else
  return getprogname();
#endif
}

static void trace_load(const char *trace) {
  Dl_info info;
  const char *self = "?";
  if (dladdr((void *)trace_load, &info) != 0 && info.dli_fname != NULL) self = info.dli_fname;
  char line[4096];
  const int length = snprintf(line, sizeof line, "%s loaded by %s\n", self, program_name());
  if (length <= 0 || (size_t)length >= sizeof line) return;
  /* One write in append mode, so lines of tools running at once do not mix. */
  const int fd = open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const ssize_t written = write(fd, line, (size_t)length);
  (void)written; /* a trace that cannot be written is no reason to fail the tool */
  close(fd);
}

int onload(void *transfer_vector) {
  (void)transfer_vector;
  const char *trace = getenv("TOLV_PLUGIN_TRACE");
  if (trace != NULL && *trace != '\0') trace_load(trace);
  return 0;
}
