#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "support/fn_thread.h"
#include "support/log_capture.h"
#include "sync_test_access.h"
#include "tvlib/threads/sync.h"

namespace {

int TryLockAndUnlock(CMutex& m) {
  const int r = m.TryLock();
  if (r == 0) m.Unlock();
  return r;
}

TEST(Mutex, TryLockBusyFromOtherThreadRecursiveForOwner) {
  CMutex m;
  ASSERT_TRUE(m.IsOk());
  ASSERT_EQ(0, m.Lock());
  EXPECT_EQ(0, m.TryLock());  // recursive for the owner
  EXPECT_EQ(3, RunOnThread([&] { return m.TryLock(); }));
  EXPECT_EQ(3, RunOnThread([&] { return m.LockTimeout(30); }));
  EXPECT_EQ(0, m.Unlock());
  EXPECT_EQ(0, m.Unlock());
  EXPECT_EQ(5, m.Unlock());  // not owned any more
}

TEST(MutexLocker, ReleasesOnlyWhatItTook) {
  CMutex m;
  {
    CMutexLocker lock(m);
    EXPECT_TRUE(lock.Locked());
    EXPECT_EQ(3, RunOnThread([&] { return m.TryLock(); }));
  }
  EXPECT_EQ(0, RunOnThread([&] { return TryLockAndUnlock(m); }));

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
  ASSERT_EQ(0, RunOnThread([&] { return m.Lock(); }));  // ends holding it
  EXPECT_EQ(0, m.Lock());
  EXPECT_EQ(0, m.Unlock());
  // One Unlock must free it for everybody else.
  EXPECT_EQ(0, RunOnThread([&] { return TryLockAndUnlock(m); }));
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
  EXPECT_EQ(0, poster.Join());
}

// The semaphore keeps its count in user space and touches its kernel object
// only to block and to wake; it must still answer exactly as a kernel
// semaphore of the same counts would.
int KernelTryWait(HANDLE h, int busyCode) {
  return ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? CSemaphore::eSEMA_NO_ERROR : busyCode;
}

// A wait with a limit that really runs out registers as a waiter and must
// leave again.
int KernelTimedWait(HANDLE h, DWORD ms) {
  return ::WaitForSingleObject(h, ms) == WAIT_OBJECT_0 ? CSemaphore::eSEMA_NO_ERROR
                                                       : CSemaphore::eSEMA_TIMEOUT;
}

int KernelPost(HANDLE h) {
  if (::ReleaseSemaphore(h, 1, nullptr)) return CSemaphore::eSEMA_NO_ERROR;
  return ::GetLastError() == ERROR_TOO_MANY_POSTS ? CSemaphore::eSEMA_OVERFLOW : CSemaphore::eSEMA_MISC_ERROR;
}

TEST(SemaphoreModel, AnswersAsAKernelSemaphoreOfTheSameCounts) {
  const struct { LONG initial, maximum; } kCases[] = {{0, 1}, {1, 1}, {0, 2}, {2, 5}, {0, 0}, {3, 0}};
  LogCapture log;
  std::mt19937 rng(7);
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "initial " << c.initial << " maximum " << c.maximum);
    CSemaphore s(c.initial, c.maximum);
    HANDLE k = ::CreateSemaphoreA(nullptr, c.initial, c.maximum == 0 ? 0x7FFFFFFF : c.maximum, nullptr);
    ASSERT_NE(nullptr, k);
    for (int step = 0; step < 400; ++step) {
      switch (rng() % 4) {
        case 0: ASSERT_EQ(KernelTryWait(k, CSemaphore::eSEMA_BUSY), s.TryWait()) << "step " << step; break;
        case 1:
          ASSERT_EQ(KernelTryWait(k, CSemaphore::eSEMA_TIMEOUT), s.WaitTimeout(0)) << "step " << step;
          break;
        case 2: ASSERT_EQ(KernelTimedWait(k, 1), s.WaitTimeout(1)) << "step " << step; break;
        default: ASSERT_EQ(KernelPost(k), s.Post()) << "step " << step; break;
      }
    }
    ::CloseHandle(k);
  }
  EXPECT_EQ(0u, log.Lines().size());  // a refused post logs nothing
}

// Posts from other threads against waits with and without limits: every post
// is taken exactly once, no waiter sleeps through a post, and a wait that
// times out takes nothing.
TEST(SemaphoreModel, ThreadsConserveEveryPost) {
  CSemaphore s(0, 0);
  const int kPosters = 2, kPerPoster = 600, kBlocking = 2, kPerBlocking = 300, kTimed = 2;
  const int kPerTimed = (kPosters * kPerPoster - kBlocking * kPerBlocking) / kTimed;
  std::atomic<int> done{0}, taken{0}, badCodes{0};
  std::atomic<bool> giveUp{false};
  std::vector<std::unique_ptr<FnThread>> threads;
  auto add = [&](std::function<void()> body) {
    threads.emplace_back(new FnThread([&done, body](FnThread&) {
      body();
      ++done;
      return 0;
    }));
  };
  for (int p = 0; p < kPosters; ++p)
    add([&, p] {
      std::mt19937 rng(p);
      for (int i = 0; i < kPerPoster; ++i) {
        if (s.Post() != CSemaphore::eSEMA_NO_ERROR) ++badCodes;
        if (rng() % 4 == 0) ::Sleep(rng() % 2);
      }
    });
  for (int b = 0; b < kBlocking; ++b)
    add([&] {
      for (int i = 0; i < kPerBlocking; ++i) {
        if (s.Wait() != CSemaphore::eSEMA_NO_ERROR) ++badCodes;
        ++taken;
      }
    });
  for (int t = 0; t < kTimed; ++t)
    add([&, t] {
      std::mt19937 rng(10 + t);
      for (int got = 0; got < kPerTimed && !giveUp.load();) {
        const int r = rng() % 3 == 0 ? s.TryWait() : s.WaitTimeout(rng() % 3);
        if (r == CSemaphore::eSEMA_NO_ERROR) {
          ++got;
          ++taken;
        } else if (r != CSemaphore::eSEMA_TIMEOUT && r != CSemaphore::eSEMA_BUSY) {
          ++badCodes;
        }
      }
    });
  for (auto& t : threads) ASSERT_EQ(0, t->Create(2));
  const bool allDone = WaitUntil([&] { return done.load() == static_cast<int>(threads.size()); }, 120000, 5);
  if (!allDone) {  // free whoever sleeps through a lost post, then fail
    giveUp = true;
    for (int i = 0; i < kBlocking * kPerBlocking; ++i) s.Post();
  }
  threads.clear();
  ASSERT_TRUE(allDone) << "taken " << taken.load();
  EXPECT_EQ(0, badCodes.load());
  EXPECT_EQ(kPosters * kPerPoster, taken.load());
  EXPECT_EQ(CSemaphore::eSEMA_BUSY, s.TryWait());  // nothing left over
}

}  // namespace
