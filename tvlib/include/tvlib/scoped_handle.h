// RAII owners for temporary handles inside one function. Long-lived handles
// stay plain fields of the classes that own them.
//
// The guard takes a traits class that names the handle's type, its "no
// handle" value and its closer, because Win32 has several: files, devices
// and pipes fail with INVALID_HANDLE_VALUE and close with CloseHandle, events
// and mutexes fail with null, searches close with FindClose, device
// information lists with SetupDiDestroyDeviceInfoList, heap records with
// HeapFree. Code behind the driver seam brings traits whose closers go through
// the seam. Closing keeps GetLastError() intact, so a caller can read and log
// the error of the call that failed after the guard is gone.
//
//   struct Traits {
//     typedef ... Handle;
//     static Handle Invalid();              // what an empty guard holds
//     static bool IsValid(Handle h);        // worth closing
//     static void Close(Handle h);          // only called for valid handles
//   };
#pragma once

#include "tvlib/win.h"

template <class Traits>
class CScopedHandle {
 public:
  typedef typename Traits::Handle Handle;

  CScopedHandle() : m_handle(Traits::Invalid()) {}
  explicit CScopedHandle(Handle h) : m_handle(h) {}
  ~CScopedHandle() { Reset(); }
  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;

  bool IsValid() const { return Traits::IsValid(m_handle); }
  Handle Get() const { return m_handle; }
  // Gives up ownership without closing.
  [[nodiscard]] Handle Release() {
    Handle h = m_handle;
    m_handle = Traits::Invalid();
    return h;
  }
  // Closes what it holds (keeping the thread's last error) and takes h.
  void Reset(Handle h = Traits::Invalid()) {
    if (IsValid()) {
      DWORD saved = ::GetLastError();
      Traits::Close(m_handle);
      ::SetLastError(saved);
    }
    m_handle = h;
  }

 private:
  Handle m_handle;
};

// Files, devices, pipes: INVALID_HANDLE_VALUE means none (null is not closed
// either, since some calls return it on failure).
struct FileHandleTraits {
  typedef HANDLE Handle;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

// Events, mutexes, semaphores, mappings, threads, processes: null means none.
struct KernelHandleTraits {
  typedef HANDLE Handle;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

// A FindFirstFile search.
struct FindHandleTraits {
  typedef HANDLE Handle;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::FindClose(h); }
};

// A record allocated from the process heap (HeapAlloc).
template <class T>
struct HeapRecordTraits {
  typedef T* Handle;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle p) { return p != nullptr; }
  static void Close(Handle p) { ::HeapFree(::GetProcessHeap(), 0, p); }
};

typedef CScopedHandle<FileHandleTraits> ScopedFileHandle;
typedef CScopedHandle<KernelHandleTraits> ScopedKernelHandle;
typedef CScopedHandle<FindHandleTraits> ScopedFindHandle;
template <class T>
using ScopedHeapRecord = CScopedHandle<HeapRecordTraits<T>>;
