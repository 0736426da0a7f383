/* Printable text of a system error number. */
#ifndef TOLV_SUPPORT_ERROR_TEXT_H
#define TOLV_SUPPORT_ERROR_TEXT_H

#ifdef __cplusplus
extern "C" {
#endif

/// strerror(errnum), or "undocumented error #<errnum>" in a static buffer when that has no text.
/// Never fails and never allocates, so a vfork child may call it.
const char *error_text(int errnum);

#ifdef __cplusplus
}
#endif

#endif
