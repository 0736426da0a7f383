// SPDX-License-Identifier: BSD-2-Clause
#include "support/alloc.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "support/exit.h"
#include "support/join.h"
#include "common/fault.h"

namespace {

// Sizes no allocator can give; volatile so the compiler cannot see them at the call.
volatile size_t impossible = SIZE_MAX - 4096;
volatile size_t huge_count = SIZE_MAX / 8;

TEST(MustAlloc, ZeroSizesGiveUsableBlocks) {
  char *from_malloc = static_cast<char *>(must_malloc(0));
  from_malloc[0] = 'x';
  char *from_realloc = static_cast<char *>(must_realloc(nullptr, 0));
  from_realloc[0] = 'y';
  for (auto [count, size] : {std::pair<size_t, size_t>{0, 8}, {8, 0}, {0, 0}}) {
    unsigned char *zeroed = static_cast<unsigned char *>(must_calloc(count, size));
    EXPECT_EQ(0, zeroed[0]);
    free(zeroed);
  }
  char *grown = static_cast<char *>(must_realloc(from_realloc, 4096));
  EXPECT_EQ('y', grown[0]);
  free(grown);
  free(from_malloc);

  char *copy = must_strdup("tolv");
  EXPECT_STREQ("tolv", copy);
  free(copy);
}

// The report as a regular expression: leading newline, optional "name: ", the size, some total.
// The sanitizer build may print its own warning line first.
std::string report_for(const std::string &prefix, size_t size) {
  return "(^|\n)\n" + prefix + "out of memory allocating " + std::to_string(size) +
         " bytes after a total of [0-9]+ bytes\n$";
}

TEST(MustAllocDeathTest, FailureReportsTheRequestAndExitsWithOne) {
  const size_t size = impossible;
  EXPECT_EXIT(must_malloc(impossible), testing::ExitedWithCode(1), report_for("", size));
  void *block = must_malloc(16);
  EXPECT_EXIT(must_realloc(block, impossible), testing::ExitedWithCode(1), report_for("", size));
  EXPECT_EXIT(must_realloc(nullptr, impossible), testing::ExitedWithCode(1),
              report_for("", size));
  free(block);
  // count x size, and the largest size where that product does not fit in 64 bits.
  EXPECT_EXIT(must_calloc(huge_count, 4), testing::ExitedWithCode(1),
              report_for("", huge_count * 4));
  EXPECT_EXIT(must_calloc(huge_count, 64), testing::ExitedWithCode(1),
              report_for("", SIZE_MAX));
}

TEST(MustAllocDeathTest, JoinFailureReportsTheJoinedSize) {
  // join_strings asks for exactly the joined length + 1; make that one allocation fail.
  EXPECT_EXIT(
      {
        fault::arm(fault::malloc_call, {.error = ENOMEM, .times = 1});
        join_strings("tolv-", "ranlib", nullptr);
      },
      testing::ExitedWithCode(1), report_for("", 12));
  char *old_block = must_strdup("kept");
  EXPECT_EXIT(
      {
        fault::arm(fault::malloc_call, {.error = ENOMEM, .times = 1});
        rejoin_strings(old_block, old_block, "!", nullptr);
      },
      testing::ExitedWithCode(1), report_for("", 6));
  free(old_block);
}

TEST(MustAllocDeathTest, ProgramNameGoesInFrontOfTheReport) {
  EXPECT_EXIT(
      {
        set_error_program_name("tolv-test");
        must_malloc(impossible);
      },
      testing::ExitedWithCode(1), report_for("tolv-test: ", impossible));
  EXPECT_EXIT(
      {
        set_error_program_name("first");
        set_error_program_name("");
        must_malloc(impossible);
      },
      testing::ExitedWithCode(1), report_for("", impossible));
}

TEST(ExitProgramDeathTest, RunsTheHookBeforeTheLibraryExit) {
  EXPECT_EXIT(
      {
        atexit([] { fputs("atexit\n", stderr); });
        exit_cleanup_hook = [](int status) { fprintf(stderr, "hook %d\n", status); };
        exit_program(7);
      },
      testing::ExitedWithCode(7), "^hook 7\natexit\n$");
  EXPECT_EXIT(exit_program(3), testing::ExitedWithCode(3), "^$");
}

}  // namespace
