// Reaches the handles inside the locks, so that a test can make one wait fail
// (a null handle fails every wait) and then put the real handle back.
#pragma once

#include "tvlib/threads/sync.h"

struct SyncTestAccess {
  static HANDLE& Handle(CMutex& m) { return m.m_mutex; }
  static HANDLE& Handle(CSemaphore& s) { return s.m_semaphore; }
  static HANDLE& Handle(CCondition& c) { return c.m_semaphore; }
  static CSemaphore& Resource(CReadWriteLock& rw) { return rw.m_W; }
  // True once a thread is blocked inside the lock (a semaphore's count goes
  // below zero by one per waiter): tests order threads by this, not by time.
  static bool HasWaiter(CReadWriteLock& rw) {
    for (CSemaphore* s : {&rw.m_RS, &rw.m_R, &rw.m_W, &rw.m_RC, &rw.m_WC})
      if (s->m_count < 0) return true;
    return false;
  }
};

// A condition that has lost its kernel object for good: every wait on it that
// begins from now on fails. The object is closed when this ends, once no
// thread waits on it any more.
struct BrokenCondition {
  explicit BrokenCondition(CCondition& c) : handle(SyncTestAccess::Handle(c)) {
    SyncTestAccess::Handle(c) = nullptr;
  }
  ~BrokenCondition() { ::CloseHandle(handle); }
  BrokenCondition(const BrokenCondition&) = delete;
  HANDLE handle;
};
