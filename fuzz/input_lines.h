// SPDX-License-Identifier: BSD-2-Clause
// Splitting a fuzz input into lines, the form every target reads its commands in.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

/// The input's lines, without their newlines; NUL bytes become '.', since a C string cannot hold
/// them.
inline std::vector<std::string> lines(const uint8_t *data, size_t size) {
  std::vector<std::string> result;
  const char *text = reinterpret_cast<const char *>(data);
  const char *end = text + size;
  while (text < end) {
    const char *newline =
        static_cast<const char *>(memchr(text, '\n', static_cast<size_t>(end - text)));
    const char *stop = newline != nullptr ? newline : end;
    std::string line(text, stop);
    for (char &c : line)
      if (c == '\0') c = '.';
    result.push_back(line);
    text = stop + 1;
  }
  return result;
}
