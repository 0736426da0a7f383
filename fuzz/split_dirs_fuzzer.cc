// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: a path taken apart by split_dirs, and its base names.
//
// The input, up to its first NUL, is the path. What must hold:
// - split_dirs gives null exactly for the empty path, and the same list with or without a count;
// - the count is the number of components before the null end;
// - the components joined in order give back the path, none is empty, each is a name followed
//   by a whole run of "/" (only the first may lack the name), and all but the last end in "/";
// - path_base_name points just after the last "/", and is the last component unless the path
//   ends in "/"; path_base_name_dos likewise after an optional drive prefix, with the
//   backslash as a separator too.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "paths/path_components.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &path) {
  fprintf(stderr, "check failed: split_dirs: %s, for the path \"%s\"\n", what, path.c_str());
  abort();
}

void check(bool holds, const char *what, const std::string &path) {
  if (!holds) fail(what, path);
}

// A name followed by one whole run of "/", or the name alone; only a first component may have
// no name before its run.
bool well_formed(const std::string &component, bool first, bool last) {
  const size_t run = component.find('/');
  if (run == std::string::npos) return last && !component.empty();
  if (run == 0 && !first) return false;
  return component.find_first_not_of('/', run) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  const std::string path(text, strnlen(text, size));

  int count = -1;
  char **dirs = split_dirs(path.c_str(), &count);
  char **uncounted = split_dirs(path.c_str(), nullptr);
  if (path.empty()) {
    check(dirs == nullptr && uncounted == nullptr, "no null for the empty path", path);
    check(count == -1, "count stored for the empty path", path);
    return 0;
  }
  check(dirs != nullptr && uncounted != nullptr, "null for a non-empty path", path);

  std::string joined;
  int components = 0;
  for (; dirs[components] != nullptr; ++components) {
    const std::string component = dirs[components];
    const bool last = dirs[components + 1] == nullptr;
    check(well_formed(component, components == 0, last), "a component is not a name and one run",
          path);
    check(last || component.back() == '/', "a component before the last does not end in \"/\"",
          path);
    check(uncounted[components] != nullptr && component == uncounted[components],
          "the lists with and without a count differ", path);
    joined += component;
  }
  check(uncounted[components] == nullptr, "the lists with and without a count differ in length",
        path);
  check(count == components, "the count is not the number of components", path);
  check(joined == path, "the components do not join to the path", path);

  const char *base = path_base_name(path.c_str());
  const size_t slash = path.rfind('/');
  check(base == path.c_str() + (slash == std::string::npos ? 0 : slash + 1),
        "path_base_name is not just after the last \"/\"", path);
  const std::string last_component = dirs[components - 1];
  check(path.back() == '/' ? *base == '\0' : last_component == base,
        "path_base_name is not the last component", path);
  // The DOS form skips a drive letter and its ":", then takes the backslash as a separator too.
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  const size_t start = drive ? 2 : 0;
  const size_t separator = path.find_last_of("/\\");
  const size_t dos_base =
      separator == std::string::npos || separator < start ? start : separator + 1;
  check(path_base_name_dos(path.c_str()) == path.c_str() + dos_base,
        "path_base_name_dos is not just after the drive or the last separator", path);

  free_split_dirs(dirs);
  free_split_dirs(uncounted);
  return 0;
}
