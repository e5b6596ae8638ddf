#include "tvlib/threads/thread.h"

#include <process.h>

#include <cstdint>

#include "tvlib/log/log.h"

namespace {

volatile LONG g_priorityLimit = 5;
volatile LONG g_processRealtime = 0;

const char* const kPriorityNames[] = {"Lowest", "Low", "Normal", "High", "Highest", "Realtime"};
const int kWindowsPriorities[] = {THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                                  THREAD_PRIORITY_NORMAL,  THREAD_PRIORITY_ABOVE_NORMAL,
                                  THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL};

}  // namespace

const char* GetThreadPriorityName(int index) { return index >= 0 && index <= 5 ? kPriorityNames[index] : ""; }

int GetWindowsThreadPriority(int index) { return index >= 0 && index <= 5 ? kWindowsPriorities[index] : 0; }

int GetThreadPriorityLimit() { return ::InterlockedCompareExchange(&g_priorityLimit, 0, 0); }

bool SetThreadPriorityLimit(int index) {
  if (index != GetThreadPriorityLimit())
    LogLevel2("Warning: All thread priorities are limited to '%s'!", GetThreadPriorityName(index));
  ::InterlockedExchange(&g_priorityLimit, index);
  return true;
}

bool SetProcessRealtimePriority() {
  if (!::SetPriorityClass(::GetCurrentProcess(), REALTIME_PRIORITY_CLASS)) {
    LogError("***** Process Realtime priority set failed");
    return false;
  }
  ::InterlockedExchange(&g_processRealtime, 1);
  return true;
}

bool IsProcessRealtimePriority() { return ::InterlockedCompareExchange(&g_processRealtime, 0, 0) != 0; }

