// Reaches the handles inside the locks, so that a test can make one wait fail
// (a null handle fails every wait) and then put the real handle back.
#pragma once

#include "tvlib/threads/sync.h"

struct SyncTestAccess {
  static HANDLE& Handle(CMutex& m) { return m.m_mutex; }
  static HANDLE& Handle(CSemaphore& s) { return s.m_semaphore; }
  static CSemaphore& Resource(CReadWriteLock& rw) { return rw.m_W; }
};
