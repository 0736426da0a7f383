// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

// Allocation-failure tests ask for sizes no allocator can give: under the sanitizer build the
// allocator must return null, as the C library's does, instead of stopping the test.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
