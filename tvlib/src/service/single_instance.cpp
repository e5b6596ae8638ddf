#include "tvlib/service/single_instance.h"

#include <cstring>
#include <vector>

#include "tvlib/ipc/security.h"
#include "tvlib/log/log.h"
#include "tvlib/scoped_handle.h"

namespace {

const char kObjectPrefix[] = "Global\\TARVEL_";
const DWORD kRecordBytes = 4;
// SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE
const DWORD kTargetAccess = 0x100401;
// How long a terminated target gets to disappear.
const DWORD kTerminateWaitMs = 500;

// The file name after the last folder separator.
const char* FileNameOf(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/') name = p + 1;
  return name;
}

// Whether the process runs an image of the same file name as this program's
// (a copy started from another folder is still this program): anyone who
// could write a process id into the record must not make a --kill end a
// process of another program. Logs why when it is not.
bool RunsThisProgram(HANDLE process, DWORD pid) {
  // Large enough for any path the system reports; a longer one fails.
  const DWORD kPathChars = 32768;
  std::vector<char> own(kPathChars), image(kPathChars);
  DWORD ownLength = ::GetModuleFileNameA(nullptr, own.data(), kPathChars);
  DWORD imageLength = kPathChars;
  if (ownLength == 0 || ownLength >= kPathChars ||
      !::QueryFullProcessImageNameA(process, 0, image.data(), &imageLength)) {
    LogSystemError(0, "CSingleInstance::KillRunning: the program of process %lu cannot be read", pid);
    return false;
  }
  if (_stricmp(FileNameOf(own.data()), FileNameOf(image.data())) == 0) return true;
  LogError("CSingleInstance::KillRunning: process %lu runs %s, not this program: not ended", pid,
           image.data());
  return false;
}

// True when the process ended within the time and its exit code is readable.
bool EndedWithin(HANDLE process, DWORD milliseconds) {
  DWORD code = 0;
  return ::WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0 &&
         ::GetExitCodeProcess(process, &code);
}

}  // namespace

CSingleInstance::CSingleInstance(const char* name, const char* directory)
    : m_ulLastError(0),
      m_hMutex(nullptr),
      m_hPIDMapping(nullptr),
      m_pPIDView(nullptr),
      m_name(name ? name : ""),
      m_directory(directory ? directory : "") {
  m_securityAttributes.nLength = sizeof(m_securityAttributes);
  m_securityAttributes.lpSecurityDescriptor = nullptr;
  m_securityAttributes.bInheritHandle = FALSE;
  m_recordSecurityAttributes = m_securityAttributes;
  BuildSecurityDescriptor();

  std::string mutexName = ObjectName("_SINGLEMUTEX");
  m_hMutex = ::CreateMutexA(&m_securityAttributes, FALSE, mutexName.c_str());
  DWORD error = ::GetLastError();
  if (m_hMutex == nullptr && error == ERROR_ACCESS_DENIED) {
    // Creating asks for all access, which the descriptor grants only to
    // administrators: an ordinary user's start finds the running instance's
    // mutex this way, or it would run beside it.
    m_hMutex = ::OpenMutexA(SYNCHRONIZE, FALSE, mutexName.c_str());
    if (m_hMutex != nullptr) error = ERROR_ALREADY_EXISTS;
  }
  if (m_hMutex == nullptr) {
    m_name.clear();
    LogSystemError(error, "CSingleInstance CreateMutex failed");
    return;
  }
  m_ulLastError = error;
}

CSingleInstance::~CSingleInstance() {
  if (m_hPIDMapping != nullptr) {
    if (m_pPIDView != nullptr) ::UnmapViewOfFile(m_pPIDView);
    ::CloseHandle(m_hPIDMapping);
  }
  if (m_hMutex != nullptr) ::CloseHandle(m_hMutex);
  FreeSecurityDescriptor();
}

std::string CSingleInstance::ObjectName(const char* suffix) const { return kObjectPrefix + m_name + suffix; }

