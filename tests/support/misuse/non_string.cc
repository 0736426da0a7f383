// SPDX-License-Identifier: BSD-2-Clause
// Must not compile: the C++ form takes strings only.
#include "support/join.h"

char *joined() { return tolv::join("tolv-", 42); }
