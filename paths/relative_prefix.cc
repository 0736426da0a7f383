// SPDX-License-Identifier: BSD-2-Clause
#include "paths/relative_prefix.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "paths/path_components.h"

namespace {

// Candidates up to this size are built on the stack, so the usual PATH search allocates nothing.
constexpr size_t stack_candidate_size = 4031;

// What one computation holds; released together on whichever way it ends.
struct Held {
  char *heap_candidate = nullptr;
  char **program_dirs = nullptr;
  char **bin_dirs = nullptr;
  char **target_dirs = nullptr;

  Held() = default;
  Held(const Held &) = delete;
  Held &operator=(const Held &) = delete;
  ~Held() {
    free_split_dirs(target_dirs);
    free_split_dirs(bin_dirs);
    free_split_dirs(program_dirs);
    free(heap_candidate);
  }
};

// Only a regular file will do: a directory may well grant execute permission.
bool is_executable_file(const char *candidate) {
  struct stat info;
  return access(candidate, X_OK) == 0 && stat(candidate, &info) == 0 &&
         (info.st_mode & S_IFMT) == S_IFREG;
}

// Tries each element of the search path in turn, building the candidate in `candidate` (room for
// the longest element, a "/", the name and a NUL); true when one is accepted and left there.
bool find_on_path(std::string_view search, const char *program, char *candidate) {
  const size_t program_size = strlen(program) + 1;
  for (;;) {
    const size_t colon = search.find(':');
    // Built by hand rather than with substr, whose range check would link the C++ runtime's
    // exception support into every program.
    const std::string_view element(search.data(), colon == std::string_view::npos ? search.size() : colon);
    char *end = candidate;
    if (element.empty()) {
      // An empty element means the working directory.
      memcpy(end, "./", 2);
      end += 2;
    } else {
      memcpy(end, element.data(), element.size());
      end += element.size();
      if (element.back() != '/') *end++ = '/';
    }
    memcpy(end, program, program_size);
    if (is_executable_file(candidate)) return true;
    if (colon == std::string_view::npos) return false;
    search.remove_prefix(colon + 1);
  }
}

size_t total_length(char *const *dirs, int from, int to) {
  size_t length = 0;
  for (int i = from; i < to; ++i) length += strlen(dirs[i]);
  return length;
}

char *append(char *end, const char *text, size_t length) {
  memcpy(end, text, length);
  return end + length;
}

char *compute(const char *program, const char *bin_dir, const char *target_dir,
              bool resolve_links) {
  if (program == nullptr || bin_dir == nullptr || target_dir == nullptr) return nullptr;
  Held held;

  // A bare name is looked up as the shell would have found it.
  char stack_candidate[stack_candidate_size];
  const char *search = getenv("PATH");
  if (path_base_name(program) == program && search != nullptr) {
    const size_t search_length = strlen(search);
    const size_t size = (search_length + 1 > 2 ? search_length + 1 : 2) + strlen(program) + 1;
    char *candidate = stack_candidate;
    if (size > stack_candidate_size) {
      held.heap_candidate = static_cast<char *>(malloc(size));
      if (held.heap_candidate == nullptr) return nullptr;
      candidate = held.heap_candidate;
    }
    if (find_on_path(std::string_view(search, search_length), program, candidate))
      program = candidate;
  }

  char *copy = resolve_links ? canonical_path(program) : strdup(program);
  if (copy == nullptr) return nullptr;
  int program_count = 0;
  held.program_dirs = split_dirs(copy, &program_count);
  free(copy);
  if (held.program_dirs == nullptr) return nullptr;

  int bin_count = 0;
  held.bin_dirs = split_dirs(bin_dir, &bin_count);
  if (held.bin_dirs == nullptr) return nullptr;

  // The last component is the program's own name; its directory is what comes before.
  const int program_dir_count = program_count - 1;
  if (program_dir_count == bin_count) {
    int same = 0;
    while (same < bin_count && strcmp(held.program_dirs[same], held.bin_dirs[same]) == 0) ++same;
    if (same == bin_count) return nullptr;  // Not moved: the configured directory holds.
  }

  int target_count = 0;
  held.target_dirs = split_dirs(target_dir, &target_count);
  if (held.target_dirs == nullptr) return nullptr;

  const int shorter = bin_count < target_count ? bin_count : target_count;
  int common = 0;
  while (common < shorter && strcmp(held.bin_dirs[common], held.target_dirs[common]) == 0)
    ++common;
  // Without a shared root there is no way from one to the other.
  if (common == 0) return nullptr;

  const size_t ups = static_cast<size_t>(bin_count - common);
  const size_t length = total_length(held.program_dirs, 0, program_dir_count) + 3 * ups +
                        total_length(held.target_dirs, common, target_count);
  char *result = static_cast<char *>(malloc(length + 1));
  if (result == nullptr) return nullptr;

  char *end = result;
  for (int i = 0; i < program_dir_count; ++i)
    end = append(end, held.program_dirs[i], strlen(held.program_dirs[i]));
  for (size_t i = 0; i < ups; ++i) end = append(end, "../", 3);
  for (int i = common; i < target_count; ++i)
    end = append(end, held.target_dirs[i], strlen(held.target_dirs[i]));
  *end = '\0';
  return result;
}

}  // namespace

extern "C" {

char *relative_prefix(const char *program, const char *bin_dir, const char *target_dir) {
  return compute(program, bin_dir, target_dir, true);
}

char *relative_prefix_keep_links(const char *program, const char *bin_dir,
                                 const char *target_dir) {
  return compute(program, bin_dir, target_dir, false);
}

}  // extern "C"
