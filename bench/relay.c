/* SPDX-License-Identifier: BSD-2-Clause */
/* One extra process and nothing more: runs its arguments as a command (vfork, execvp, waitpid)
   and exits with the command's status. The least any program that stays between a caller and
   the tool can cost. */
#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fputs("Usage: bench_relay PROGRAM ARG...\n", stderr);
    return 2;
  }
  const pid_t pid = vfork();
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  if (pid < 0) {
    perror("bench_relay: vfork");
    return 1;
  }
  int status;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited < 0) {
    perror("bench_relay: waitpid");
    return 1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
