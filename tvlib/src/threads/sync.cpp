#include "tvlib/threads/sync.h"

#include <new>

#include "tvlib/log/log.h"
#include "tvlib/scoped_handle.h"

// ---------------------------------------------------------------- CMutex

CMutex::CMutex(int /*type*/) : m_mutex(::CreateMutexA(nullptr, FALSE, nullptr)) {
  if (m_mutex == nullptr) LogError("CreateMutex()");
}

CMutex::~CMutex() {
  if (m_mutex != nullptr && !::CloseHandle(m_mutex)) LogError("CloseHandle(mutex)");
}

int CMutex::Lock() { return LockWithTime(INFINITE); }
int CMutex::TryLock() { return LockWithTime(0); }
int CMutex::LockTimeout(DWORD milliseconds) { return LockWithTime(milliseconds); }

int CMutex::LockWithTime(DWORD milliseconds) {
  switch (::WaitForSingleObject(m_mutex, milliseconds)) {
    // An abandoned mutex is already ours: waiting again would take it a second
    // time and the caller's single Unlock would leave it owned for good.
    case WAIT_ABANDONED:
    case WAIT_OBJECT_0: return eMUTEX_NO_ERROR;
    case WAIT_TIMEOUT: return eMUTEX_BUSY;
    case WAIT_FAILED: LogError("WaitForSingleObject(mutex)"); return eMUTEX_MISC_ERROR;
    default: LogError("impossible return value in wxMutex::Lock"); return eMUTEX_MISC_ERROR;
  }
}

int CMutex::Unlock() {
  if (!::ReleaseMutex(m_mutex)) {
    LogError("ReleaseMutex()");
    return eMUTEX_MISC_ERROR;
  }
  return eMUTEX_NO_ERROR;
}

// ---------------------------------------------------------------- CSemaphore

namespace {
LONG SemaphoreMaximum(LONG maxCount) { return maxCount == 0 ? 0x7FFFFFFF : maxCount; }
}  // namespace

CSemaphore::CSemaphore(LONG initialCount, LONG maxCount)
    : m_semaphore(nullptr), m_count(initialCount), m_max(SemaphoreMaximum(maxCount)) {
  // The kernel object would refuse these counts; refuse them the same way.
  if (initialCount < 0 || m_max <= 0 || initialCount > m_max)
    ::SetLastError(ERROR_INVALID_PARAMETER);
  else
    m_semaphore = ::CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  if (m_semaphore == nullptr) LogError("CreateSemaphore()");
}

CSemaphore::~CSemaphore() {
  if (m_semaphore != nullptr && !::CloseHandle(m_semaphore)) LogError("CloseHandle(semaphore)");
}

int CSemaphore::Wait() { return WaitWithTime(INFINITE, eSEMA_TIMEOUT); }
int CSemaphore::TryWait() { return WaitWithTime(0, eSEMA_BUSY); }
int CSemaphore::WaitTimeout(DWORD milliseconds) { return WaitWithTime(milliseconds, eSEMA_TIMEOUT); }

bool CSemaphore::TakeFree() {
  for (LONG c = m_count; c > 0;) {
    const LONG seen = ::InterlockedCompareExchange(&m_count, c - 1, c);
    if (seen == c) return true;
    c = seen;
  }
  return false;
}

int CSemaphore::WaitWithTime(DWORD milliseconds, int timeoutCode) {
  if (m_semaphore == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    LogError("WaitForSingleObject(semaphore)");
    return eSEMA_MISC_ERROR;
  }
  if (TakeFree()) return eSEMA_NO_ERROR;
  if (milliseconds == 0) return timeoutCode;
  // Counted in as a waiter; a post between the test above and here left a
  // free count, which the decrement takes.
  if (::InterlockedDecrement(&m_count) >= 0) return eSEMA_NO_ERROR;
  const DWORD rc = ::WaitForSingleObject(m_semaphore, milliseconds);
  if (rc == WAIT_OBJECT_0) return eSEMA_NO_ERROR;
  const DWORD error = ::GetLastError();
  for (DWORD retry = 0;; retry = 1) {
    const LONG c = m_count;
    if (c < 0) {
      // Some waiter is still counted: this thread leaves in its place.
      if (::InterlockedCompareExchange(&m_count, c + 1, c) != c) continue;
      if (rc == WAIT_TIMEOUT) return timeoutCode;
      ::SetLastError(error);
      LogError("WaitForSingleObject(semaphore)");
      return eSEMA_MISC_ERROR;
    }
    // Every waiter was counted woken, this one included: its release is on
    // the kernel semaphore, or about to be. A waiter that came since may take
    // it first, but it is then counted in again and this thread leaves in
    // its place above. Never a wait without limit: that would last until
    // the next post.
    const DWORD again = ::WaitForSingleObject(m_semaphore, retry);
    if (again == WAIT_OBJECT_0) return eSEMA_NO_ERROR;
    if (again == WAIT_FAILED) {
      LogError("WaitForSingleObject(semaphore)");
      return eSEMA_MISC_ERROR;
    }
  }
}

