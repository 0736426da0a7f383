// SPDX-License-Identifier: BSD-2-Clause
// Timing samples and their summary, shared by the benchmark programs.
#ifndef TOLV_BENCH_SAMPLES_H
#define TOLV_BENCH_SAMPLES_H

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <vector>

namespace bench {

inline double now_us() {
  timespec at;
  clock_gettime(CLOCK_MONOTONIC, &at);
  return static_cast<double>(at.tv_sec) * 1e6 + static_cast<double>(at.tv_nsec) / 1e3;
}

// The median and the quartiles, by linear interpolation between the ordered samples: the
// median resists the odd run that another job's burst slowed down, the quartiles show the spread.
struct Summary {
  double median = 0, q1 = 0, q3 = 0;
  size_t runs = 0;
};

inline double quantile(const std::vector<double> &sorted, double q) {
  if (sorted.empty()) return 0;
  const double at = q * static_cast<double>(sorted.size() - 1);
  const size_t low = static_cast<size_t>(at);
  const size_t high = std::min(low + 1, sorted.size() - 1);
  return sorted[low] + (sorted[high] - sorted[low]) * (at - static_cast<double>(low));
}

inline Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {quantile(samples, 0.5), quantile(samples, 0.25), quantile(samples, 0.75),
          samples.size()};
}

// A count from the command line, at least `least`; exits with a usage message otherwise.
inline int count_argument(const char *text, int least, const char *usage) {
  char *end = nullptr;
  const long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < least || value > 1000000) {
    fputs(usage, stderr);
    exit(2);
  }
  return static_cast<int>(value);
}

}  // namespace bench

#endif
