// SPDX-License-Identifier: BSD-2-Clause
#include "paths/path_components.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <array>

namespace {

// The drive letter of a DOS path is an ASCII letter whatever the locale says, so the test is a
// fixed table of the 256 byte values rather than isalpha.
constexpr std::array<bool, 256> drive_letters = [] {
  std::array<bool, 256> table{};
  for (int c = 0x41; c <= 0x5a; ++c) table[c] = true;  // A to Z
  for (int c = 0x61; c <= 0x7a; ++c) table[c] = true;  // a to z
  return table;
}();

// realpath writes up to PATH_MAX bytes, which is 1024 on the target but larger elsewhere.
constexpr size_t resolved_size = PATH_MAX > 1024 ? PATH_MAX : 1024;

// A component ends where a run of "/" ends.
bool ends_run(const char *at) { return at[0] == '/' && at[1] != '/'; }

char *copy_range(const char *start, const char *end) {
  const size_t length = static_cast<size_t>(end - start);
  char *copy = static_cast<char *>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, start, length);
  copy[length] = '\0';
  return copy;
}

}  // namespace

extern "C" {

char **split_dirs(const char *path, int *count) {
  if (path == nullptr || *path == '\0') return nullptr;

  size_t runs = 0;
  for (const char *at = path; *at != '\0'; ++at)
    if (ends_run(at)) ++runs;
  // The count goes out as an int.
  if (runs >= INT_MAX) return nullptr;

  // One slot per run, one for a final name without separator, one for the end mark.
  char **dirs = static_cast<char **>(malloc((runs + 2) * sizeof *dirs));
  if (dirs == nullptr) return nullptr;

  size_t used = 0;
  const char *start = path;
  const char *at = path;
  for (; *at != '\0'; ++at) {
    if (!ends_run(at)) continue;
    // A failed copy leaves its own slot null, which ends the list for free_split_dirs.
    if ((dirs[used] = copy_range(start, at + 1)) == nullptr) {
      free_split_dirs(dirs);
      return nullptr;
    }
    ++used;
    start = at + 1;
  }
  if (start != at) {
    if ((dirs[used] = copy_range(start, at)) == nullptr) {
      free_split_dirs(dirs);
      return nullptr;
    }
    ++used;
  }
  dirs[used] = nullptr;
  if (count != nullptr) *count = static_cast<int>(used);
  return dirs;
}

void free_split_dirs(char **dirs) {
  if (dirs == nullptr) return;
  for (char **dir = dirs; *dir != nullptr; ++dir) free(*dir);
  free(dirs);
}

const char *path_base_name(const char *path) {
  if (path == nullptr) return nullptr;
  const char *base = path;
  for (const char *at = path; *at != '\0'; ++at)
    if (*at == '/') base = at + 1;
  return base;
}

const char *path_base_name_dos(const char *path) {
  if (path == nullptr) return nullptr;
  if (drive_letters[static_cast<unsigned char>(path[0])] && path[1] == ':') path += 2;
  const char *base = path;
  for (const char *at = path; *at != '\0'; ++at)
    if (*at == '/' || *at == '\\') base = at + 1;
  return base;
}

char *canonical_path(const char *path) {
  if (path == nullptr) return nullptr;
  char resolved[resolved_size];
  return strdup(realpath(path, resolved) != nullptr ? resolved : path);
}

}  // extern "C"