bool CSingleInstance::BuildSecurityDescriptor() {
  if (m_securityAttributes.lpSecurityDescriptor == nullptr)
    m_securityAttributes.lpSecurityDescriptor = BuildInstanceMutexSecurityDescriptor();
  if (m_recordSecurityAttributes.lpSecurityDescriptor == nullptr)
    m_recordSecurityAttributes.lpSecurityDescriptor = BuildProcessRecordSecurityDescriptor();
  return m_securityAttributes.lpSecurityDescriptor != nullptr &&
         m_recordSecurityAttributes.lpSecurityDescriptor != nullptr;
}

void CSingleInstance::FreeSecurityDescriptor() {
  for (SECURITY_ATTRIBUTES* attributes : {&m_securityAttributes, &m_recordSecurityAttributes}) {
    if (attributes->lpSecurityDescriptor != nullptr) {
      ::LocalFree(attributes->lpSecurityDescriptor);
      attributes->lpSecurityDescriptor = nullptr;
    }
  }
}

HANDLE CSingleInstance::TakeLocker() {
  HANDLE locker = ::CreateMutexA(&m_securityAttributes, FALSE, ObjectName("_PIDLOCKER").c_str());
  if (locker == nullptr) return nullptr;
  // A holder that died leaves the mutex abandoned and hands it to us: the
  // record it guards is rewritten anyway, so that is a taken lock, to be
  // released like any other.
  DWORD wait = ::WaitForSingleObject(locker, kLockerWaitMs);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    ::CloseHandle(locker);
    return nullptr;
  }
  return locker;
}

void CSingleInstance::ReleaseLocker(HANDLE locker) {
  ::ReleaseMutex(locker);
  ::CloseHandle(locker);
}

bool CSingleInstance::LockPID() {
  if (m_hMutex == nullptr) return false;
  HANDLE locker = TakeLocker();
  if (locker == nullptr) return false;

  bool result = false;
  HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, &m_recordSecurityAttributes, PAGE_READWRITE, 0,
                                        kRecordBytes, ObjectName("_PID").c_str());
  DWORD error = ::GetLastError();
  if (mapping != nullptr && error == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mapping);
  } else if (mapping != nullptr) {
    void* view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
      ::CloseHandle(mapping);
    } else {
      m_hPIDMapping = mapping;
      m_pPIDView = static_cast<uint32_t*>(view);
      *m_pPIDView = ::GetCurrentProcessId();
      result = true;
    }
  }
  ReleaseLocker(locker);
  return result;
}

bool CSingleInstance::KillRunning(bool (*callback)()) {
  if (m_hMutex == nullptr) return false;
  HANDLE locker = TakeLocker();
  if (locker == nullptr) return false;

  DWORD pid = 0;
  {
    ScopedKernelHandle mapping(::CreateFileMappingA(INVALID_HANDLE_VALUE, &m_recordSecurityAttributes,
                                                    PAGE_READWRITE, 0, kRecordBytes,
                                                    ObjectName("_PID").c_str()));
    // A mapping that did not exist before holds no record; closing it at once
    // lets it vanish again, or the next LockPID would take it for a record.
    if (!mapping.IsValid() || ::GetLastError() != ERROR_ALREADY_EXISTS) {
      mapping.Reset();
      ReleaseLocker(locker);
      return false;
    }
    void* view = ::MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
      mapping.Reset();
      ReleaseLocker(locker);
      return false;
    }
    pid = *static_cast<const uint32_t*>(view);
    ::UnmapViewOfFile(view);
  }
  ReleaseLocker(locker);

  ScopedKernelHandle process(::OpenProcess(kTargetAccess, FALSE, pid));
  if (!process.IsValid() || !RunsThisProgram(process.Get(), pid)) return false;
  if (callback != nullptr && callback() && EndedWithin(process.Get(), kOrderlyStopWaitMs)) return true;
  return ::TerminateProcess(process.Get(), 0) && EndedWithin(process.Get(), kTerminateWaitMs);
}
