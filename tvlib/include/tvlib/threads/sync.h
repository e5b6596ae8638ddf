// Thin locks over Windows synchronisation objects, shared by every thread.
//
// All operations may be called from any thread and report failures as small
// integer codes (each class has its own set; callers compare the numbers) after
// logging them at level 0. Nothing here throws.
//
// The guard rule, for every lock, wait and start here and for the scoped
// guards below: a failure has already been logged, so the caller neither logs
// it again nor goes on as if it held the lock; it skips the guarded work (or
// ends, when nothing can go on without it). Work that is safe without the lock
// (an interlocked flag and a broadcast that a bounded wait would outlast)
// may still be done, and says so. That is why every such result is
// [[nodiscard]] and every guard tells whether it holds (Locked, Started).
#pragma once

#include "tvlib/win.h"

#include <cstdint>
#include <string>

// An unnamed Windows mutex; recursive for its owning thread.
class CMutex {
 public:
  enum {
    eMUTEX_NO_ERROR = 0,
    eMUTEX_BUSY = 3,  // TryLock found it held, or LockTimeout ran out
    eMUTEX_MISC_ERROR = 5,
  };

  // The argument selects nothing; it is kept for callers that pass a kind.
  explicit CMutex(int type = 0);
  ~CMutex();
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  [[nodiscard]] int Lock();
  [[nodiscard]] int TryLock();
  [[nodiscard]] int LockTimeout(DWORD milliseconds);
  int Unlock();

  bool IsOk() const { return m_mutex != nullptr; }
  HANDLE GetHandle() const { return m_mutex; }

 private:
  friend struct SyncTestAccess;
  int LockWithTime(DWORD milliseconds);

  HANDLE m_mutex;
};

// A counting semaphore over a Windows semaphore. A maximum of 0 means
// 2147483647.
//
// The count lives in m_count (interlocked): a wait that finds it positive
// takes one and a post to a semaphore nobody waits on adds one, neither
// touching the kernel (each kernel call is a round trip to the kernel, under
// Wine to the wineserver). Below zero it counts the threads that wait on the
// kernel semaphore, which carries only their wake-ups: a post that finds
// waiters releases it once. A wait that times out or fails takes itself out of
// the waiters again, unless a post has already counted it woken, in which case
// it takes that post's release and succeeds; if a waiter that came since took
// the release, that one's count is taken out instead. After its time a wait
// only ever waits for a release already given, never for a later post. A
// semaphore without its kernel object fails every call, as before.
class CSemaphore {
 public:
  enum {
    eSEMA_NO_ERROR = 0,
    eSEMA_BUSY = 2,      // TryWait would block
    eSEMA_TIMEOUT = 3,   // WaitTimeout ran out
    eSEMA_OVERFLOW = 4,  // Post refused: the count is at its maximum
    eSEMA_MISC_ERROR = 5,
  };

  explicit CSemaphore(LONG initialCount = 0, LONG maxCount = 0);
  ~CSemaphore();
  CSemaphore(const CSemaphore&) = delete;
  CSemaphore& operator=(const CSemaphore&) = delete;

  bool IsOk() const { return m_semaphore != nullptr; }
  [[nodiscard]] int Wait();
  [[nodiscard]] int TryWait();
  [[nodiscard]] int WaitTimeout(DWORD milliseconds);
  int Post();

 private:
  friend struct SyncTestAccess;  // tests break a handle to reach the failure paths
  int WaitWithTime(DWORD milliseconds, int timeoutCode);
  bool TakeFree();  // takes one of a positive count

  HANDLE m_semaphore;     // wake-ups of the waiters only
  volatile LONG m_count;  // free count, or minus the waiters
  LONG m_max;
};

