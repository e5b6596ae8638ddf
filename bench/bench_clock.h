// What every benchmark measures with: the performance counter and the
// median / p99 / mean of a set of samples. Benchmarks only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tvlib/win.h"

namespace bench {

inline int64_t Now() {
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return t.QuadPart;
}

inline double TicksPerSecond() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return frequency;
}

inline double Seconds(int64_t ticks) { return static_cast<double>(ticks) / TicksPerSecond(); }
inline double Microseconds(int64_t ticks) { return static_cast<double>(ticks) * 1e6 / TicksPerSecond(); }

struct Summary {
  double median = 0, p99 = 0, mean = 0, max = 0;
};

// All zero for no samples.
inline Summary Summarise(std::vector<double> samples) {
  Summary s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  s.median = samples[samples.size() / 2];
  s.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  s.max = samples.back();
  double sum = 0;
  for (double v : samples) sum += v;
  s.mean = sum / static_cast<double>(samples.size());
  return s;
}

}  // namespace bench
