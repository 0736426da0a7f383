// SPDX-License-Identifier: BSD-2-Clause
#include "wrapper/arguments.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

// An argument vector the functions may edit in place, with its null end.
struct Vector {
  explicit Vector(std::vector<std::string> args) : texts(std::move(args)) {
    for (std::string &text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(texts.size());
  }
  std::vector<std::string> now() const {
    std::vector<std::string> result(pointers.begin(), pointers.begin() + argc);
    EXPECT_EQ(nullptr, pointers[static_cast<size_t>(argc)]) << "the null end moved with the rest";
    return result;
  }
  // Whether the text is one of the vector's own, not a string the function made.
  bool owns(const char *text) const {
    for (const std::string &own : texts)
      if (text >= own.data() && text <= own.data() + own.size()) return true;
    return false;
  }
  std::vector<std::string> texts;
  std::vector<char *> pointers;
  int argc;
};

TEST(WrapperArguments, PrefixOptionIsTakenOut) {
  struct Case {
    std::vector<std::string> args;
    wrapper_prefix_result result;
    std::string directory;
    std::vector<std::string> left;
  } cases[] = {
      {{"w", "rcs", "x.a"}, WRAPPER_NO_PREFIX, "", {"w", "rcs", "x.a"}},
      {{"w", "-Bdir", "t"}, WRAPPER_PREFIX_FOUND, "dir/", {"w", "t"}},
      {{"w", "-B", "dir", "t"}, WRAPPER_PREFIX_FOUND, "dir/", {"w", "t"}},
      {{"w", "t", "x.a", "-B", "/d/"}, WRAPPER_PREFIX_FOUND, "/d/", {"w", "t", "x.a"}},
      {{"w", "-B", "a", "-B", "b"}, WRAPPER_PREFIX_FOUND, "a", {"w", "-B", "b"}},
      {{"w", "-B."}, WRAPPER_PREFIX_FOUND, ".", {"w"}},
      {{"w", "-B", "/"}, WRAPPER_PREFIX_FOUND, "/", {"w"}},
      {{"w", "-B", ""}, WRAPPER_PREFIX_FOUND, "", {"w"}},
      {{"w", "-B.."}, WRAPPER_PREFIX_FOUND, "../", {"w"}},
      {{"w", "-b", "--B", "-", "B"}, WRAPPER_NO_PREFIX, "", {"w", "-b", "--B", "-", "B"}},
      {{"w", "--", "-Bx"}, WRAPPER_PREFIX_FOUND, "x", {"w", "--"}},
      {{"w", "t", "-B"}, WRAPPER_PREFIX_MISSING, "", {"w", "t"}},
      {{"-Bprogram-name-is-not-scanned"}, WRAPPER_NO_PREFIX, "", {"-Bprogram-name-is-not-scanned"}},
      {{}, WRAPPER_NO_PREFIX, "", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Vector vector(c.args);
    const char *directory = nullptr;
    EXPECT_EQ(c.result, wrapper_take_prefix_option(&vector.argc, vector.pointers.data(), &directory));
    if (c.result == WRAPPER_PREFIX_FOUND) {
      ASSERT_NE(nullptr, directory);
      EXPECT_EQ(c.directory, directory);
      if (!vector.owns(directory)) free(const_cast<char *>(directory));
    }
    EXPECT_EQ(c.left, vector.now());
  }
}

TEST(WrapperArguments, DashRule) {
  struct Case {
    std::vector<std::string> args, after;
  } cases[] = {
      {{"w", "rcs", "x"}, {"w", "-rcs", "x"}}, {{"w", "-t"}, {"w", "-t"}},
      {{"w", ""}, {"w", "-"}},                 {{"w", "@cmd.rsp"}, {"w", "@cmd.rsp"}},
      {{"w"}, {"w"}},                          {{"w", "x", "rcs"}, {"w", "-x", "rcs"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Vector vector(c.args);
    wrapper_apply_dash_rule(vector.argc, vector.pointers.data());
    EXPECT_EQ(c.after, vector.now());
    if (vector.argc > 1 && !vector.owns(vector.pointers[1])) free(vector.pointers[1]);
  }
}

}  // namespace
