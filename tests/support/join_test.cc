// SPDX-License-Identifier: BSD-2-Clause
#include "support/join.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

TEST(JoinStrings, JoinsInOrderIntoAnExactBlock) {
  struct Case {
    const char *name;
    std::string expected;
    char *joined;
  };
  Case cases[] = {
      {"empty list", "", join_strings(nullptr, nullptr)},
      {"one string", "abc", join_strings("abc", nullptr)},
      {"empty strings contribute nothing", "ab", join_strings("", "a", "", "b", "", nullptr)},
      {"several", "/usr/local/bin/", join_strings("/usr", "/local", "/bin/", nullptr)},
      {"stops at the first null", "a", join_strings("a", nullptr, "b", nullptr)},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, c.joined);
    free(c.joined);
  }
}

TEST(JoinStrings, LengthIntoAndShared) {
  EXPECT_EQ(0u, join_strings_length(nullptr, nullptr));
  EXPECT_EQ(7u, join_strings_length("ab", "", "cde", "fg", nullptr));

  char room[8];
  memset(room, 'z', sizeof room);
  EXPECT_EQ(room, join_strings_into(room, "ab", "cde", "fg", nullptr));
  EXPECT_STREQ("abcdefg", room);
  EXPECT_EQ(room, join_strings_into(room, nullptr, nullptr));
  EXPECT_STREQ("", room);

  char shared[6];
  join_strings_buffer = shared;
  EXPECT_EQ(shared, join_strings_shared("tolv", "-", nullptr));
  EXPECT_STREQ("tolv-", shared);
  join_strings_buffer = nullptr;
}

TEST(JoinStrings, RejoinGrowsAStringThatIsItsOwnFirstPart) {
  char *text = join_strings("lib", nullptr);
  text = rejoin_strings(text, text, "quarn", nullptr);
  text = rejoin_strings(text, text, ".so", nullptr);
  EXPECT_STREQ("libquarn.so", text);
  // A null old block is only a join.
  char *fresh = rejoin_strings(nullptr, "x", "y", nullptr);
  EXPECT_STREQ("xy", fresh);
  free(fresh);
  free(text);  // The sanitizer build reports a leak if rejoin_strings kept an old block alive.
}

TEST(JoinStrings, CppFormAppendsTheTerminator) {
  const std::string owned = "ranlib";
  char *joined = tolv::join("tolv-", owned.c_str(), "");
  EXPECT_STREQ("tolv-ranlib", joined);
  free(joined);
  char *empty = tolv::join();
  EXPECT_STREQ("", empty);
  free(empty);
}

}  // namespace
