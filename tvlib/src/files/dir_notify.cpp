#include "tvlib/files/dir_notify.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tvlib/service/impersonation.h"
#include "tvlib/strings/strings.h"

namespace {

const DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                            FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                            FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD kMaxChangeBufferSize = 65536;
const DWORD kRecordHead = 12;  // NextEntryOffset, Action, FileNameLength

}  // namespace

CDirNotify::CDirNotify(const char* path, int retryDelayMs, bool startNow, const char* user,
                       const char* password)
    : CThread(1),
      m_hDirectory(INVALID_HANDLE_VALUE),
      m_strPath(path != nullptr ? path : ""),
      m_bOpen(0),
      m_iRetryDelay(retryDelayMs),
      m_strUser(user != nullptr ? user : ""),
      m_strPassword(password != nullptr ? password : ""),
      m_bStopping(0) {
  m_hStopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_hReadEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::memset(&m_overlapped, 0, sizeof m_overlapped);
  m_overlapped.hEvent = m_hReadEvent;
  // A thread that cannot start has logged it; the watcher then reports nothing.
  if (startNow) (void)Create(2);
}

CDirNotify::~CDirNotify() {
  StopWatching();
  if (m_hStopEvent != nullptr) ::CloseHandle(m_hStopEvent);
  if (m_hReadEvent != nullptr) ::CloseHandle(m_hReadEvent);
  if (!m_strPassword.empty()) ::SecureZeroMemory(&m_strPassword[0], m_strPassword.size());
}

void CDirNotify::Stop() { StopWatching(); }

void CDirNotify::StopWatching() {
  ::InterlockedExchange(&m_bStopping, 1);
  CThread::RequestStop();
  if (m_hStopEvent != nullptr) ::SetEvent(m_hStopEvent);
  CThread::Stop();
  // No thread runs now: a handle that one left behind (it ended by itself)
  // is the owner's to close.
  CloseDirectoryHandle();
}

bool CDirNotify::Restart() {
  if (IsRunning()) StopWatching();
  if (!ReleaseEndedThread()) return false;
  if (m_hStopEvent != nullptr) ::ResetEvent(m_hStopEvent);
  ::InterlockedExchange(&m_bStopping, 0);
  CloseDirectoryHandle();
  ::InterlockedExchange(&m_bOpen, 0);
  return Create(2) == 0;
}

DWORD CDirNotify::NextChangeBufferSize(DWORD size) {
  return size >= kMaxChangeBufferSize - 512 ? kMaxChangeBufferSize : size + 512;
}

bool CDirNotify::IsImpersonatedPath() const {
  return m_strPath.size() > 2 && m_strPath[0] == '\\' && m_strPath[1] == '\\';
}

