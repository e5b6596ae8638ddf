// CSharedMemoryBuffer: a named block of shared memory in the global namespace
// ("Global\TARVEL_<name>"), a view of it, and a named mutex beside it
// ("Global\TARVEL_<name>_MUTEX"), both with the restricted descriptor of
// tvlib/ipc/security.h. Client programs open the same blocks by name.
//
// Flags: bit 0 read, bit 1 write, bit 2 create the mapping (an existing one of
// that name is opened by the same call and keeps its bytes and its size), bit
// 3 open an existing mapping. Bit 2 wins over bit 3.
//
// An attached block is a window into another block's view: it shares the
// parent's name and flags, holds its own handle of the parent's mutex, and
// must not outlive the parent.
//
// Threads: one object is used by one thread at a time. The mutex is the only
// cross-process lock, and only ReadAt/WriteAt take it; the service reaches the
// view directly (GetData) without it. Every failure logs one level-0 line.
#pragma once

#include <cstdint>
#include <string>

#include "tvlib/win.h"

class CSharedMemoryBuffer {
 public:
  enum : uint32_t {
    kRead = 0x01,
    kWrite = 0x02,
    kCreate = 0x04,
    kOpen = 0x08,
  };

  CSharedMemoryBuffer();
  // Create(name, flags, size); the result shows only through IsOk.
  CSharedMemoryBuffer(const char* name, uint32_t flags, uint32_t size);
  // size bytes of parent's view from offset; empty when they do not lie
  // within it.
  CSharedMemoryBuffer(CSharedMemoryBuffer& parent, uint32_t offset, uint32_t size);
  virtual ~CSharedMemoryBuffer();
  CSharedMemoryBuffer(const CSharedMemoryBuffer&) = delete;
  CSharedMemoryBuffer& operator=(const CSharedMemoryBuffer&) = delete;

  // False (and a level-0 line) when already open, or when the mapping, the
  // view or the mutex cannot be had; the block is then empty.
  virtual bool Create(const char* name, uint32_t flags, uint32_t size);
  // Unmaps and closes (an attached block only forgets its window). The mutex
  // handle stays.
  virtual bool Close();
  virtual bool IsOk() const;
  // True when a handle is held already (nothing is created then).
  virtual bool CreateNamedMutex();
  virtual bool CloseNamedMutex();

  // Whole wait on the mutex. An abandoned mutex is released again and counts
  // as a failure.
  bool Lock();
  bool Unlock();

  // Copy size x count bytes, cut to the view's end, under the mutex. Bytes
  // copied, -1 for a bad call, 0 when the mutex cannot be taken.
  int32_t ReadAt(void* buffer, uint32_t size, uint32_t count);
  int32_t ReadAt(void* buffer, uint32_t size, uint32_t count, uint32_t position);
  int32_t WriteAt(const void* buffer, uint32_t size, uint32_t count);
  int32_t WriteAt(const void* buffer, uint32_t size, uint32_t count, uint32_t position);

  uint8_t* GetData() const { return static_cast<uint8_t*>(m_pData); }
  uint32_t GetSize() const { return m_ulSize; }
  uint32_t GetFlags() const { return m_flags; }
  const std::string& GetName() const { return m_name; }
  HANDLE GetMutexHandle() const { return m_hMutex; }
  HANDLE GetMappingHandle() const { return m_hMapping; }

  // "Global\TARVEL_" + name, and the mutex's name.
  static std::string MappingObjectName(const std::string& name);
  static std::string MutexObjectName(const std::string& name);

 private:
  int32_t Copy(bool write, void* buffer, uint32_t size, uint32_t count, uint32_t position, bool positioned);

  HANDLE m_hMapping;
  void* m_pData;
  uint32_t m_ulSize;
  uint32_t m_flags;
  HANDLE m_hMutex;  // belongs to m_name: a Create with another name closes it first
  std::string m_name;
  bool m_bOwner;
  uint32_t m_ulOffset;
  SECURITY_ATTRIBUTES m_security;  // descriptor freed with LocalFree; null = default security
};