int CSemaphore::Post() {
  if (m_semaphore == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    LogError("ReleaseSemaphore");
    return eSEMA_MISC_ERROR;
  }
  LONG c = m_count;
  for (;;) {
    if (c >= m_max) return eSEMA_OVERFLOW;
    const LONG seen = ::InterlockedCompareExchange(&m_count, c + 1, c);
    if (seen == c) break;
    c = seen;
  }
  if (c >= 0 || ::ReleaseSemaphore(m_semaphore, 1, nullptr)) return eSEMA_NO_ERROR;
  LogError("ReleaseSemaphore");
  return eSEMA_MISC_ERROR;
}

// ---------------------------------------------------------------- CCondition

CCondition::CCondition(CMutex* mutex) : m_mutex(mutex), m_ownsMutex(false), m_waiters(0) {
  ::InitializeCriticalSection(&m_waitersLock);
  m_semaphore = ::CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  if (m_semaphore == nullptr) LogError("CreateSemaphore()");
  if (m_mutex == nullptr) {
    m_mutex = new (std::nothrow) CMutex();
    m_ownsMutex = true;
  }
}

CCondition::~CCondition() {
  if (m_ownsMutex) delete m_mutex;
  if (m_semaphore != nullptr && !::CloseHandle(m_semaphore)) LogError("CloseHandle(semaphore)");
  ::DeleteCriticalSection(&m_waitersLock);
}

bool CCondition::IsOk() const { return m_mutex != nullptr && m_mutex->IsOk() && m_semaphore != nullptr; }

int CCondition::GetWaiterCount() {
  CCriticalSectionLocker guard(m_waitersLock);
  return m_waiters;
}

int CCondition::Wait() { return WaitWithTime(INFINITE); }
int CCondition::WaitTimeout(DWORD milliseconds) { return WaitWithTime(milliseconds); }

void CCondition::Unlink(Waiter& waiter) {
  (waiter.prev != nullptr ? waiter.prev->next : m_first) = waiter.next;
  (waiter.next != nullptr ? waiter.next->prev : m_last) = waiter.prev;
  waiter.next = waiter.prev = nullptr;
}

bool CCondition::TakeReleasedUnit() {
  // Bounded by the thread that holds the unit, if any: it hands it back at
  // once, since this waiter is still counted in m_released.
  const DWORD rc = ::WaitForSingleObject(m_semaphore, INFINITE);
  if (rc != WAIT_OBJECT_0) LogError("WaitForSingleObject(semaphore)");
  CCriticalSectionLocker guard(m_waitersLock);
  --m_released;
  return rc == WAIT_OBJECT_0;
}

int CCondition::WaitWithTime(DWORD milliseconds) {
  Waiter self;
  ::EnterCriticalSection(&m_waitersLock);
  self.prev = m_last;
  (m_last != nullptr ? m_last->next : m_first) = &self;
  m_last = &self;
  ++m_waiters;
  ::LeaveCriticalSection(&m_waitersLock);

  if (m_mutex != nullptr) m_mutex->Unlock();

  const ULONGLONG start = ::GetTickCount64();
  DWORD wait = milliseconds;
  int result;
  for (;;) {
    const DWORD rc = ::WaitForSingleObject(m_semaphore, wait);
    if (rc == WAIT_OBJECT_0) {
      ::EnterCriticalSection(&m_waitersLock);
      if (self.released) {
        --m_released;
        ::LeaveCriticalSection(&m_waitersLock);
        result = eCOND_NO_ERROR;
        break;
      }
      // The unit belongs to a thread released before this one came: hand it
      // back (a unit nobody is owed is dropped) and give that thread time to
      // reach its kernel wait, instead of taking the unit again at once.
      if (m_released > 0 && !::ReleaseSemaphore(m_semaphore, 1, nullptr)) LogError("ReleaseSemaphore");
      ::LeaveCriticalSection(&m_waitersLock);
      ::Sleep(1);
      if (milliseconds != INFINITE) {
        const ULONGLONG spent = ::GetTickCount64() - start;
        wait = spent >= milliseconds ? 0 : static_cast<DWORD>(milliseconds - spent);
      }
      continue;
    }
    if (rc != WAIT_TIMEOUT) LogError("WaitForSingleObject(semaphore)");
    // A release that came after the wait ended still names this waiter,
    // which then takes its unit, so that no other waiter is left without one.
    ::EnterCriticalSection(&m_waitersLock);
    const bool released = self.released;
    if (!released) {
      Unlink(self);
      --m_waiters;
    }
    ::LeaveCriticalSection(&m_waitersLock);
    if (released) TakeReleasedUnit();
    result = rc == WAIT_TIMEOUT ? eCOND_TIMEOUT : eCOND_MISC_ERROR;
    break;
  }

  // A waiter that cannot take its mutex back must not go on as if it held it.
  if (m_mutex != nullptr && m_mutex->Lock() != CMutex::eMUTEX_NO_ERROR) return eCOND_MISC_ERROR;
  return result;
}

