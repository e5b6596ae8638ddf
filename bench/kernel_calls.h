// Forced into the benchmark's own build of tvlib (never the product's): every
// call on a kernel synchronisation object bumps one counter, so the benchmark
// can print how many round trips to the kernel (under Wine: to the one
// wineserver) each audio period costs.
#pragma once

#include "tvlib/win.h"

#include <atomic>
#include <cstdint>

namespace kernelcalls {
inline std::atomic<uint64_t>& Count() {
  static std::atomic<uint64_t> count{0};
  return count;
}
}  // namespace kernelcalls

inline DWORD WINAPI CountedWaitForSingleObject(HANDLE h, DWORD ms) {
  kernelcalls::Count().fetch_add(1, std::memory_order_relaxed);
  return WaitForSingleObject(h, ms);
}
inline DWORD WINAPI CountedWaitForMultipleObjects(DWORD n, const HANDLE* h, BOOL all, DWORD ms) {
  kernelcalls::Count().fetch_add(1, std::memory_order_relaxed);
  return WaitForMultipleObjects(n, h, all, ms);
}
inline BOOL WINAPI CountedReleaseMutex(HANDLE h) {
  kernelcalls::Count().fetch_add(1, std::memory_order_relaxed);
  return ReleaseMutex(h);
}
inline BOOL WINAPI CountedReleaseSemaphore(HANDLE h, LONG n, LPLONG previous) {
  kernelcalls::Count().fetch_add(1, std::memory_order_relaxed);
  return ReleaseSemaphore(h, n, previous);
}
inline BOOL WINAPI CountedSetEvent(HANDLE h) {
  kernelcalls::Count().fetch_add(1, std::memory_order_relaxed);
  return SetEvent(h);
}
inline BOOL WINAPI CountedResetEvent(HANDLE h) {
  kernelcalls::Count().fetch_add(1, std::memory_order_relaxed);
  return ResetEvent(h);
}

#define WaitForSingleObject CountedWaitForSingleObject
#define WaitForMultipleObjects CountedWaitForMultipleObjects
#define ReleaseMutex CountedReleaseMutex
#define ReleaseSemaphore CountedReleaseSemaphore
#define SetEvent CountedSetEvent
#define ResetEvent CountedResetEvent
