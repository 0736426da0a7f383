// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: a search list built and searched by generated commands.
//
// The input is lines, each a command: its first byte names the operation, the rest is the text.
//   s  search_list_add_string      a  search_list_append      p  search_list_prepend
//   b  search_list_add, at the end  f  search_list_add, in front
//   e  search_list_add_env with the text as the variable's name (TOLV_FUZZ_LIST is set)
//   0 to 7  search_list_find of the text with that access mode
//   t  the trace on or off for the commands that follow (it is captured, not shown)
// any other line is added whole with search_list_add_string. Every "@" stands for a small tree
// made at start-up: files, a directory named like a file, a file without execute permission,
// links (one dangling).
//
// After every command the list must hold exactly the entries the commands give, in order, and
// `longest` must be the greatest length ever inserted (so at least every entry's). A string adds
// one entry more than it has ':', each ending in "/". A lookup must give a copy of an absolute
// name that passes access, or the first prefix + name that exists, is no directory and passes
// access; null when there is none. With the trace on, each command writes exactly its lines.
//
// Lists are never destroyed by the library; the fuzzer frees its own list's entries after each
// input (they are plain heap blocks), so the leak check stays on and memory stays flat.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "paths/search_list.h"
#include "input_lines.h"

namespace {

namespace fs = std::filesystem;

std::string tree;  // canonical path of the tree, without a final "/"

void remove_tree() {
  std::error_code ignored;
  fs::remove_all(tree, ignored);
}

void make_file(const fs::path &path, fs::perms perms) {
  fs::create_directories(path.parent_path());
  FILE *file = fopen(path.c_str(), "w");
  if (file == nullptr) abort();
  fclose(file);
  fs::permissions(path, perms);
}

void make_tree() {
  const char *base = getenv("TMPDIR");
  std::string name = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                     "/tolv-fuzz-search.XXXXXX";
  if (mkdtemp(name.data()) == nullptr) abort();
  tree = fs::canonical(name).string();
  atexit(remove_tree);
  const fs::perms readable = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  make_file(tree + "/a/file", readable);
  make_file(tree + "/a/tool", readable | fs::perms::owner_exec);
  fs::create_directories(tree + "/b/file");
  make_file(tree + "/b/tool", readable);
  fs::create_directory_symlink("a", tree + "/c");
  fs::create_directories(tree + "/d");
  fs::create_symlink("../a/file", tree + "/d/file");
  fs::create_symlink("nowhere", tree + "/d/tool");
  const std::string list = tree + "/b:" + tree + "/a/::" + tree + "/d";
  setenv("TOLV_FUZZ_LIST", list.c_str(), 1);
}

std::string expand(const std::string &text) {
  std::string result;
  for (char c : text) {
    if (c == '@') {
      result += tree;
    } else {
      result += c;
    }
  }
  return result;
}

// What the list must hold, kept alongside it.
struct Model {
  std::vector<std::string> entries;
  int32_t longest = 0;

  void insert(const std::string &text, bool at_front) {
    longest = std::max(longest, static_cast<int32_t>(text.size()));
    entries.insert(at_front ? entries.begin() : entries.end(), text);
  }

  // The prefixes a ':'-separated text gives.
  static std::vector<std::string> prefixes(const std::string &text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (;;) {
      const size_t colon = text.find(':', start);
      std::string element =
          text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      if (element.empty()) {
        element = "./";
      } else if (element.back() != '/') {
        element += '/';
      }
      result.push_back(element);
      if (colon == std::string::npos) return result;
      start = colon + 1;
    }
  }

