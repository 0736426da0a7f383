// SPDX-License-Identifier: BSD-2-Clause
// The ar wrapper's driver entered with an argument count of 0 and a vector holding only the
// null pointer. Linux's execve never delivers that (it puts an empty string in element 0), so
// this program calls the driver itself, as a kernel that passes the empty vector on would.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define main tolv_driver_main
#include "wrapper/driver.cc"
#undef main

int main() {
  char *no_arguments[] = {nullptr};
  return tolv_driver_main(0, no_arguments);
}