HANDLE CDirNotify::OpenDirectoryHandle() const {
  return ::CreateFileA(m_strPath.c_str(), FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void CDirNotify::StoreHandle(HANDLE handle) {
  HANDLE old = ::InterlockedExchangePointer(const_cast<PVOID*>(&m_hDirectory), handle);
  if (old != INVALID_HANDLE_VALUE && old != nullptr) ::CloseHandle(old);
}

void CDirNotify::CloseDirectoryHandle() { StoreHandle(INVALID_HANDLE_VALUE); }

bool CDirNotify::OpenDirectory() {
  CImpersonation impersonation;
  if (IsImpersonatedPath()) impersonation.Begin(m_strUser.c_str(), m_strPassword.c_str());
  HANDLE handle = OpenDirectoryHandle();
  impersonation.End();
  StoreHandle(handle);
  bool open = handle != INVALID_HANDLE_VALUE;
  ::InterlockedExchange(&m_bOpen, open ? 1 : 0);
  return open;
}

bool CDirNotify::StopWanted() {
  return IsStopRequested() || ::InterlockedCompareExchange(&m_bStopping, 0, 0) != 0;
}

bool CDirNotify::WaitRetryDelay() {
  int remaining = m_iRetryDelay;
  while (remaining > 100) {
    if (StopWanted()) return false;
    ::WaitForSingleObject(m_hStopEvent, 100);
    remaining -= 100;
  }
  if (StopWanted()) return false;
  if (remaining > 0) ::WaitForSingleObject(m_hStopEvent, static_cast<DWORD>(remaining));
  return !StopWanted();
}

void CDirNotify::DispatchChanges(const void* records, DWORD bytesReturned) {
  const unsigned char* base = static_cast<const unsigned char*>(records);
  uint64_t offset = 0;
  while (offset + kRecordHead <= bytesReturned) {
    const unsigned char* record = base + offset;
    DWORD next, action, nameBytes;
    std::memcpy(&next, record, 4);
    std::memcpy(&action, record + 4, 4);
    std::memcpy(&nameBytes, record + 8, 4);
    if (offset + kRecordHead + nameBytes > bytesReturned) return;
    // The name is not terminated, and a count of 0 would make WideToNarrow
    // read up to a terminator.
    size_t chars = nameBytes / 2;
    std::string name;
    if (chars > 0) name = WideToNarrow(reinterpret_cast<const wchar_t*>(record + kRecordHead), chars);
    switch (action) {
      case FILE_ACTION_ADDED:
      case FILE_ACTION_RENAMED_NEW_NAME: OnAdded(name); break;
      case FILE_ACTION_REMOVED:
      case FILE_ACTION_RENAMED_OLD_NAME: OnRemoved(name); break;
      case FILE_ACTION_MODIFIED: OnModified(name); break;
      default: break;
    }
    if (next == 0) return;
    offset += next;
  }
}

int CDirNotify::ThreadEntry() {
  DWORD bufferSize = kFirstBufferSize;
  void* buffer = std::malloc(bufferSize);  // DWORD-aligned, as the records need
  if (buffer == nullptr) return -1;
  OpenDirectory();
  CImpersonation impersonation;
  if (IsImpersonatedPath()) impersonation.Begin(m_strUser.c_str(), m_strPassword.c_str());

  for (;;) {
    if (StopWanted()) break;
    if (::InterlockedCompareExchange(&m_bOpen, 0, 0) != 0) {
      HANDLE handle = m_hDirectory;
      ::ResetEvent(m_hReadEvent);
      DWORD ignored = 0;
      BOOL started = ::ReadDirectoryChangesW(handle, buffer, bufferSize, TRUE, kChangeFilter, &ignored,
                                             &m_overlapped, nullptr);
      DWORD error = started ? ERROR_SUCCESS : ::GetLastError();
      if (started || error == ERROR_IO_PENDING) {
        HANDLE events[2] = {m_hStopEvent, m_hReadEvent};
        DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        DWORD got = 0;
        if (woke == WAIT_OBJECT_0 + 1) {
          if (::GetOverlappedResult(handle, &m_overlapped, &got, FALSE)) DispatchChanges(buffer, got);
          continue;
        }
        // The system may still write into the buffer: cancel the read and
        // take its completion before the buffer or the handle goes.
        ::CancelIoEx(handle, &m_overlapped);
        ::GetOverlappedResult(handle, &m_overlapped, &got, TRUE);
        if (woke == WAIT_OBJECT_0) break;
        continue;
      }
      if (error == ERROR_INVALID_FUNCTION) {
        // The file system cannot report changes: retrying would not help.
        CloseDirectoryHandle();
        ::InterlockedExchange(&m_bOpen, 0);
        impersonation.End();
        std::free(buffer);
        return -10;
      }
      if (error == ERROR_NOTIFY_ENUM_DIR) {
        DWORD grown = NextChangeBufferSize(bufferSize);
        if (grown != bufferSize) {
          void* fresh = std::malloc(grown);
          if (fresh != nullptr) {
            std::free(buffer);
            buffer = fresh;
            bufferSize = grown;
          }
        }
        continue;
      }
      CloseDirectoryHandle();
      ::InterlockedExchange(&m_bOpen, 0);
      continue;
    }

    // The retry road. The raw open keeps the loop's impersonation in force
    // (OpenDirectory's own guard would revert it).
    if (!WaitRetryDelay()) break;
    HANDLE handle = OpenDirectoryHandle();
    if (handle == INVALID_HANDLE_VALUE) continue;
    StoreHandle(handle);
    if (StopWanted()) break;
    OnAdded(std::string());
    ::InterlockedExchange(&m_bOpen, 1);
  }

  // No read is in flight: the handle is closed here, last, by the thread
  // that uses it. A stop through RequestStop alone leaves it to the owner.
  if (::InterlockedCompareExchange(&m_bStopping, 0, 0) != 0) CloseDirectoryHandle();
  impersonation.End();
  std::free(buffer);
  return m_hDirectory == INVALID_HANDLE_VALUE ? 0 : -1;
}
