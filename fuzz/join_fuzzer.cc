// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: join_strings and its relatives over generated string lists.
//
// The input is lines, the strings to join; the first eight at most are used, each call made
// with exactly that many strings and the null end, as real callers write them. What must hold:
// - join_strings gives the concatenation in a block of exactly its length + 1 bytes;
// - join_strings_length is that length;
// - join_strings_into and join_strings_shared write it into a buffer of exactly that room and
//   return the buffer;
// - rejoin_strings with a null old block is join_strings; with the old block as the first
//   string it gives the old text followed by the others, and releases the old block only after
//   reading it (a use after free is caught); with an unrelated old block it releases that one.
#include <sanitizer/allocator_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/alloc.h"
#include "support/join.h"
#include "input_lines.h"

namespace {

[[noreturn]] void fail(const char *what, size_t count) {
  fprintf(stderr, "check failed: join: %s, with %zu strings\n", what, count);
  abort();
}

void check(bool holds, const char *what, size_t count) {
  if (!holds) fail(what, count);
}

// The call `CALL(FIXED, list..., nullptr)` with exactly `count` strings from `s`; an empty list
// is the null first string alone (and the null end the attribute asks for).
#define WITH_LIST(count, s, CALL, ...)                                                  \
  switch (count) {                                                                      \
    case 0: CALL(__VA_ARGS__ nullptr, nullptr); break;                                  \
    case 1: CALL(__VA_ARGS__ s[0], nullptr); break;                                     \
    case 2: CALL(__VA_ARGS__ s[0], s[1], nullptr); break;                               \
    case 3: CALL(__VA_ARGS__ s[0], s[1], s[2], nullptr); break;                         \
    case 4: CALL(__VA_ARGS__ s[0], s[1], s[2], s[3], nullptr); break;                   \
    case 5: CALL(__VA_ARGS__ s[0], s[1], s[2], s[3], s[4], nullptr); break;             \
    case 6: CALL(__VA_ARGS__ s[0], s[1], s[2], s[3], s[4], s[5], nullptr); break;       \
    case 7: CALL(__VA_ARGS__ s[0], s[1], s[2], s[3], s[4], s[5], s[6], nullptr); break; \
    default: CALL(__VA_ARGS__ s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], nullptr); \
  }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<std::string> input = lines(data, size);
  const size_t count = input.size() < 8 ? input.size() : 8;
  const char *s[8] = {};
  std::string wanted;
  for (size_t i = 0; i < count; ++i) {
    s[i] = input[i].c_str();
    wanted += input[i];
  }

  char *joined = nullptr;
#define JOIN(...) joined = join_strings(__VA_ARGS__)
  WITH_LIST(count, s, JOIN)
  check(wanted == joined, "join_strings is not the concatenation", count);
  check(__sanitizer_get_allocated_size(joined) == wanted.size() + 1,
        "join_strings's block is not of exactly the length + 1", count);

  size_t length = 0;
#define LENGTH(...) length = join_strings_length(__VA_ARGS__)
  WITH_LIST(count, s, LENGTH)
  check(length == wanted.size(), "join_strings_length is not the joined length", count);

  // Heap buffers of exactly the room, so that one byte too many is caught.
  char *into = static_cast<char *>(must_malloc(wanted.size() + 1));
  char *returned = nullptr;
#define INTO(...) returned = join_strings_into(__VA_ARGS__)
  WITH_LIST(count, s, INTO, into, )
  check(returned == into, "join_strings_into does not return its destination", count);
  check(wanted == into, "join_strings_into is not the concatenation", count);

  char *shared = static_cast<char *>(must_malloc(wanted.size() + 1));
  join_strings_buffer = shared;
#define SHARED(...) returned = join_strings_shared(__VA_ARGS__)
  WITH_LIST(count, s, SHARED)
  join_strings_buffer = nullptr;
  check(returned == shared, "join_strings_shared does not return the shared buffer", count);
  check(wanted == shared, "join_strings_shared is not the concatenation", count);
  free(shared);
  free(into);

  char *rejoined = nullptr;
#define REJOIN(...) rejoined = rejoin_strings(__VA_ARGS__)
  WITH_LIST(count, s, REJOIN, nullptr, )
  check(wanted == rejoined, "rejoin_strings without an old block is not join_strings", count);
  check(__sanitizer_get_allocated_size(rejoined) == wanted.size() + 1,
        "rejoin_strings's block is not of exactly the length + 1", count);

  char *unrelated = must_strdup("old");
  char *replaced = nullptr;
#define REPLACE(...) replaced = rejoin_strings(__VA_ARGS__)
  WITH_LIST(count, s, REPLACE, unrelated, )
  check(wanted == replaced, "rejoin_strings with an old block is not join_strings", count);
  free(replaced);

  // Growing a string: the old block is also the first string, then up to seven more.
  const size_t more = count < 7 ? count : 7;
  std::string grown_wanted = rejoined;
  for (size_t i = 0; i < more; ++i) grown_wanted += input[i];
  char *grown = nullptr;
#define GROW(...) grown = rejoin_strings(rejoined, rejoined, __VA_ARGS__)
  switch (more) {
    case 0: GROW(nullptr); break;
    case 1: GROW(s[0], nullptr); break;
    case 2: GROW(s[0], s[1], nullptr); break;
    case 3: GROW(s[0], s[1], s[2], nullptr); break;
    case 4: GROW(s[0], s[1], s[2], s[3], nullptr); break;
    case 5: GROW(s[0], s[1], s[2], s[3], s[4], nullptr); break;
    case 6: GROW(s[0], s[1], s[2], s[3], s[4], s[5], nullptr); break;
    default: GROW(s[0], s[1], s[2], s[3], s[4], s[5], s[6], nullptr); break;
  }
  check(grown_wanted == grown, "rejoin_strings of its own old block is not old + the others",
        count);
  free(grown);
  free(joined);
  return 0;
}
