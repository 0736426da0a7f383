// SPDX-License-Identifier: BSD-2-Clause
#include "support/error_text.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include "common/fault.h"

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#include <malloc.h>
#define TOLV_COUNT_HEAP 1
#endif

namespace {

TEST(ErrorText, IsTheLibraryTextWhenThereIsOne) {
  for (int errnum : {ENOENT, EACCES, E2BIG, EBADF, 0}) {
    SCOPED_TRACE(errnum);
    EXPECT_STREQ(strerror(errnum), error_text(errnum));
  }
}

TEST(ErrorText, FallsBackToTheNumberWithoutAllocating) {
  fault::Scope guard;
  fault::arm(fault::strerror_call, {});
  struct Case {
    int errnum;
    const char *expected;
  } cases[] = {
      {12345, "undocumented error #12345"},
      {-7, "undocumented error #-7"},
      {INT_MIN, "undocumented error #-2147483648"},
      {INT_MAX, "undocumented error #2147483647"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.errnum);
    EXPECT_STREQ(c.expected, error_text(c.errnum));
  }
}

#ifdef TOLV_COUNT_HEAP
TEST(ErrorText, AllocatesNothing) {
  // What a vfork child asks for after a failed exec: common error numbers, then the fallback.
  const size_t before = mallinfo2().uordblks;
  for (int errnum : {ENOENT, EACCES, ENOEXEC, ENOTDIR, ELOOP, E2BIG}) error_text(errnum);
  {
    fault::Scope guard;
    fault::arm(fault::strerror_call, {});
    error_text(INT_MIN);
  }
  EXPECT_EQ(before, mallinfo2().uordblks);
}
#endif

}  // namespace