  std::optional<std::string> find(const std::string &name, int mode) const {
    if (name[0] == '/') {
      if (access(name.c_str(), mode) == 0) return name;
      return std::nullopt;
    }
    for (const std::string &entry : entries) {
      const std::string candidate = entry + name;
      struct stat info;
      if (stat(candidate.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
          access(candidate.c_str(), mode) == 0)
        return candidate;
    }
    return std::nullopt;
  }
};

std::string quoted(const char *text) {
  return text != nullptr ? "\"" + std::string(text) + "\"" : "null";
}

[[noreturn]] void fail(const char *what, const std::string &command) {
  fprintf(stderr, "check failed: search list: %s, after the command \"%s\"\n", what,
          command.c_str());
  abort();
}

void check(bool holds, const char *what, const std::string &command) {
  if (!holds) fail(what, command);
}

size_t length_of(const search_list &list) {
  size_t count = 0;
  for (const search_entry *entry = list.head; entry != nullptr; entry = entry->next_entry) ++count;
  return count;
}

void check_list(const search_list &list, const Model &model, const std::string &command) {
  size_t index = 0;
  for (const search_entry *entry = list.head; entry != nullptr;
       entry = entry->next_entry, ++index) {
    check(index < model.entries.size(), "the list has more entries than were added", command);
    check(model.entries[index] == entry->text, "an entry differs from what was added", command);
    check(static_cast<int64_t>(strlen(entry->text)) <= list.longest,
          "an entry is longer than `longest`", command);
  }
  check(index == model.entries.size(), "the list has fewer entries than were added", command);
  check(list.longest == model.longest, "`longest` is not the greatest length inserted", command);
}

void release(search_list &list) {
  for (search_entry *entry = list.head; entry != nullptr;) {
    search_entry *next = entry->next_entry;
    free(entry->text);
    free(entry);
    entry = next;
  }
  list = search_list{};
}

// Runs `call` and gives what it wrote to standard error, with the trace on, when `tracing`;
// stderr is a memory stream meanwhile (restored before anything is checked).
template <typename Call>
std::string traced(bool tracing, Call call) {
  if (!tracing) {
    call();
    return "";
  }
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  if (stream == nullptr) abort();
  FILE *const saved = stderr;
  stderr = stream;
  search_trace_enable(1);
  call();
  search_trace_enable(0);
  stderr = saved;
  fclose(stream);
  std::string result(text, size);
  free(text);
  return result;
}

// search_list_add_string of the text, or search_list_add_env of a variable set to it.
void add_string(search_list &list, Model &model, const std::string &text,
                const std::string &command, bool tracing, const char *variable = nullptr) {
  const size_t before = length_of(list);
  const std::string trace = traced(tracing, [&] {
    if (variable != nullptr) {
      search_list_add_env(variable, &list);
    } else {
      search_list_add_string(text.c_str(), &list);
    }
  });
  const std::vector<std::string> added = Model::prefixes(text);
  check(added.size() == static_cast<size_t>(std::count(text.begin(), text.end(), ':')) + 1,
        "the model's own count is off", command);
  check(length_of(list) == before + added.size(), "not one entry more than the ':'", command);
  for (const std::string &prefix : added) {
    check(prefix.back() == '/', "an added prefix does not end in \"/\"", command);
    model.insert(prefix, false);
  }
  if (tracing) {
    std::string wanted = "Convert string '" + text + "' into prefixes, separator = ':'\n";
    for (const std::string &prefix : added) wanted += "  - add prefix: " + prefix + "\n";
    check(trace == wanted, "the splitting trace is not the lines it should be", command);
  }
}

void find(const search_list &list, const Model &model, const std::string &name, int mode,
          const std::string &command, bool tracing) {
  char *found = nullptr;
  const std::string trace =
      traced(tracing, [&] { found = search_list_find(&list, name.c_str(), mode); });
  const std::optional<std::string> wanted = model.find(name, mode);
  if (found == nullptr ? wanted.has_value() : !wanted || *wanted != found) {
    fprintf(stderr, "check failed: search_list_find gave %s, wanted %s\n",
            quoted(found).c_str(), quoted(wanted ? wanted->c_str() : nullptr).c_str());
    fail("the lookup gave another answer", command);
  }
  free(found);
  if (tracing) {
    std::string lines = "Looking for '" + name + "'\n";
    if (name[0] == '/')
      lines += wanted ? "  - found: absolute path\n" : "  - failed to locate using absolute path\n";
    if (!wanted && model.entries.empty()) lines += "  - failed: no entries in prefix list\n";
    check(trace == lines, "the lookup trace is not the lines it should be", command);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  make_tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  search_list list{};
  Model model;
  bool tracing = false;
  for (const std::string &command : lines(data, size)) {
    const char operation = command.empty() ? 's' : command[0];
    const std::string text = expand(command.empty() ? command : command.substr(1));
    std::string trace;
    switch (operation) {
      case 't':
        tracing = !tracing;
        break;
      case 's':
        add_string(list, model, text, command, tracing);
        break;
      case 'a':
        trace = traced(tracing, [&] { search_list_append(&list, text.c_str()); });
        model.insert(text, false);
        break;
      case 'p':
        trace = traced(tracing, [&] { search_list_prepend(&list, text.c_str()); });
        model.insert(text, true);
        break;
      case 'b':
        trace = traced(tracing, [&] { search_list_add(&list, text.c_str(), 0); });
        model.insert(text, false);
        break;
      case 'f':
        trace = traced(tracing, [&] { search_list_add(&list, text.c_str(), 1); });
        model.insert(text, true);
        break;
      case 'e':
        if (const char *value = getenv(text.c_str())) {
          add_string(list, model, value, command, tracing, text.c_str());
        } else {
          // Unset: nothing is added and nothing traced.
          trace = traced(tracing, [&] { search_list_add_env(text.c_str(), &list); });
        }
        break;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7':
        find(list, model, text, operation - '0', command, tracing);
        break;
      default:
        add_string(list, model, expand(command), command, tracing);
        break;
    }
    check(trace.empty(), "a trace where there should be none", command);
    check_list(list, model, command);
  }
  release(list);
  return 0;
}
