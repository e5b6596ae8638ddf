// Small helpers shared by the buffer and queue tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/poll.h"
#include "tvlib/buffers/buffer.h"
#include "tvlib/win.h"

inline std::vector<unsigned char> Bytes(const CBufferBase<unsigned char>& b) {
  return std::vector<unsigned char>(b.GetData(), b.GetData() + b.GetLength());
}

// Record content that tells records apart: seed, then a running pattern.
inline std::vector<unsigned char> Pattern(uint32_t n, uint32_t seed) {
  std::vector<unsigned char> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed * 31 + i * 7 + 1);
  return v;
}

