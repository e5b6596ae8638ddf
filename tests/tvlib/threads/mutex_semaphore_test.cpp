#include <gtest/gtest.h>

#include "support/fn_thread.h"
#include "support/log_capture.h"
#include "sync_test_access.h"
#include "tvlib/threads/sync.h"

namespace {

TEST(Mutex, TryLockBusyFromOtherThreadRecursiveForOwner) {
  CMutex m;
  ASSERT_TRUE(m.IsOk());
  ASSERT_EQ(0, m.Lock());
  EXPECT_EQ(0, m.TryLock());  // recursive for the owner
  FnThread other([&](FnThread&) { return m.TryLock(); });
  ASSERT_EQ(0, other.Create(2));
  EXPECT_EQ(3, other.Wait());
  FnThread timed([&](FnThread&) { return m.LockTimeout(30); });
  ASSERT_EQ(0, timed.Create(2));
  EXPECT_EQ(3, timed.Wait());
  EXPECT_EQ(0, m.Unlock());
  EXPECT_EQ(0, m.Unlock());
  EXPECT_EQ(5, m.Unlock());  // not owned any more
}

TEST(MutexLocker, ReleasesOnlyWhatItTook) {
  CMutex m;
  {
    CMutexLocker lock(m);
    EXPECT_TRUE(lock.Locked());
    FnThread other([&](FnThread&) { return m.TryLock(); });
    ASSERT_EQ(0, other.Create(2));
    EXPECT_EQ(3, other.Wait());
  }
  FnThread after([&](FnThread&) {
    int r = m.TryLock();
    if (r == 0) m.Unlock();
    return r;
  });
  ASSERT_EQ(0, after.Create(2));
  EXPECT_EQ(0, after.Wait());

  // A failed Lock leaves nothing to release.
  LogCapture log;
  HANDLE& handle = SyncTestAccess::Handle(m);
  HANDLE saved = handle;
  handle = nullptr;
  {
    CMutexLocker lock(m);
    EXPECT_FALSE(lock.Locked());
  }
  handle = saved;
  EXPECT_TRUE(log.Has("WaitForSingleObject(mutex)"));
  EXPECT_EQ(0, log.Count("ReleaseMutex()"));
}

TEST(Mutex, AbandonedMutexIsTakenOnce) {
  CMutex m;
  FnThread owner([&](FnThread&) { return m.Lock(); });  // ends holding it
  ASSERT_EQ(0, owner.Create(2));
  ASSERT_EQ(0, owner.Wait());
  EXPECT_EQ(0, m.Lock());
  EXPECT_EQ(0, m.Unlock());
  // One Unlock must free it for everybody else.
  FnThread other([&](FnThread&) {
    int r = m.TryLock();
    if (r == 0) m.Unlock();
    return r;
  });
  ASSERT_EQ(0, other.Create(2));
  EXPECT_EQ(0, other.Wait());
}

TEST(Mutex, LockerReleasesAtScopeEnd) {
  CMutex m;
  {
    CMutexLocker lock(m);
    FnThread other([&](FnThread&) { return m.TryLock(); });
    ASSERT_EQ(0, other.Create(2));
    EXPECT_EQ(3, other.Wait());
  }
  FnThread other([&](FnThread&) {
    int r = m.TryLock();
    if (r == 0) m.Unlock();
    return r;
  });
  ASSERT_EQ(0, other.Create(2));
  EXPECT_EQ(0, other.Wait());
}

TEST(Semaphore, ResultCodes) {
  CSemaphore s(1, 1);
  ASSERT_TRUE(s.IsOk());
  {
    LogCapture probe;
    EXPECT_EQ(CSemaphore::eSEMA_OVERFLOW, s.Post());  // already free
    EXPECT_TRUE(probe.Lines().empty());
  }
  EXPECT_EQ(CSemaphore::eSEMA_NO_ERROR, s.TryWait());
  EXPECT_EQ(CSemaphore::eSEMA_BUSY, s.TryWait());
  EXPECT_EQ(CSemaphore::eSEMA_TIMEOUT, s.WaitTimeout(50));
  EXPECT_EQ(CSemaphore::eSEMA_NO_ERROR, s.Post());
  EXPECT_EQ(CSemaphore::eSEMA_NO_ERROR, s.Wait());
}

TEST(Semaphore, PostFromAnotherThreadReleasesWaiter) {
  CSemaphore s(0, 0);
  FnThread poster([&](FnThread&) {
    ::Sleep(50);
    return s.Post();
  });
  ASSERT_EQ(0, poster.Create(2));
  EXPECT_EQ(0, s.WaitTimeout(10000));
  EXPECT_EQ(0, poster.Wait());
}

}  // namespace
