// SPDX-License-Identifier: BSD-2-Clause
// A child for process tests. It runs its arguments as a list of commands, in order:
//   exit N         exit with status N
//   signal N       kill itself with signal N
//   print TEXT     write TEXT to standard output (no newline added)
//   eprint TEXT    write TEXT to standard error
//   cat            copy standard input to standard output until end of file
//   env NAME       print NAME's value, or "(unset)", and a newline
//   environ        print every environment entry, one per line
//   fds            print the open descriptors above 2, space-separated, and a newline
//   closed N       exit with status 1 unless descriptor N is closed
//   sleep MS       sleep MS milliseconds
//   spin MS        use MS milliseconds of CPU time
//   sigstate       print "blocked:" and "ignored:" lines, each followed by the signal numbers
//                  (1 to SIGRTMAX) that are blocked or ignored, space-separated
// Without an exit command it exits with 0.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

extern char **environ;

static void put(int fd, const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t written = write(fd, text, left);
    if (written <= 0) exit(100);
    text += written;
    left -= static_cast<size_t>(written);
  }
}

static double cpu_ms() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *command = argv[i];
    const char *operand = i + 1 < argc ? argv[i + 1] : "";
    if (strcmp(command, "exit") == 0) {
      return atoi(operand);
    } else if (strcmp(command, "signal") == 0) {
      signal(atoi(operand), SIG_DFL);
      kill(getpid(), atoi(operand));
      ++i;
    } else if (strcmp(command, "print") == 0) {
      put(1, operand);
      ++i;
    } else if (strcmp(command, "eprint") == 0) {
      put(2, operand);
      ++i;
    } else if (strcmp(command, "cat") == 0) {
      char buffer[4096];
      ssize_t got;
      while ((got = read(0, buffer, sizeof buffer)) > 0) {
        if (write(1, buffer, static_cast<size_t>(got)) != got) return 101;
      }
    } else if (strcmp(command, "env") == 0) {
      const char *value = getenv(operand);
      put(1, value != nullptr ? value : "(unset)");
      put(1, "\n");
      ++i;
    } else if (strcmp(command, "environ") == 0) {
      for (char **entry = environ; *entry != nullptr; ++entry) {
        put(1, *entry);
        put(1, "\n");
      }
    } else if (strcmp(command, "fds") == 0) {
      // Every open descriptor above 2, in ascending order; asked of each number (no /proc).
      char line[4096] = "";
      for (int fd = 3; fd < 4096; ++fd) {
        struct stat info;
        if (fstat(fd, &info) != 0) continue;
        char number[16];
        snprintf(number, sizeof number, "%d ", fd);
        strcat(line, number);
      }
      put(1, line);
      put(1, "\n");
    } else if (strcmp(command, "closed") == 0) {
      struct stat info;
      if (fstat(atoi(operand), &info) == 0) return 1;
      ++i;
    } else if (strcmp(command, "sleep") == 0) {
      usleep(static_cast<useconds_t>(atoi(operand)) * 1000);
      ++i;
    } else if (strcmp(command, "spin") == 0) {
      const double until = cpu_ms() + atoi(operand);
      volatile unsigned long counter = 0;
      while (cpu_ms() < until) counter = counter + 1;
      ++i;
    } else if (strcmp(command, "sigstate") == 0) {
      sigset_t blocked;
      sigprocmask(SIG_BLOCK, nullptr, &blocked);
      std::string lines[2] = {"blocked:", "ignored:"};
      for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        const std::string number = " " + std::to_string(signal_number);
        if (sigismember(&blocked, signal_number) == 1) lines[0] += number;
        struct sigaction action;
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
          lines[1] += number;
        }
      }
      put(1, (lines[0] + "\n" + lines[1] + "\n").c_str());
    } else {
      put(2, "test_child: unknown command\n");
      return 99;
    }
  }
  return 0;
}
