/* SPDX-License-Identifier: BSD-2-Clause */
#ifndef GREET_H
#define GREET_H

/* Prints "hello, <name>" in capitals and a newline on standard output. */
void greet_print(const char *name);

/* Upper-cases the ASCII letters of text in place. */
void shout_text(char *text);

#endif
