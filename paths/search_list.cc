// SPDX-License-Identifier: BSD-2-Clause
#include "paths/search_list.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "support/alloc.h"

namespace {

constexpr char separator = ':';

bool search_trace_on = false;

// The lookup sizes its one candidate buffer from `longest`. A prefix too long for 32 bits
// leaves `longest` at the maximum; the lookup then skips that prefix, whose candidates no
// system call would accept anyway, instead of overrunning the buffer.
void note_length(search_list *list, size_t length) {
  const int32_t measured = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
  if (measured > list->longest) list->longest = measured;
}

search_entry *make_entry(search_list *list, const char *text) {
  note_length(list, strlen(text));
  auto *entry = static_cast<search_entry *>(must_malloc(sizeof(search_entry)));
  entry->text = must_strdup(text);
  entry->next_entry = nullptr;
  return entry;
}

// The link that a new last entry goes into: the last entry's next_entry, or head.
search_entry **end_link(search_list *list) {
  search_entry **link = &list->head;
  while (*link != nullptr) link = &(*link)->next_entry;
  return link;
}

void insert_front(search_list *list, const char *text) {
  search_entry *entry = make_entry(list, text);
  entry->next_entry = list->head;
  list->head = entry;
}

void insert_back(search_list *list, const char *text) { *end_link(list) = make_entry(list, text); }

// A candidate under a prefix must be a file, or a link to one, that passes the access test.
bool usable(const char *candidate, int mode) {
  struct stat info;
  if (stat(candidate, &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return false;
  return access(candidate, mode) == 0;
}

}  // namespace

extern "C" {

void search_trace_enable(int on) { search_trace_on = on != 0; }

void search_list_add(search_list *list, const char *text, int at_front) {
  if (at_front != 0 || list->head == nullptr) {
    insert_front(list, text);
  } else {
    insert_back(list, text);
  }
}

void search_list_append(search_list *list, const char *text) { insert_back(list, text); }

void search_list_prepend(search_list *list, const char *text) { insert_front(list, text); }

void search_list_add_string(const char *text, search_list *list) {
  std::string_view rest = text;
  // Room for the whole text plus an added "/" and the NUL, or for "./" and its NUL.
  char *prefix = static_cast<char *>(must_malloc(rest.size() + 3));
  if (search_trace_on) {
    fprintf(stderr, "Convert string '%s' into prefixes, separator = '%c'\n", text, separator);
  }
  for (;;) {
    const size_t end = rest.find(separator);
    // Built by hand rather than with substr, whose range check would link the C++ runtime's
    // exception support into every program.
    const std::string_view element(rest.data(), end == std::string_view::npos ? rest.size() : end);
    if (element.empty()) {
      memcpy(prefix, "./", 3);
    } else {
      size_t length = element.size();
      memcpy(prefix, element.data(), length);
      if (element.back() != '/') prefix[length++] = '/';
      prefix[length] = '\0';
    }
    if (search_trace_on) fprintf(stderr, "  - add prefix: %s\n", prefix);
    insert_back(list, prefix);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  free(prefix);
}

void search_list_add_env(const char *name, search_list *list) {
  const char *value = getenv(name);
  if (value != nullptr) search_list_add_string(value, list);
}

char *search_list_find(const search_list *list, const char *name, int mode) {
  if (search_trace_on) fprintf(stderr, "Looking for '%s'\n", name);
  const size_t name_length = strlen(name);
  const size_t room = list->longest > 0 ? static_cast<size_t>(list->longest) : 0;
  char *candidate = static_cast<char *>(must_malloc(room + name_length + 1));

  if (name[0] == '/') {
    // An absolute name means exactly that file, whatever it is; the prefixes do not apply.
    if (access(name, mode) == 0) {
      memcpy(candidate, name, name_length + 1);
      if (search_trace_on) fputs("  - found: absolute path\n", stderr);
      return candidate;
    }
    if (search_trace_on) fputs("  - failed to locate using absolute path\n", stderr);
  } else {
    for (const search_entry *entry = list->head; entry != nullptr; entry = entry->next_entry) {
      const size_t length = strlen(entry->text);
      if (length > room) continue;
      memcpy(candidate, entry->text, length);
      memcpy(candidate + length, name, name_length + 1);
      if (usable(candidate, mode)) return candidate;
    }
  }

  if (search_trace_on && list->head == nullptr) {
    fputs("  - failed: no entries in prefix list\n", stderr);
  }
  free(candidate);
  return nullptr;
}

}  // extern "C"
