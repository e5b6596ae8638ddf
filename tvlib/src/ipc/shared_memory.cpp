#include "tvlib/ipc/shared_memory.h"

#include <cstring>

#include "tvlib/ipc/security.h"
#include "tvlib/log/log.h"

namespace {

const char kObjectPrefix[] = "Global\\TARVEL_";

DWORD ViewAccess(uint32_t flags) {
  // Never FILE_MAP_ALL_ACCESS: the descriptor grants authenticated users only
  // read and write, so asking for more would lock standard users out.
  const bool read = (flags & CSharedMemoryBuffer::kRead) != 0;
  const bool write = (flags & CSharedMemoryBuffer::kWrite) != 0;
  if (read && write) return FILE_MAP_READ | FILE_MAP_WRITE;
  if (read) return FILE_MAP_READ;
  if (write) return FILE_MAP_WRITE;
  return 0;
}

}  // namespace

std::string CSharedMemoryBuffer::MappingObjectName(const std::string& name) { return kObjectPrefix + name; }

std::string CSharedMemoryBuffer::MutexObjectName(const std::string& name) {
  return kObjectPrefix + name + "_MUTEX";
}

CSharedMemoryBuffer::CSharedMemoryBuffer()
    : m_hMapping(nullptr),
      m_pData(nullptr),
      m_ulSize(0),
      m_flags(0),
      m_hMutex(nullptr),
      m_bOwner(true),
      m_ulOffset(0) {
  m_security.nLength = sizeof(m_security);
  m_security.lpSecurityDescriptor = BuildRestrictedSecurityDescriptor();
  m_security.bInheritHandle = FALSE;
}

CSharedMemoryBuffer::CSharedMemoryBuffer(const char* name, uint32_t flags, uint32_t size)
    : CSharedMemoryBuffer() {
  Create(name, flags, size);
}

CSharedMemoryBuffer::CSharedMemoryBuffer(CSharedMemoryBuffer& parent, uint32_t offset, uint32_t size)
    : CSharedMemoryBuffer() {
  m_bOwner = false;
  // Compared without offset + size, which would wrap in 32 bits.
  if (parent.m_pData == nullptr || offset > parent.m_ulSize || size > parent.m_ulSize - offset) return;
  m_name = parent.m_name;
  m_flags = parent.m_flags;
  m_pData = static_cast<uint8_t*>(parent.m_pData) + offset;
  m_ulSize = size;
  m_ulOffset = offset;
  CreateNamedMutex();
}

CSharedMemoryBuffer::~CSharedMemoryBuffer() {
  Close();
  CloseNamedMutex();
  if (m_security.lpSecurityDescriptor != nullptr) ::LocalFree(m_security.lpSecurityDescriptor);
}

bool CSharedMemoryBuffer::Create(const char* name, uint32_t flags, uint32_t size) {
  const std::string newName = name ? name : "";
  // The held mutex must stay the one of m_name, or Lock would take another
  // block's mutex.
  if (m_hMutex != nullptr && newName != m_name) CloseNamedMutex();
  m_name = newName;
  m_flags = flags;
  m_ulSize = size;
  if (IsOk()) {
    LogError("CSharedMemoryBuffer::Create already create");
    Close();
    return false;
  }
  // From here the block maps its own view, whatever it was attached to before.
  m_bOwner = true;
  m_ulOffset = 0;

  const DWORD access = ViewAccess(flags);
  const std::string object = MappingObjectName(m_name);
  if (flags & kCreate) {
    m_hMapping =
        ::CreateFileMappingA(INVALID_HANDLE_VALUE, &m_security, PAGE_READWRITE, 0, size, object.c_str());
    if (m_hMapping == nullptr) {
      const DWORD error = ::GetLastError();
      LogError("CSharedMemoryBuffer::Create CreateFileMapping FAILED (%d)", static_cast<int>(error));
      Close();
      return false;
    }
  } else if (flags & kOpen) {
    m_hMapping = ::OpenFileMappingA(access, FALSE, object.c_str());
    if (m_hMapping == nullptr) {
      const DWORD error = ::GetLastError();
      LogError("CSharedMemoryBuffer::Create OpenFileMapping FAILED (%d)", static_cast<int>(error));
      Close();
      return false;
    }
  } else {
    LogError("CSharedMemoryBuffer::Create No SharedMemory");
    Close();
    return false;
  }

  m_pData = ::MapViewOfFile(m_hMapping, access, 0, 0, size);
  if (m_pData == nullptr) {
    const DWORD error = ::GetLastError();
    LogError("CSharedMemoryBuffer::Create MapViewOfFile FAILED (%d)", static_cast<int>(error));
    Close();
    return false;
  }
  if (!CreateNamedMutex()) {
    const DWORD error = ::GetLastError();
    LogError("CSharedMemoryBuffer::Create CreateMutex FAILED (%d)", static_cast<int>(error));
    Close();
    return false;
  }
  return true;
}

