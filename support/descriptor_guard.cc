// SPDX-License-Identifier: BSD-2-Clause
#include "support/descriptor_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// Readers make descriptors, the writer starts a child. A lock that cannot be taken (a reader
// count overflow, say) is not waited for: the caller goes on unguarded, as before this existed.
pthread_rwlock_t standard_numbers = PTHREAD_RWLOCK_INITIALIZER;
thread_local bool reading = false;
thread_local bool writing = false;

}  // namespace

extern "C" {

void descriptor_creation_begin(void) {
  reading = pthread_rwlock_rdlock(&standard_numbers) == 0;
}

void descriptor_creation_end(void) {
  if (reading) pthread_rwlock_unlock(&standard_numbers);
  reading = false;
}

int descriptor_above_standard(int fd) {
  if (fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

void standard_descriptors_hold(void) {
  writing = pthread_rwlock_wrlock(&standard_numbers) == 0;
}

void standard_descriptors_release(void) {
  if (writing) pthread_rwlock_unlock(&standard_numbers);
  writing = false;
}

}  // extern "C"
