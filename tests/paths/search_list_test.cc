// SPDX-License-Identifier: BSD-2-Clause
#include "paths/search_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/process_check.h"

using testing_support::TempDir;
using testing_support::write_file;

// Counting allocator: the search list promises one buffer per lookup and per split. glibc lets
// the program define malloc and friends and still reach its own; the sanitizer build has its own
// allocator, so the count is only kept in the plain build.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define TOLV_COUNT_ALLOCATIONS 1
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);
extern "C" void __libc_free(void *block);

namespace {
struct AllocationLog {
  bool on = false;
  int allocations = 0;
  int releases = 0;
  size_t first_size = 0;
  void note(size_t size) {
    if (!on) return;
    if (allocations++ == 0) first_size = size;
  }
};
AllocationLog allocation_log;
}  // namespace

extern "C" void *malloc(size_t size) noexcept {
  allocation_log.note(size);
  return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) noexcept {
  allocation_log.note(count * size);
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *block, size_t size) noexcept {
  allocation_log.note(size);
  return __libc_realloc(block, size);
}
extern "C" void free(void *block) noexcept {
  if (allocation_log.on && block != nullptr) ++allocation_log.releases;
  __libc_free(block);
}
#endif

namespace {

// Lists are never destroyed, by design. Keeping every list the tests make reachable lets the
// leak checker tell their entries from a leaked lookup result.
search_list &new_list() {
  static auto *kept = new std::deque<search_list>();
  return kept->emplace_back();
}

std::vector<std::string> texts(const search_list &list) {
  std::vector<std::string> result;
  for (const search_entry *entry = list.head; entry != nullptr; entry = entry->next_entry) {
    result.emplace_back(entry->text);
  }
  return result;
}

// search_list_find, with the returned block copied and released.
std::optional<std::string> find(const search_list &list, const std::string &name, int mode) {
  char *found = search_list_find(&list, name.c_str(), mode);
  if (found == nullptr) return std::nullopt;
  std::string copy = found;
  free(found);
  return copy;
}

void make_dir(const std::string &path) { ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path; }

// Leaves the trace off after a test, whatever its outcome.
struct TraceScope {
  TraceScope() { search_trace_enable(1); }
  ~TraceScope() { search_trace_enable(0); }
};

// Restores the working directory after a test that changes it.
struct WorkingDirectoryScope {
  std::string saved = std::filesystem::current_path().string();
  ~WorkingDirectoryScope() { EXPECT_EQ(0, chdir(saved.c_str())); }
};

TEST(SearchListAddString, SplitsAtEveryColonIntoSlashEndedPrefixes) {
  struct Case {
    const char *text;
    std::vector<std::string> prefixes;
    int32_t longest;
  };
  const Case cases[] = {
      {"a:b/", {"a/", "b/"}, 2},
      {"", {"./"}, 2},
      {"::", {"./", "./", "./"}, 2},
      {":abc", {"./", "abc/"}, 4},
      {"abc:", {"abc/", "./"}, 4},
      {"a::b", {"a/", "./", "b/"}, 2},
      {"a//", {"a//"}, 3},
      {"a//:b", {"a//", "b/"}, 3},
      {"/usr/bin:/bin/", {"/usr/bin/", "/bin/"}, 9},
      {"/", {"/"}, 1},
      {"a/b", {"a/b/"}, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    search_list &list = new_list();
    search_list_add_string(c.text, &list);
    EXPECT_EQ(c.prefixes, texts(list));
    EXPECT_EQ(c.longest, list.longest);
  }
}

TEST(SearchListAddString, AppendsAfterExistingEntriesAndCopiesTheText) {
  search_list &list = new_list();
  search_list_prepend(&list, "first/");
  char text[] = "x:y";
  search_list_add_string(text, &list);
  text[0] = 'z';  // The list holds copies, not the caller's text.
  EXPECT_EQ((std::vector<std::string>{"first/", "x/", "y/"}), texts(list));
  EXPECT_EQ(6, list.longest);
}

TEST(SearchListInsert, SingleInsertionsKeepTextAndOrder) {
  search_list &list = new_list();
  struct Step {
    std::function<void()> insert;
    std::vector<std::string> expected;
    int32_t longest;
  };
  const Step steps[] = {
      {[&] { search_list_add(&list, "abcd", 0); }, {"abcd"}, 4},  // empty: the flag is moot
      {[&] { search_list_add(&list, "ab", 1); }, {"ab", "abcd"}, 4},
      {[&] { search_list_add(&list, "abcdefgh", 0); }, {"ab", "abcd", "abcdefgh"}, 8},
      {[&] { search_list_append(&list, "x"); }, {"ab", "abcd", "abcdefgh", "x"}, 8},
      {[&] { search_list_prepend(&list, "ab"); }, {"ab", "ab", "abcd", "abcdefgh", "x"}, 8},
      {[&] { search_list_prepend(&list, ""); }, {"", "ab", "ab", "abcd", "abcdefgh", "x"}, 8},
  };
  int number = 0;
  for (const Step &step : steps) {
    SCOPED_TRACE("step " + std::to_string(++number));
    step.insert();
    EXPECT_EQ(step.expected, texts(list));
    EXPECT_EQ(step.longest, list.longest);
  }
}

TEST(SearchListAddEnv, ReadsTheVariableOnlyWhenSet) {
  constexpr const char *variable = "TOLV_SEARCH_LIST_TEST_PATH";
  struct Case {
    const char *value;  // null: unset
    std::vector<std::string> prefixes;
  };
  const Case cases[] = {
      {nullptr, {}},
      {"", {"./"}},
      {"/opt/bin:rel", {"/opt/bin/", "rel/"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : std::string("value \"") + c.value + "\"");
    if (c.value == nullptr) {
      unsetenv(variable);
    } else {
      setenv(variable, c.value, 1);
    }
    search_list &list = new_list();
    search_list_add_env(variable, &list);
    EXPECT_EQ(c.prefixes, texts(list));
  }
  unsetenv(variable);
}

// A tree where each directory holds a "tool" of a different kind.
class SearchListFind : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dir(tmp_ / "dir");
    make_dir(tmp_ / "dir/tool");  // a directory passes every access test
    make_dir(tmp_ / "link");
    ASSERT_EQ(0, symlink("../dir/tool", (tmp_ / "link/tool").c_str()));
    make_dir(tmp_ / "plain");
    write_file(tmp_ / "plain/tool", "", 0644);  // fails execute access, even for root
    make_dir(tmp_ / "exec");
    write_file(tmp_ / "exec/tool", "", 0755);
    make_dir(tmp_ / "exec/sub");
    write_file(tmp_ / "exec/sub/tool", "", 0755);
    make_dir(tmp_ / "later");
    write_file(tmp_ / "later/tool", "", 0755);
  }

  std::string prefix(const std::string &dir) const { return tmp_ / dir + "/"; }

  search_list &list_of(const std::vector<std::string> &dirs) const {
    search_list &list = new_list();
    for (const std::string &dir : dirs) search_list_append(&list, prefix(dir).c_str());
    return list;
  }

  TempDir tmp_;
};

TEST_F(SearchListFind, TriesPrefixesInOrderAndSkipsUnfitCandidates) {
  struct Case {
    const char *title;
    std::vector<std::string> dirs;
    const char *name;
    int mode;
    const char *found_in;  // null: not found
  };
  const Case cases[] = {
      {"first fit wins", {"missing", "dir", "link", "plain", "exec", "later"}, "tool", X_OK, "exec"},
      {"a directory is skipped", {"dir", "exec"}, "tool", R_OK, "exec"},
      {"a link to a directory is a directory", {"link", "exec"}, "tool", F_OK, "exec"},
      {"access failure is skipped", {"plain", "later"}, "tool", X_OK, "later"},
      {"read access takes the plain file", {"dir", "plain", "exec"}, "tool", R_OK, "plain"},
      {"existence alone", {"dir", "link", "plain"}, "tool", F_OK, "plain"},
      {"a relative name with a slash is joined too", {"later", "exec"}, "sub/tool", X_OK, "exec"},
      {"nothing fits", {"dir", "link", "plain"}, "tool", X_OK, nullptr},
      {"no such name", {"exec", "later"}, "absent", F_OK, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.title);
    const std::optional<std::string> found = find(list_of(c.dirs), c.name, c.mode);
    if (c.found_in == nullptr) {
      EXPECT_EQ(std::nullopt, found);
    } else {
      EXPECT_EQ(prefix(c.found_in) + c.name, found);
    }
  }
}

TEST_F(SearchListFind, FrontInsertionShadowsLaterEntries) {
  search_list &list = new_list();
  search_list_add_string((prefix("exec") + ":" + prefix("later")).c_str(), &list);
  EXPECT_EQ(prefix("exec") + "tool", find(list, "tool", X_OK));
  search_list_prepend(&list, prefix("later").c_str());
  EXPECT_EQ(prefix("later") + "tool", find(list, "tool", X_OK));
  search_list_add(&list, prefix("exec/sub").c_str(), 1);
  EXPECT_EQ(prefix("exec/sub") + "tool", find(list, "tool", X_OK));
}

TEST_F(SearchListFind, SingleInsertionIsGluedToTheName) {
  search_list &list = new_list();
  search_list_append(&list, (tmp_ / "exec/t").c_str());  // no "/" added
  EXPECT_EQ(tmp_ / "exec/tool", find(list, "ool", X_OK));
  EXPECT_EQ(std::nullopt, find(list, "tool", F_OK));
}

TEST_F(SearchListFind, AbsoluteNameIsTestedAloneAndNeverPrefixed) {
  // Under this prefix each absolute name below would name a usable file, if it were prefixed.
  const std::string mirror = tmp_ / "mirror";
  search_list &list = new_list();
  search_list_append(&list, mirror.c_str());
  for (const char *name : {"absent", "plain/tool"}) {
    const std::string copy = mirror + (tmp_ / name);
    std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
    write_file(copy, "", 0755);
  }

  struct Case {
    const char *title;
    std::string name;
    int mode;
    bool found;
  };
  const Case cases[] = {
      {"a usable file", tmp_ / "exec/tool", X_OK, true},
      {"a directory is returned too", tmp_ / "dir", F_OK, true},
      {"a link to a directory too", tmp_ / "link/tool", X_OK, true},
      {"an access failure is final", tmp_ / "plain/tool", X_OK, false},
      {"a missing file is final", tmp_ / "absent", F_OK, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.title);
    for (const search_list *searched : {&list, &new_list()}) {
      SCOPED_TRACE(searched->head == nullptr ? "empty list" : "list with a prefix");
      EXPECT_EQ(c.found ? std::optional(c.name) : std::nullopt, find(*searched, c.name, c.mode));
    }
  }
}

TEST_F(SearchListFind, EmptyListFindsNoRelativeName) {
  write_file(tmp_ / "here", "", 0755);
  WorkingDirectoryScope restore;
  ASSERT_EQ(0, chdir(tmp_.path().c_str()));
  // The file is there for a list that names the working directory ...
  search_list &dot = new_list();
  search_list_add_string("", &dot);
  EXPECT_EQ("./here", find(dot, "here", F_OK));
  // ... but a list without entries has nothing to look under.
  const search_list &empty = new_list();
  EXPECT_EQ(std::nullopt, find(empty, "here", F_OK));
  EXPECT_EQ(std::nullopt, find(empty, "exec/tool", F_OK));
}

TEST_F(SearchListFind, NeverCopiesAnEntryBeyondTheRecordedLongest) {
  // Only an insertion too long for 32 bits leaves `longest` short of an entry; a hand-made record
  // shows the same state. The candidate buffer must not be overrun (the sanitizer build checks).
  std::string text = prefix("exec");
  search_entry entry = {text.data(), nullptr};
  for (const int32_t longest : {1, -5}) {
    SCOPED_TRACE("longest " + std::to_string(longest));
    const search_list list = {&entry, longest};
    EXPECT_EQ(std::nullopt, find(list, "tool", F_OK));
  }
}

TEST_F(SearchListFind, TraceFollowsLookupsAndSplitting) {
  const std::string usable = tmp_ / "exec/tool";
  const std::string unusable = tmp_ / "plain/tool";
  search_list &filled = list_of({"exec"});
  const search_list &empty = new_list();
  struct Case {
    const char *title;
    std::function<void()> action;
    std::string expected;
  };
  const Case cases[] = {
      {"splitting",
       [] { search_list_add_string("a::b/", &new_list()); },
       "Convert string 'a::b/' into prefixes, separator = ':'\n"
       "  - add prefix: a/\n"
       "  - add prefix: ./\n"
       "  - add prefix: b/\n"},
      {"splitting an empty text",
       [] { search_list_add_string("", &new_list()); },
       "Convert string '' into prefixes, separator = ':'\n"
       "  - add prefix: ./\n"},
      {"absolute hit", [&] { find(empty, usable, X_OK); },
       "Looking for '" + usable + "'\n  - found: absolute path\n"},
      {"absolute miss, empty list", [&] { find(empty, unusable, X_OK); },
       "Looking for '" + unusable + "'\n"
       "  - failed to locate using absolute path\n"
       "  - failed: no entries in prefix list\n"},
      {"absolute miss, filled list", [&] { find(filled, unusable, X_OK); },
       "Looking for '" + unusable + "'\n  - failed to locate using absolute path\n"},
      {"relative miss, empty list", [&] { find(empty, "tool", X_OK); },
       "Looking for 'tool'\n  - failed: no entries in prefix list\n"},
      {"relative hit", [&] { find(filled, "tool", X_OK); }, "Looking for 'tool'\n"},
      {"relative miss, filled list", [&] { find(filled, "absent", X_OK); },
       "Looking for 'absent'\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.title);
    {
      TraceScope trace;
      testing::internal::CaptureStderr();
      c.action();
      EXPECT_EQ(c.expected, testing::internal::GetCapturedStderr());
    }
    testing::internal::CaptureStderr();
    c.action();
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "trace switched off";
  }
}

TEST_F(SearchListFind, OneBufferPerLookupAndPerSplit) {
#if defined(TOLV_COUNT_ALLOCATIONS)
  search_list &filled = list_of({"missing", "dir", "plain", "later", "exec"});
  const search_list &empty = new_list();
  struct Case {
    const char *title;
    const search_list *list;
    std::string name;
    bool found;
  };
  const Case lookups[] = {
      {"hit under the last prefix", &filled, "sub/tool", true},
      {"miss under every prefix", &filled, "absent", false},
      {"absolute hit", &filled, tmp_ / "exec/tool", true},
      {"absolute miss", &filled, tmp_ / "absent", false},
      {"empty list", &empty, "tool", false},
  };
  for (const Case &c : lookups) {
    SCOPED_TRACE(c.title);
    allocation_log = {.on = true};
    char *found = search_list_find(c.list, c.name.c_str(), X_OK);
    const AllocationLog during = allocation_log;
    allocation_log.on = false;
    EXPECT_EQ(c.found, found != nullptr);
    free(found);
    EXPECT_EQ(1, during.allocations);
    EXPECT_EQ(static_cast<size_t>(c.list->longest) + c.name.size() + 1, during.first_size);
    EXPECT_EQ(c.found ? 0 : 1, during.releases);
  }

  // Per element an entry and its text; the one work buffer first, released at the end.
  const std::string text = "one:two/::three";
  allocation_log = {.on = true};
  search_list_add_string(text.c_str(), &new_list());
  const AllocationLog during = allocation_log;
  allocation_log.on = false;
  EXPECT_EQ(1 + 2 * 4, during.allocations);
  EXPECT_EQ(text.size() + 3, during.first_size);
  EXPECT_EQ(1, during.releases);
#else
  GTEST_SKIP() << "allocations are counted only in the plain glibc build";
#endif
}

}  // namespace
