/* SPDX-License-Identifier: BSD-2-Clause */
/* Ordered lists of directory prefixes, and the lookup of a file under them.
   Threads: a list has no lock. Lookups may share a list that no thread changes meanwhile;
   changing a list, or the trace flag, while other threads use them is not safe. */
#ifndef TOLV_PATHS_SEARCH_LIST_H
#define TOLV_PATHS_SEARCH_LIST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// One prefix of a list; owns its copy of the text. Entries are never freed.
typedef struct search_entry {
  char *text;                      /* NUL-terminated; joined to a file name with nothing between */
  struct search_entry *next_entry; /* null for the last entry */
} search_entry;

/// An ordered chain of prefixes. A zero-filled record is a valid empty list.
typedef struct search_list {
  search_entry *head; /* null while the list is empty */
  int32_t longest;    /* greatest length of any prefix ever inserted; never decreases */
} search_list;

/// Switches the lookup and splitting trace on standard error on (non-zero) or off (0).
void search_trace_enable(int on);

/// Inserts a copy of `text` first when `at_front` is non-zero or the list is empty, else last.
void search_list_add(search_list *list, const char *text, int at_front);
/// Inserts a copy of `text` after the last entry.
void search_list_append(search_list *list, const char *text);
/// Inserts a copy of `text` before the first entry.
void search_list_prepend(search_list *list, const char *text);

/// Appends one prefix per ':'-separated element of `text`, each ending in "/"; an empty
/// element becomes "./".
void search_list_add_string(const char *text, search_list *list);
/// search_list_add_string of the variable's value when it is set (even to ""); else nothing.
void search_list_add_env(const char *name, search_list *list);

/// A new heap string (freed by the caller) naming the first candidate that passes
/// access(candidate, mode), or null. An absolute name is tested alone, as it is; any other is
/// tried under each prefix in order, skipping candidates that do not exist or are directories.
char *search_list_find(const search_list *list, const char *name, int mode);

#ifdef __cplusplus
}
#endif

#endif