// Condition variable used together with a CMutex, built from a waiter count
// (guarded by m_waitersLock) and a semaphore released once per woken waiter.
//
// Each waiter registers a node of its own, in arrival order, under the
// waiters lock. Signal releases the oldest registered waiter and Broadcast
// every registered one: a release goes to a thread that was waiting when it
// was given, never to one that comes later. The semaphore's units cannot say
// whom they are for, so a thread that wakes with a unit although nobody
// released it (it came after the release, and took the unit before the
// released thread reached its kernel wait) hands the unit back and waits
// again after a short pause; a released thread, even one whose time ran out,
// always ends by taking one unit. Signals given while nobody waits are lost,
// so callers test their predicate under the mutex and loop.
// Wait releases the mutex once: never wait while holding it recursively.
class CCondition {
 public:
  enum {
    eCOND_NO_ERROR = 0,
    eCOND_TIMEOUT = 2,
    eCOND_MISC_ERROR = 3,  // waits; signals report 3 on error as well
  };
  friend struct SyncTestAccess;  // tests break a handle to reach the failure paths

  // mutex null: the condition creates (and owns) its own.
  explicit CCondition(CMutex* mutex = nullptr);
  ~CCondition();
  CCondition(const CCondition&) = delete;
  CCondition& operator=(const CCondition&) = delete;

  bool IsOk() const;
  CMutex* GetMutex() const { return m_mutex; }

  // The caller holds the mutex; it holds it again when these return. A
  // waiter released while its time ran out still reports the time-out.
  [[nodiscard]] int Wait();
  [[nodiscard]] int WaitTimeout(DWORD milliseconds);
  int Signal();
  int Broadcast();

  // Threads inside a wait that no signal has released yet (a snapshot).
  int GetWaiterCount();

 private:
  // One waiting thread, on its own stack; linked while registered.
  struct Waiter {
    Waiter* next = nullptr;
    Waiter* prev = nullptr;
    bool released = false;
  };

  int WaitWithTime(DWORD milliseconds);
  void Unlink(Waiter& waiter);  // under m_waitersLock
  // A released waiter's unit: free in the semaphore, or about to be handed
  // back by a thread that took it. False when the semaphore fails.
  bool TakeReleasedUnit();

  CMutex* m_mutex;
  bool m_ownsMutex;
  int m_waiters;  // registered, not released; guarded by m_waitersLock
  CRITICAL_SECTION m_waitersLock;
  HANDLE m_semaphore;
  Waiter* m_first = nullptr;  // oldest registered waiter; guarded by m_waitersLock
  Waiter* m_last = nullptr;
  int m_released = 0;  // released waiters that have not taken their unit yet; m_waitersLock
};

// Writer-preferring readers/writer lock made of five (1, 1) semaphores. Once a
// writer holds or waits for the read gate, new readers queue behind it. Not
// re-entrant: a reader that asks again while a writer waits deadlocks. The
// resource semaphore W may be released by a different reader than the one that
// took it. Results are CSemaphore codes. A start that fails returns holding
// nothing: what it had taken or counted is given back first.
class CReadWriteLock {
 public:
  CReadWriteLock();
  ~CReadWriteLock() = default;
  CReadWriteLock(const CReadWriteLock&) = delete;
  CReadWriteLock& operator=(const CReadWriteLock&) = delete;

  bool IsOk() const;
  [[nodiscard]] int Read_Start();
  [[nodiscard]] int Read_TryStart();
  int Read_End();
  [[nodiscard]] int Write_Start();
  [[nodiscard]] int Write_TryStart();  // may still block on W while readers are inside
  int Write_End();

 private:
  friend struct SyncTestAccess;
  // With RS and R held: counts the reader in (the first one waits for W, or
  // only tries it) and lets both gates go. The code of the failed step, or 0.
  int CountReaderIn(const char* op, bool tryResource);
  // A counted writer lets WC go and waits for W; when that fails it is taken
  // out of the count again.
  int TakeResourceAsWriter(const char* op);
  // Takes a writer out of the count (after its W, or after a failed wait for
  // W); the last writer out opens the read gate again.
  int LeaveWriters(const char* op);

  CSemaphore m_RC;  // guards m_readers
  int m_readers;
  CSemaphore m_WC;  // guards m_writers
  int m_writers;    // inside or waiting
  CSemaphore m_R;   // read gate, held by the writers as a group
  CSemaphore m_W;   // the resource: one writer, or the readers as a group
  CSemaphore m_RS;  // lets one reader at a time wait on the read gate
};