int CCondition::Signal() {
  CCriticalSectionLocker guard(m_waitersLock);
  if (m_first == nullptr) return eCOND_NO_ERROR;
  if (!::ReleaseSemaphore(m_semaphore, 1, nullptr)) {
    if (::GetLastError() != ERROR_TOO_MANY_POSTS) LogError("ReleaseSemaphore");
    return 3;
  }
  Waiter* oldest = m_first;
  Unlink(*oldest);
  oldest->released = true;
  --m_waiters;
  ++m_released;
  return eCOND_NO_ERROR;
}

int CCondition::Broadcast() {
  CCriticalSectionLocker guard(m_waitersLock);
  if (m_waiters == 0) return eCOND_NO_ERROR;
  if (!::ReleaseSemaphore(m_semaphore, m_waiters, nullptr)) {
    if (::GetLastError() != ERROR_TOO_MANY_POSTS) LogError("ReleaseSemaphore");
    return 3;
  }
  for (Waiter* w = m_first; w != nullptr;) {
    Waiter* next = w->next;
    w->next = w->prev = nullptr;
    w->released = true;
    w = next;
  }
  m_first = m_last = nullptr;
  m_released += m_waiters;
  m_waiters = 0;
  return eCOND_NO_ERROR;
}

// ---------------------------------------------------------------- CReadWriteLock

