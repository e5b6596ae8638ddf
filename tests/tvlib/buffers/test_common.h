// Small helpers shared by the buffer and queue tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tvlib/buffers/buffer.h"
#include "tvlib/files/test_log_capture.h"
#include "tvlib/win.h"

// A log file private to this process and test name.
inline std::string BufferTestLogPath(const char* name) {
  char dir[MAX_PATH];
  DWORD n = ::GetTempPathA(MAX_PATH, dir);
  std::string path(dir, n);
  return path + "buffers_" + name + "_" + std::to_string(::GetCurrentProcessId()) + ".log";
}

inline std::vector<unsigned char> Bytes(const CBufferBase<unsigned char>& b) {
  return std::vector<unsigned char>(b.GetData(), b.GetData() + b.GetLength());
}

// Record content that tells records apart: seed, then a running pattern.
inline std::vector<unsigned char> Pattern(uint32_t n, uint32_t seed) {
  std::vector<unsigned char> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed * 31 + i * 7 + 1);
  return v;
}

// Waits up to `ms` for flag to become true (generous; never a timing assert).
template <typename F>
inline bool WaitUntil(F predicate, DWORD ms = 10000) {
  for (DWORD waited = 0; waited < ms; waited += 5) {
    if (predicate()) return true;
    ::Sleep(5);
  }
  return predicate();
}
