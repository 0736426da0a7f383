/* SPDX-License-Identifier: BSD-2-Clause */
/* Joining null-terminated lists of strings.
   Threads: every join touches only its arguments and may run in any thread, except
   join_strings_shared: it writes through the one process-wide join_strings_buffer. */
#ifndef TOLV_SUPPORT_JOIN_H
#define TOLV_SUPPORT_JOIN_H

#include <stddef.h>

/* Every list ends with a mandatory null pointer; the compiler checks that it is there. */
#define TOLV_STRING_LIST __attribute__((sentinel))

#ifdef __cplusplus
extern "C" {
#endif

/// A new heap string of exactly the joined length + 1 bytes; never null.
char *join_strings(const char *first, ...) TOLV_STRING_LIST __attribute__((malloc, returns_nonnull));
/// Sum of the lengths of the strings.
size_t join_strings_length(const char *first, ...) TOLV_STRING_LIST;
/// Copies the joined strings into `destination` (join_strings_length + 1 bytes of room).
char *join_strings_into(char *destination, const char *first, ...) TOLV_STRING_LIST;

/// Destination of join_strings_shared; the caller points it at a buffer large enough first.
extern char *join_strings_buffer;
/// join_strings_into(join_strings_buffer, ...).
char *join_strings_shared(const char *first, ...) TOLV_STRING_LIST;

/// join_strings, then frees `old_block` (which may be one of the strings joined).
char *rejoin_strings(char *old_block, const char *first, ...) TOLV_STRING_LIST
    __attribute__((returns_nonnull));

#ifdef __cplusplus
}

#include <type_traits>

namespace tolv {

/// join_strings with the terminator appended; only strings are accepted.
template <typename... Parts>
inline char *join(const Parts &...parts) {
  static_assert(((std::is_convertible_v<const Parts &, const char *> &&
                  !std::is_null_pointer_v<Parts>) && ...),
                "tolv::join takes strings only");
  if constexpr (sizeof...(Parts) == 0) {
    return join_strings(nullptr, nullptr);
  } else {
    return join_strings(static_cast<const char *>(parts)..., static_cast<const char *>(nullptr));
  }
}

}  // namespace tolv
#endif

#endif
