// SPDX-License-Identifier: BSD-2-Clause
#include "support/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "support/alloc.h"
#include "support/descriptor_guard.h"

namespace {

// Chosen on first use and kept for the life of the process; never freed. Threads making the
// first choice together may each build a text, but only the first one stored is ever handed out.
// (A function-local static would do the same through the C++ runtime's guard functions, which
// would bring its exception support into every program.)
std::atomic<char *> chosen_temp_dir{nullptr};

constexpr const char *variables[] = {"TMPDIR", "TMP", "TEMP"};
// Tried in order after the variables. "/tmp/" and "/tmp" are both listed:
// the text is used verbatim, so the first gives a directory text ending in two slashes.
constexpr const char *fixed_candidates[] = {"/tmp/", "/var/tmp", "/tmp"};

bool usable_directory(const char *candidate) {
  if (access(candidate, R_OK | W_OK | X_OK) != 0) return false;
  struct stat info;
  if (stat(candidate, &info) != 0) return false;
  return (info.st_mode & S_IFMT) == S_IFDIR;
}

const char *first_usable() {
  for (const char *variable : variables) {
    const char *value = getenv(variable);
    if (value != nullptr && usable_directory(value)) return value;
  }
  for (const char *candidate : fixed_candidates) {
    if (usable_directory(candidate)) return candidate;
  }
  return ".";
}

}  // namespace

extern "C" {

const char *temp_dir_choose(void) {
  char *chosen = chosen_temp_dir.load(std::memory_order_acquire);
  if (chosen != nullptr) return chosen;
  const char *directory = first_usable();
  const size_t length = strlen(directory);
  // A "/" is always appended, even after one, so names join by plain concatenation.
  char *text = static_cast<char *>(must_malloc(length + 2));
  memcpy(text, directory, length);
  text[length] = '/';
  text[length + 1] = '\0';
  if (!chosen_temp_dir.compare_exchange_strong(chosen, text, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
    // Another thread stored its choice first; `chosen` now holds it.
    free(text);
    return chosen;
  }
  return text;
}

char *temp_file_create_prefixed(const char *prefix, const char *suffix) {
  const char *directory = temp_dir_choose();
  if (prefix == nullptr) prefix = "cc";
  if (suffix == nullptr) suffix = "";
  const size_t directory_length = strlen(directory);
  const size_t prefix_length = strlen(prefix);
  const size_t suffix_length = strlen(suffix);

  // Six placeholders and the NUL.
  char *name =
      static_cast<char *>(must_malloc(directory_length + prefix_length + suffix_length + 7));
  char *end = name;
  memcpy(end, directory, directory_length);
  end += directory_length;
  memcpy(end, prefix, prefix_length);
  end += prefix_length;
  memcpy(end, "XXXXXX", 6);
  end += 6;
  memcpy(end, suffix, suffix_length + 1);

  // Made as every descriptor of the library is, although it is closed at once: a child started
  // meanwhile on another thread must not inherit it.
  const int fd = descriptor_mkostemps(name, static_cast<int>(suffix_length));
  if (fd < 0) {
    // Callers count on getting a file; without one the pipeline cannot go on.
    const int error_number = errno;
    fprintf(stderr, "Cannot create temporary file in %s: %s\n", directory, strerror(error_number));
    abort();
  }
  if (close(fd) != 0) abort();
  return name;
}

char *temp_file_create(const char *suffix) { return temp_file_create_prefixed(nullptr, suffix); }

}  // extern "C"