bool SetThreadRealtimePriority() {
  if (!::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
    LogError("***** Thread Realtime priority set failed");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- CThread

CThread::CThread(int stackClass)
    : m_stackClass(stackClass),
      m_priority(0),
      m_stopRequest(0),
      m_endCondition(nullptr),
      m_finished(0),
      m_running(0),
      m_joined(0),
      m_handle(nullptr),
      m_threadId(0) {
  ::InitializeCriticalSection(&m_lock);
}

CThread::~CThread() {
  if (m_handle != nullptr) {
    bool live = IsRunning();
    // The derived part is gone: only the flag can ask the body to stop.
    if (live) ::InterlockedExchange(&m_stopRequest, 1);
    JoinHandle();
    if (live) ::InterlockedExchange(&m_running, 0);
    if (!::CloseHandle(m_handle)) LogError("CloseHandle(thread)");
    m_handle = nullptr;
  }
  ::DeleteCriticalSection(&m_lock);
}

unsigned CThread::StackSizeOf(int stackClass) {
  switch (stackClass) {
    case 1: return 16384;
    case 2: return 65536;
    case 3: return 131072;
    case 4: return 262144;
    case 5: return 1048576;
    default: return 0;
  }
}

int CThread::Create(int priority) {
  int limit = GetThreadPriorityLimit();
  m_priority = priority < limit ? priority : limit;
  unsigned stackSize = StackSizeOf(m_stackClass);
  if (m_handle != nullptr) return 2;

  ::InterlockedExchange(&m_running, 1);
  ::InterlockedExchange(&m_stopRequest, 0);
  // Suspended until its handle and id are stored: the body, or a thread it
  // wakes, may read them at once.
  unsigned threadId = 0;
  uintptr_t handle =
      _beginthreadex(nullptr, stackSize, &CThread::EntryPoint, this, CREATE_SUSPENDED, &threadId);
  if (handle != 0) {
    m_handle = reinterpret_cast<HANDLE>(handle);
    m_threadId = threadId;
    if (::ResumeThread(m_handle) != static_cast<DWORD>(-1)) return 0;
    // Never ran: nothing of the body to wait for.
    const DWORD error = ::GetLastError();
    ::TerminateThread(m_handle, 0);
    ::CloseHandle(m_handle);
    m_handle = nullptr;
    m_threadId = 0;
    ::SetLastError(error);
  }
  // The caller reports the system's reason: logging must not reset it.
  DWORD error = ::GetLastError();
  ::InterlockedExchange(&m_running, 0);
  LogError("Can't create thread");
  ::SetLastError(error);
  return 1;
}

unsigned __stdcall CThread::EntryPoint(void* arg) {
  CThread* self = static_cast<CThread*>(arg);
  if (!::SetThreadPriority(::GetCurrentThread(), GetWindowsThreadPriority(self->m_priority)))
    LogError("Cannot set thread priority");

  int code = self->ThreadEntry();

  ::EnterCriticalSection(&self->m_lock);
  CCondition* condition = self->m_endCondition;
  if (condition != nullptr) {
    // finished and the broadcast under the condition's mutex: a waiter that
    // tests IsRunning under that mutex cannot miss the wake-up.
    CMutex* mutex = condition->GetMutex();
    // Without the mutex the end is still flagged and broadcast: a waiter that
    // misses it sees the flag at the end of its bounded wait.
    const bool locked = mutex != nullptr && mutex->Lock() == CMutex::eMUTEX_NO_ERROR;
    ::InterlockedExchange(&self->m_finished, 1);
    condition->Broadcast();
    if (locked) mutex->Unlock();
  }
  ::LeaveCriticalSection(&self->m_lock);
  // The owner may destroy the object as soon as the handle is signalled; its
  // Stop/Wait/destructor always wait for the handle, so 'self' stays valid
  // until this point.
  return static_cast<unsigned>(code);
}

void CThread::SetEndCondition(CCondition* condition) {
  CCriticalSectionLocker guard(m_lock);
  m_endCondition = condition;
}

int CThread::ThreadEntry() { return 0; }

void CThread::RequestStop() { ::InterlockedExchange(&m_stopRequest, 1); }

bool CThread::IsStopRequested() { return ::InterlockedCompareExchange(&m_stopRequest, 0, 0) == 1; }

bool CThread::ExitCodeIsStillActive() {
  DWORD code = 0;
  return m_handle != nullptr && ::GetExitCodeThread(m_handle, &code) && code == STILL_ACTIVE;
}

bool CThread::IsRunning() {
  return ::InterlockedCompareExchange(&m_finished, 0, 0) == 0 &&
         ::InterlockedCompareExchange(&m_running, 0, 0) == 1 && ExitCodeIsStillActive();
}

int CThread::JoinHandle() {
  // A thread that joins itself would wait forever.
  if (::InterlockedCompareExchange(&m_joined, 0, 0) == 0 && ::GetCurrentThreadId() != m_threadId) {
    if (::WaitForSingleObject(m_handle, INFINITE) == WAIT_FAILED)
      LogError("CThread::Wait error waiting");
    else
      ::InterlockedExchange(&m_joined, 1);
  }
  DWORD code = 0;
  if (!::GetExitCodeThread(m_handle, &code)) {
    LogError("CThread::Wait error GetExitCodeThread");
    return 0x8000;
  }
  return static_cast<int>(code);
}

void CThread::Stop() {
  if (m_handle == nullptr) return;
  bool live = IsRunning();
  if (live) RequestStop();
  // Also for a thread whose body has returned: it may still be leaving
  // EntryPoint (finished is set before the broadcast completes), and the
  // owner is free to delete the object once Stop returns.
  JoinHandle();
  if (live) ::InterlockedExchange(&m_running, 0);
}

bool CThread::ReleaseEndedThread() {
  if (m_handle == nullptr) return true;
  if (IsRunning() || ::GetCurrentThreadId() == m_threadId) return false;
  // The body may have returned and still be leaving EntryPoint.
  JoinHandle();
  if (!::CloseHandle(m_handle)) LogError("CloseHandle(thread)");
  m_handle = nullptr;
  m_threadId = 0;
  ::InterlockedExchange(&m_finished, 0);
  ::InterlockedExchange(&m_joined, 0);
  ::InterlockedExchange(&m_running, 0);
  return true;
}

int CThread::Wait() {
  if (m_handle == nullptr) return 0;
  bool live = IsRunning();
  int code = JoinHandle();
  return live ? code : 0;
}

void CThread::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

DWORD CThread::MicroToMilli(DWORD microseconds) {
  return static_cast<DWORD>((static_cast<uint64_t>(microseconds) + 999) / 1000);
}

void CThread::SleepMicro(DWORD microseconds) { ::Sleep(MicroToMilli(microseconds)); }

void CThread::Yield() { ::Sleep(0); }

void CThread::Exit(int exitCode) {
  _endthreadex(static_cast<unsigned>(exitCode));
  for (;;) {
  }
}
