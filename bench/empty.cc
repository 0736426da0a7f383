// SPDX-License-Identifier: BSD-2-Clause
// Does nothing: the cost of running a program at all, and the instruction count that the
// wrappers' own is set against.
int main() { return 0; }
