// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: relative_prefix and relative_prefix_keep_links over generated path triples.
//
// The input is lines: the first selects PATH (its first byte modulo 3: unset, a short list, a
// list of more than 4031 bytes), the next three are the program path, the bin directory and the
// target directory; a missing line is a null argument. Every "@" in them stands for a small
// tree made at start-up (programs, a directory named like one, a link), so that the PATH search
// and the link resolution have something to find.
//
// Both functions must give exactly what the re-anchoring rule gives, worked out here on plain
// strings from the same PATH search and realpath answer: null in the null cases, otherwise the
// program's directory, one "../" per bin component beyond those shared with the target, then
// the rest of the target; and a result ends in "/" when the target does (unless the target is the
// bin directory itself). Nothing may be left allocated (the leak check runs after each input).
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "paths/relative_prefix.h"
#include "input_lines.h"

namespace {

namespace fs = std::filesystem;

std::string tree;  // canonical path of the tree, without a final "/"
std::string short_path, long_path;

void remove_tree() {
  std::error_code ignored;
  fs::remove_all(tree, ignored);
}

void make_program(const fs::path &path) {
  fs::create_directories(path.parent_path());
  FILE *file = fopen(path.c_str(), "w");
  if (file == nullptr) abort();
  fputs("#!/bin/sh\n", file);
  fclose(file);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

// bin1 holds a directory named like the program (passed over by the search), bin2 the program,
// link a symbolic link to it; usr/local/bin mirrors the configured bin directory.
void make_tree() {
  const char *base = getenv("TMPDIR");
  std::string name = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                     "/tolv-fuzz-prefix.XXXXXX";
  if (mkdtemp(name.data()) == nullptr) abort();
  tree = fs::canonical(name).string();
  atexit(remove_tree);
  fs::create_directories(tree + "/bin1/tolv-ar");
  make_program(tree + "/bin2/tolv-ar");
  make_program(tree + "/usr/local/bin/tolv-ar");
  fs::create_directories(tree + "/link");
  fs::create_symlink("../bin2/tolv-ar", tree + "/link/tolv-ar");
  short_path = tree + "/bin1::" + tree + "/bin2/:" + tree + "/link";
  long_path = tree + "/bin1:" + std::string(4100, 'x') + ":" + tree + "/link:" + tree + "/bin2";
  // The C library keeps every value it was given; giving both now keeps that out of the runs.
  setenv("PATH", short_path.c_str(), 1);
  setenv("PATH", long_path.c_str(), 1);
}

std::string expand(const std::string &line) {
  std::string result;
  for (char c : line) {
    if (c == '@') {
      result += tree;
    } else {
      result += c;
    }
  }
  return result;
}

std::vector<std::string> components(const std::string &path) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' && (i + 1 == path.size() || path[i + 1] != '/')) {
      result.push_back(path.substr(start, i + 1 - start));
      start = i + 1;
    }
  }
  if (start < path.size()) result.push_back(path.substr(start));
  return result;
}

bool executable_file(const std::string &candidate) {
  struct stat info;
  return access(candidate.c_str(), X_OK) == 0 && stat(candidate.c_str(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

std::optional<std::string> expected(const char *program, const char *bin_dir,
                                    const char *target_dir, bool resolve_links) {
  if (program == nullptr || bin_dir == nullptr || target_dir == nullptr) return std::nullopt;
  std::string found = program;
  const char *search = getenv("PATH");
  if (found.find('/') == std::string::npos && search != nullptr) {
    const std::string list = search;
    size_t start = 0;
    for (;;) {
      const size_t colon = list.find(':', start);
      const std::string element =
          list.substr(start, colon == std::string::npos ? colon : colon - start);
      std::string candidate = element.empty() ? "./" : element;
      if (candidate.back() != '/') candidate += '/';
      candidate += program;
      if (executable_file(candidate)) {
        found = candidate;
        break;
      }
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  if (resolve_links) {
    char resolved[PATH_MAX > 1024 ? PATH_MAX : 1024];
    if (realpath(found.c_str(), resolved) != nullptr) found = resolved;
  }

  std::vector<std::string> program_dirs = components(found);
  const std::vector<std::string> bin_dirs = components(bin_dir);
  if (program_dirs.empty() || bin_dirs.empty()) return std::nullopt;
  program_dirs.pop_back();
  if (program_dirs == bin_dirs) return std::nullopt;
  const std::vector<std::string> target_dirs = components(target_dir);
  if (target_dirs.empty()) return std::nullopt;
  size_t common = 0;
  while (common < bin_dirs.size() && common < target_dirs.size() &&
         bin_dirs[common] == target_dirs[common])
    ++common;
  if (common == 0) return std::nullopt;

  std::string result;
  for (const std::string &dir : program_dirs) result += dir;
  for (size_t i = common; i < bin_dirs.size(); ++i) result += "../";
  for (size_t i = common; i < target_dirs.size(); ++i) result += target_dirs[i];
  return result;
}

std::string quoted(const char *text) {
  return text != nullptr ? "\"" + std::string(text) + "\"" : "null";
}

bool ends_in_slash(const char *text) {
  const size_t length = strlen(text);
  return length > 0 && text[length - 1] == '/';
}

void compare(const char *function, char *result, const std::optional<std::string> &wanted,
             const char *program, const char *bin_dir, const char *target_dir) {
  const char *problem = nullptr;
  if ((result == nullptr) != !wanted.has_value() || (result != nullptr && *wanted != result)) {
    problem = "not the re-anchored directory";
  } else if (result != nullptr && strcmp(target_dir, bin_dir) != 0 &&
             ends_in_slash(result) != ends_in_slash(target_dir)) {
    // The search lists join a prefix and a name directly. Only a target equal to the bin
    // directory leaves nothing of it in the result but the program's directory.
    problem = "the result and the target differ in ending in \"/\"";
  }
  if (problem != nullptr) {
    fprintf(stderr, "check failed: %s(%s, %s, %s) with PATH %s: %s\n  gave   %s\n  wanted %s\n",
            function, quoted(program).c_str(), quoted(bin_dir).c_str(),
            quoted(target_dir).c_str(), quoted(getenv("PATH")).c_str(), problem,
            quoted(result).c_str(), quoted(wanted ? wanted->c_str() : nullptr).c_str());
    abort();
  }
  free(result);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  make_tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<std::string> input = lines(data, size);
  switch (input.empty() || input[0].empty() ? 0 : static_cast<unsigned char>(input[0][0]) % 3) {
    case 0:
      unsetenv("PATH");
      break;
    case 1:
      setenv("PATH", short_path.c_str(), 1);
      break;
    default:
      setenv("PATH", long_path.c_str(), 1);
      break;
  }
  std::string texts[3];
  const char *arguments[3] = {nullptr, nullptr, nullptr};
  for (size_t i = 0; i < 3 && i + 1 < input.size(); ++i) {
    texts[i] = expand(input[i + 1]);
    arguments[i] = texts[i].c_str();
  }
  const char *program = arguments[0], *bin_dir = arguments[1], *target_dir = arguments[2];

  compare("relative_prefix", relative_prefix(program, bin_dir, target_dir),
          expected(program, bin_dir, target_dir, true), program, bin_dir, target_dir);
  compare("relative_prefix_keep_links", relative_prefix_keep_links(program, bin_dir, target_dir),
          expected(program, bin_dir, target_dir, false), program, bin_dir, target_dir);
  return 0;
}
