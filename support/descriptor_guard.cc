// SPDX-License-Identifier: BSD-2-Clause
#include "support/descriptor_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Readers make descriptors, the writer starts a child. A lock that cannot be taken (a reader
// count overflow, say) is not waited for: the caller goes on unguarded.
pthread_rwlock_t standard_numbers = PTHREAD_RWLOCK_INITIALIZER;

// fd when it is above 2; else a close-on-exec duplicate above 2, and fd is closed.
int above_standard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

// Runs `make` (which returns a descriptor or -1) inside the lock's shared side, until the new
// descriptor is above 2; errno is kept from the call that failed.
template <typename Make>
int made_off_standard(Make make) {
  const bool locked = pthread_rwlock_rdlock(&standard_numbers) == 0;
  const int fd = above_standard(make());
  const int saved = errno;
  if (locked) pthread_rwlock_unlock(&standard_numbers);
  errno = saved;
  return fd;
}

}  // namespace

extern "C" {

int descriptor_open(const char *name, int flags) {
  return made_off_standard([&] { return open(name, flags | O_CLOEXEC, 0666); });
}

int descriptor_pipe(int fds[2]) {
  int made[2];
  int write_end = -1;
  const int read_end = made_off_standard([&] {
    if (pipe2(made, O_CLOEXEC) < 0) return -1;
    write_end = above_standard(made[1]);
    if (write_end < 0) {
      const int saved = errno;
      close(made[0]);
      errno = saved;
      return -1;
    }
    return made[0];
  });
  if (read_end < 0) {
    if (write_end >= 0) {
      const int saved = errno;
      close(write_end);
      errno = saved;
    }
    return -1;
  }
  fds[0] = read_end;
  fds[1] = write_end;
  return 0;
}

int descriptor_mkostemps(char *name_template, int suffix_length) {
  return made_off_standard([&] { return mkostemps(name_template, suffix_length, O_CLOEXEC); });
}

int standard_descriptors_hold(void) {
  return pthread_rwlock_wrlock(&standard_numbers) == 0 ? 1 : 0;
}

void standard_descriptors_release(int held) {
  if (held != 0) pthread_rwlock_unlock(&standard_numbers);
}

}  // extern "C"