// A named global mutex "Global\TARVEL_<name>_MUTEX" that authenticated users
// may open. Codes: 0 success, 1 no handle / refused, 3 timed out, 5 error.
class CMutexNamed {
 public:
  explicit CMutexNamed(const char* name = nullptr);
  ~CMutexNamed();
  CMutexNamed(const CMutexNamed&) = delete;
  CMutexNamed& operator=(const CMutexNamed&) = delete;

  int Create(const char* name);
  int Open(const char* name);
  void Close();
  [[nodiscard]] int Lock();
  int Unlock();

  bool IsOpen() const { return m_mutex != nullptr; }
  const std::string& GetObjectName() const { return m_name; }

 private:
  std::string m_name;
  HANDLE m_mutex;
};

// Signal / broadcast `event` while holding its own mutex, so that a thread
// testing its predicate under that mutex cannot miss the wake-up. They do
// nothing when the mutex cannot be taken.
void SignalWithMutex(CCondition* event);
void BroadcastWithMutex(CCondition* event);

// Wakes the threads that registered to wait on `event`, by a count that the
// caller keeps under a lock of its own (each registers there before it waits,
// holding the event's mutex). None: nothing, no kernel call. One: it alone.
// More: all of them, since each may wait for something else and the one that
// a single signal would wake might not be the one that can go on.
void WakeRegistered(CCondition* event, uint32_t registered);

// Fills sd with an access list granting authenticated users all generic
// rights. Returns the list, to be freed with FreeRestrictedSD once the object
// is created, or null on failure.
PACL BuildRestrictedSD(PSECURITY_DESCRIPTOR sd);
void FreeRestrictedSD(PACL acl);

// Scoped guards for one function's critical region. CMutexLocker releases
// only a lock it took: the mutex is recursive, so unlocking after a failed
// Lock would give away a level that an outer scope of the same thread holds.
class CMutexLocker {
 public:
  explicit CMutexLocker(CMutex& mutex) : m_mutex(mutex), m_locked(mutex.Lock() == CMutex::eMUTEX_NO_ERROR) {}
  // Waits at most `milliseconds`; not Locked when that ran out (eMUTEX_BUSY,
  // which is not logged).
  CMutexLocker(CMutex& mutex, DWORD milliseconds)
      : m_mutex(mutex), m_locked(mutex.LockTimeout(milliseconds) == CMutex::eMUTEX_NO_ERROR) {}
  ~CMutexLocker() {
    if (m_locked) m_mutex.Unlock();
  }
  [[nodiscard]] bool Locked() const { return m_locked; }
  CMutexLocker(const CMutexLocker&) = delete;
  CMutexLocker& operator=(const CMutexLocker&) = delete;

 private:
  CMutex& m_mutex;
  bool m_locked;
};

class CCriticalSectionLocker {
 public:
  explicit CCriticalSectionLocker(CRITICAL_SECTION& cs) : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
  ~CCriticalSectionLocker() { ::LeaveCriticalSection(&m_cs); }
  CCriticalSectionLocker(const CCriticalSectionLocker&) = delete;
  CCriticalSectionLocker& operator=(const CCriticalSectionLocker&) = delete;

 private:
  CRITICAL_SECTION& m_cs;
};

// Read or write side of a CReadWriteLock for one scope. The guard releases only
// what it took, so a failed start is not "ended" (Started() tells).
class CReadLocker {
 public:
  explicit CReadLocker(CReadWriteLock& lock) : m_lock(lock), m_ok(lock.Read_Start() == 0) {}
  ~CReadLocker() {
    if (m_ok) m_lock.Read_End();
  }
  [[nodiscard]] bool Started() const { return m_ok; }
  CReadLocker(const CReadLocker&) = delete;
  CReadLocker& operator=(const CReadLocker&) = delete;

 private:
  CReadWriteLock& m_lock;
  bool m_ok;
};

class CWriteLocker {
 public:
  explicit CWriteLocker(CReadWriteLock& lock) : m_lock(lock), m_ok(lock.Write_Start() == 0) {}
  ~CWriteLocker() {
    if (m_ok) m_lock.Write_End();
  }
  [[nodiscard]] bool Started() const { return m_ok; }
  CWriteLocker(const CWriteLocker&) = delete;
  CWriteLocker& operator=(const CWriteLocker&) = delete;

 private:
  CReadWriteLock& m_lock;
  bool m_ok;
};