namespace {

const char kWaitRS[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait RS failed";
const char kTryRS[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: TryWait RS";
const char kWaitR[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait R";
const char kTryR[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: TryWait R";
const char kWaitRC[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait RC";
const char kWaitWReading[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait W";
const char kWaitWWriting[] = "%s (err3==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait W";
const char kWaitWC[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait WC";
const char kTryWC[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: TryWait WC";
const char kPostRCStart[] = "%s (err2==CSemaphore::eSEMA_NO_ERROR) FAILED: Post RC";
const char kPostRCEnd[] = "%s (err3==CSemaphore::eSEMA_NO_ERROR) FAILED: Post RC";
const char kPostR[] = "%s (err3==CSemaphore::eSEMA_NO_ERROR) FAILED: Post R";
const char kPostRS[] = "%s (err4==CSemaphore::eSEMA_NO_ERROR) FAILED: Post RS";
const char kPostW[] = "%s (err2==CSemaphore::eSEMA_NO_ERROR) FAILED: Post W";
const char kPostWC[] = "%s (err2==CSemaphore::eSEMA_NO_ERROR) FAILED: Post WC";
const char kBefore[] = "%s (err==CSemaphore::eSEMA_NO_ERROR) FAILED: Before";
const char kBeforeReadTry[] =
    "%s ((err==CSemaphore::eSEMA_NO_ERROR) || (err==CSemaphore::eSEMA_BUSY)) FAILED: Before";
const char kBeforeWriteTry[] =
    "%s (err==CSemaphore::eSEMA_NO_ERROR || err==CSemaphore::eSEMA_BUSY) FAILED: Before";

// A failed post is logged but does not change the operation's result.
void PostLogged(CSemaphore& s, const char* message, const char* op) {
  if (s.Post() != CSemaphore::eSEMA_NO_ERROR) LogError(message, op);
}

}  // namespace

CReadWriteLock::CReadWriteLock()
    : m_RC(1, 1), m_readers(0), m_WC(1, 1), m_writers(0), m_R(1, 1), m_W(1, 1), m_RS(1, 1) {}

bool CReadWriteLock::IsOk() const {
  return m_RC.IsOk() && m_WC.IsOk() && m_R.IsOk() && m_W.IsOk() && m_RS.IsOk();
}

int CReadWriteLock::Read_Start() {
  const char* op = "Read_Start";
  int err = m_RS.Wait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kWaitRS, op);
    LogError(kBefore, op);
    return err;
  }
  err = m_R.Wait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kWaitR, op);
    PostLogged(m_RS, kPostRS, op);
    LogError(kBefore, op);
    return err;
  }
  err = CountReaderIn(op, false);
  if (err != CSemaphore::eSEMA_NO_ERROR) LogError(kBefore, op);
  return err;
}

int CReadWriteLock::Read_TryStart() {
  const char* op = "Read_TryStart";
  int err = m_RS.TryWait();
  if (err == CSemaphore::eSEMA_BUSY) return err;
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kTryRS, op);
    LogError(kBeforeReadTry, op);
    return err;
  }
  err = m_R.TryWait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    if (err != CSemaphore::eSEMA_BUSY) LogError(kTryR, op);
    PostLogged(m_RS, kPostRS, op);
    if (err != CSemaphore::eSEMA_BUSY) LogError(kBeforeReadTry, op);
    return err;
  }
  err = CountReaderIn(op, true);
  if (err != CSemaphore::eSEMA_NO_ERROR && err != CSemaphore::eSEMA_BUSY) LogError(kBeforeReadTry, op);
  return err;
}

int CReadWriteLock::CountReaderIn(const char* op, bool tryResource) {
  int err = m_RC.Wait();
  if (err == CSemaphore::eSEMA_NO_ERROR) {
    if (m_readers++ == 0) {
      err = tryResource ? m_W.TryWait() : m_W.Wait();
      if (err != CSemaphore::eSEMA_NO_ERROR) {
        if (err != CSemaphore::eSEMA_BUSY) LogError(kWaitWReading, op);
        --m_readers;
      }
    }
    PostLogged(m_RC, kPostRCStart, op);
  } else {
    LogError(kWaitRC, op);
  }
  PostLogged(m_R, kPostR, op);
  PostLogged(m_RS, kPostRS, op);
  return err;
}

int CReadWriteLock::Read_End() {
  const char* op = "Read_End";
  int err = m_RC.Wait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kWaitRC, op);
    return err;
  }
  if (m_readers-- == 1) PostLogged(m_W, kPostW, op);
  PostLogged(m_RC, kPostRCEnd, op);
  return CSemaphore::eSEMA_NO_ERROR;
}

int CReadWriteLock::Write_Start() {
  const char* op = "Write_Start";
  int err = m_WC.Wait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kWaitWC, op);
    LogError(kBefore, op);
    return err;
  }
  if (m_writers++ == 0) {
    err = m_R.Wait();
    if (err != CSemaphore::eSEMA_NO_ERROR) {
      LogError(kWaitR, op);
      --m_writers;
      PostLogged(m_WC, kPostWC, op);
      LogError(kBefore, op);
      return err;
    }
  }
  err = TakeResourceAsWriter(op);
  if (err != CSemaphore::eSEMA_NO_ERROR) LogError(kBefore, op);
  return err;
}

int CReadWriteLock::Write_TryStart() {
  const char* op = "Write_TryStart";
  int err = m_WC.TryWait();
  if (err == CSemaphore::eSEMA_BUSY) return err;
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kTryWC, op);
    LogError(kBeforeWriteTry, op);
    return err;
  }
  if (m_writers++ == 0) {
    err = m_R.TryWait();
    if (err != CSemaphore::eSEMA_NO_ERROR) {
      if (err != CSemaphore::eSEMA_BUSY) LogError(kTryR, op);
      --m_writers;
      PostLogged(m_WC, kPostWC, op);
      if (err != CSemaphore::eSEMA_BUSY) LogError(kBeforeWriteTry, op);
      return err;
    }
  }
  return TakeResourceAsWriter(op);
}

int CReadWriteLock::TakeResourceAsWriter(const char* op) {
  PostLogged(m_WC, kPostWC, op);
  int err = m_W.Wait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kWaitWWriting, op);
    // Left counted, this writer would keep the read gate shut for good.
    LeaveWriters(op);
  }
  return err;
}

int CReadWriteLock::LeaveWriters(const char* op) {
  int err = m_WC.Wait();
  if (err != CSemaphore::eSEMA_NO_ERROR) {
    LogError(kWaitWC, op);
    return err;
  }
  if (m_writers-- == 1) PostLogged(m_R, kPostR, op);
  PostLogged(m_WC, kPostWC, op);
  return CSemaphore::eSEMA_NO_ERROR;
}