bool CSharedMemoryBuffer::Close() {
  if (m_bOwner) {
    if (m_pData != nullptr) ::UnmapViewOfFile(m_pData);
    if (m_hMapping != nullptr) ::CloseHandle(m_hMapping);
  }
  m_pData = nullptr;
  m_hMapping = nullptr;
  m_ulSize = 0;
  m_flags = 0;
  return true;
}

bool CSharedMemoryBuffer::IsOk() const { return m_hMapping != nullptr || (!m_bOwner && m_pData != nullptr); }

bool CSharedMemoryBuffer::CreateNamedMutex() {
  if (m_hMutex != nullptr) return true;
  const std::string object = MutexObjectName(m_name);
  if ((m_flags & kOpen) && !(m_flags & kCreate)) {
    // CreateMutexA on an existing mutex asks for MUTEX_ALL_ACCESS, which the
    // descriptor denies to standard users; waiting and releasing is all a
    // client needs.
    m_hMutex = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, object.c_str());
    if (m_hMutex != nullptr) return true;
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  }
  m_hMutex = ::CreateMutexA(&m_security, FALSE, object.c_str());
  return m_hMutex != nullptr;
}

bool CSharedMemoryBuffer::CloseNamedMutex() {
  if (m_hMutex != nullptr) ::CloseHandle(m_hMutex);
  m_hMutex = nullptr;
  return true;
}

bool CSharedMemoryBuffer::Lock() {
  if (!IsOk() || m_hMutex == nullptr) return false;
  const DWORD rc = ::WaitForSingleObject(m_hMutex, INFINITE);
  if (rc == WAIT_OBJECT_0) return true;
  // An abandoned wait has made the mutex ours: kept, it would lock every
  // other process out for good.
  if (rc == WAIT_ABANDONED) ::ReleaseMutex(m_hMutex);
  return false;
}

bool CSharedMemoryBuffer::Unlock() { return IsOk() && m_hMutex != nullptr && ::ReleaseMutex(m_hMutex); }

int32_t CSharedMemoryBuffer::Copy(bool write, void* buffer, uint32_t size, uint32_t count, uint32_t position,
                                  bool positioned) {
  const char* op = write ? "CSharedMemoryBuffer::WriteAt" : "CSharedMemoryBuffer::ReadAt";
  if (!IsOk()) return LogErrorInt("%s !IsOk", op);
  if (!(m_flags & (write ? kWrite : kRead)))
    return LogErrorInt(write ? "%s !IsWritable" : "%s !IsReadable", op);
  if (buffer == nullptr) return LogErrorInt("%s !ptr", op);
  if (!positioned) position = 0;
  if (position > m_ulSize) return LogErrorInt("%s pos > m_ulSize", op);
  // In 64 bits: size x count may not fit in 32.
  uint64_t n = static_cast<uint64_t>(size) * count;
  if (n > m_ulSize - position) n = m_ulSize - position;
  if (!Lock()) {
    LogError("%s Lock FAILED", op);
    return 0;
  }
  uint8_t* at = static_cast<uint8_t*>(m_pData) + position;
  if (write)
    std::memcpy(at, buffer, static_cast<size_t>(n));
  else
    std::memcpy(buffer, at, static_cast<size_t>(n));
  Unlock();
  return static_cast<int32_t>(n);
}

int32_t CSharedMemoryBuffer::ReadAt(void* buffer, uint32_t size, uint32_t count) {
  return Copy(false, buffer, size, count, 0, false);
}

int32_t CSharedMemoryBuffer::ReadAt(void* buffer, uint32_t size, uint32_t count, uint32_t position) {
  return Copy(false, buffer, size, count, position, true);
}

int32_t CSharedMemoryBuffer::WriteAt(const void* buffer, uint32_t size, uint32_t count) {
  return Copy(true, const_cast<void*>(buffer), size, count, 0, false);
}

int32_t CSharedMemoryBuffer::WriteAt(const void* buffer, uint32_t size, uint32_t count, uint32_t position) {
  return Copy(true, const_cast<void*>(buffer), size, count, position, true);
}
