/* SPDX-License-Identifier: BSD-2-Clause */
/* Must not compile: a string list without its null terminator. */
#include "support/join.h"

char *joined(void) { return join_strings("tolv-", "ar"); }