int CReadWriteLock::Write_End() {
  const char* op = "Write_End";
  PostLogged(m_W, kPostW, op);
  return LeaveWriters(op);
}

// ---------------------------------------------------------------- CMutexNamed

PACL BuildRestrictedSD(PSECURITY_DESCRIPTOR sd) {
  if (!::InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION)) return nullptr;

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  if (!::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &sid))
    return nullptr;

  // ACL header + one ACE (header and mask; the SID replaces its SidStart).
  DWORD aclSize = ::GetLengthSid(sid) + 16;
  ScopedHeapRecord<ACL> acl(static_cast<PACL>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, aclSize)));
  bool ok = acl.IsValid() && ::InitializeAcl(acl.Get(), aclSize, ACL_REVISION) &&
            ::AddAccessAllowedAce(acl.Get(), ACL_REVISION,
                                  GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL, sid) &&
            ::SetSecurityDescriptorDacl(sd, TRUE, acl.Get(), FALSE);
  ::FreeSid(sid);
  return ok ? acl.Release() : nullptr;
}

void FreeRestrictedSD(PACL acl) {
  if (acl != nullptr) ::HeapFree(::GetProcessHeap(), 0, acl);
}

namespace {
std::string NamedMutexObjectName(const char* name) {
  return std::string("Global\\TARVEL_") + name + "_MUTEX";
}
}  // namespace

CMutexNamed::CMutexNamed(const char* name) : m_mutex(nullptr) {
  if (name != nullptr) Create(name);
}

CMutexNamed::~CMutexNamed() { Close(); }

int CMutexNamed::Create(const char* name) {
  if (m_mutex != nullptr || name == nullptr) return 1;
  m_name = NamedMutexObjectName(name);

  SECURITY_DESCRIPTOR sd;
  PACL acl = BuildRestrictedSD(&sd);
  if (acl == nullptr) {
    LogError("BuildRestrictedSD() failed");
    return 1;
  }
  SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};
  m_mutex = ::CreateMutexA(&sa, FALSE, m_name.c_str());
  FreeRestrictedSD(acl);
  if (m_mutex == nullptr) {
    LogError("Failed to create CMutexNamed");
    return 1;
  }
  return 0;
}

int CMutexNamed::Open(const char* name) {
  if (m_mutex != nullptr || name == nullptr) return 1;
  m_name = NamedMutexObjectName(name);
  m_mutex = ::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, m_name.c_str());
  if (m_mutex != nullptr) return 0;
  if (::GetLastError() != ERROR_FILE_NOT_FOUND) LogError("Failed to create OpenMutex");
  return 1;
}

void CMutexNamed::Close() {
  if (m_mutex == nullptr) return;
  if (!::CloseHandle(m_mutex)) LogSystemError(0, "Failed to destroy CMutexNamed");
  m_mutex = nullptr;
}

int CMutexNamed::Lock() {
  if (m_mutex == nullptr) return 1;
  DWORD rc = ::WaitForSingleObject(m_mutex, INFINITE);
  switch (rc) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: return 0;
    case WAIT_TIMEOUT: return 3;
    case WAIT_FAILED: LogSystemError(0, "WaitForSingleObject(m_mutex)"); return 5;
    default: {
      DWORD error = ::GetLastError();
      LogError("impossible return value in wxMutex::Lock");
      LogSystemError(error, "WaitForSingleObject(m_mutex)");
      return 5;
    }
  }
}

int CMutexNamed::Unlock() {
  if (m_mutex == nullptr) return 1;
  if (::ReleaseMutex(m_mutex)) return 0;
  LogSystemError(0, "ReleaseMutex()");
  return 5;
}

void SignalWithMutex(CCondition* event) {
  CMutex* mutex = event->GetMutex();
  if (mutex == nullptr || mutex->Lock() != CMutex::eMUTEX_NO_ERROR) return;
  event->Signal();
  mutex->Unlock();
}

void BroadcastWithMutex(CCondition* event) {
  CMutex* mutex = event->GetMutex();
  if (mutex == nullptr || mutex->Lock() != CMutex::eMUTEX_NO_ERROR) return;
  event->Broadcast();
  mutex->Unlock();
}

void WakeRegistered(CCondition* event, uint32_t registered) {
  if (registered == 1)
    SignalWithMutex(event);
  else if (registered > 1)
    BroadcastWithMutex(event);
}
