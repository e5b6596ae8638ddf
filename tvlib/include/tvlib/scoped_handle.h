// RAII owners for temporary Win32 handles inside one function. Long-lived
// handles stay plain fields of the classes that own them.
//
// Two flavours, because Win32 has two "no handle" values: files, devices and
// pipes fail with INVALID_HANDLE_VALUE, while events, mutexes, mappings and
// threads fail with null. Closing keeps GetLastError() intact, so a caller can
// read and log the error of the call that failed after the guard is gone.
#pragma once

#include "tvlib/win.h"

template <HANDLE (*Invalid)()>
class ScopedHandleT {
 public:
  ScopedHandleT() : handle_(Invalid()) {}
  explicit ScopedHandleT(HANDLE h) : handle_(h) {}
  ~ScopedHandleT() { Reset(); }
  ScopedHandleT(const ScopedHandleT&) = delete;
  ScopedHandleT& operator=(const ScopedHandleT&) = delete;

  bool IsValid() const { return handle_ != Invalid() && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }
  // Gives up ownership without closing.
  HANDLE Release() {
    HANDLE h = handle_;
    handle_ = Invalid();
    return h;
  }
  void Reset(HANDLE h = Invalid()) {
    if (IsValid()) {
      DWORD saved = ::GetLastError();
      ::CloseHandle(handle_);
      ::SetLastError(saved);
    }
    handle_ = h;
  }

 private:
  HANDLE handle_;
};

namespace scoped_handle_detail {
inline HANDLE InvalidFileHandle() { return INVALID_HANDLE_VALUE; }
inline HANDLE NullHandle() { return nullptr; }
}  // namespace scoped_handle_detail

using ScopedFileHandle = ScopedHandleT<scoped_handle_detail::InvalidFileHandle>;
using ScopedKernelHandle = ScopedHandleT<scoped_handle_detail::NullHandle>;
