#include <gtest/gtest.h>

#include "support/fn_thread.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"

namespace {

TEST(ThreadLifecycle, BodyRunsOnceAndWaitReturnsItsCode) {
  volatile LONG runs = 0;
  volatile LONG release = 0;
  FnThread t([&](FnThread&) {
    ::InterlockedIncrement(&runs);
    while (::InterlockedCompareExchange(&release, 0, 0) == 0) ::Sleep(1);
    return 7;
  });
  FnThread releaser([&](FnThread&) {
    ::Sleep(300);
    ::InterlockedExchange(&release, 1);
    return 0;
  });
  ASSERT_EQ(0, t.Create(2));
  EXPECT_EQ(2, t.Create(2));
  ASSERT_EQ(0, releaser.Create(2));
  EXPECT_EQ(7, t.Wait());
  EXPECT_EQ(1, runs);
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(2, t.Create(2));  // a thread object runs at most once
  ::Sleep(50);
  EXPECT_EQ(1, runs);
}

TEST(ThreadLifecycle, StopWithoutThreadOrAfterBodyDoesNotRequestStop) {
  FnThread never([](FnThread&) { return 0; });
  never.Stop();
  EXPECT_EQ(0, never.requestStopCalls);
  EXPECT_EQ(0, never.Wait());

  FnThread quick([](FnThread&) { return 3; });
  ASSERT_EQ(0, quick.Create(2));
  ASSERT_TRUE(WaitUntil([&] { return !quick.IsRunning(); }));
  quick.Stop();
  EXPECT_EQ(0, quick.requestStopCalls);
}

TEST(ThreadLifecycle, StopRequestsAndJoinsARunningBody) {
  volatile LONG ended = 0;
  FnThread t([&](FnThread& self) {
    while (!self.IsStopRequested()) ::Sleep(1);
    ::InterlockedExchange(&ended, 1);
    return 0;
  });
  ASSERT_EQ(0, t.Create(2));
  ASSERT_TRUE(WaitUntil([&] { return t.IsRunning(); }));
  t.Stop();
  EXPECT_EQ(1, t.requestStopCalls);
  EXPECT_EQ(1, ended);  // Stop returned only after the body
  EXPECT_FALSE(t.IsRunning());
}

TEST(ThreadLifecycle, EndConditionWakesWaiterWithThreadAlreadyFinished) {
  CCondition end;
  FnThread t([](FnThread&) {
    ::Sleep(100);
    return 0;
  });
  t.SetEndCondition(&end);
  CMutex* mutex = end.GetMutex();
  (void)mutex->Lock();
  ASSERT_EQ(0, t.Create(2));
  int waitResult = 0;
  int rounds = 0;
  while (t.IsRunning() && rounds++ < 100) waitResult = end.WaitTimeout(10000);
  // The broadcast happens under the mutex after 'finished' is set: the waiter
  // is woken by it (not by the time-out) and sees the thread as ended.
  EXPECT_EQ(0, waitResult);
  EXPECT_FALSE(t.IsRunning());
  mutex->Unlock();
  t.Stop();
}

// No destructor of its own: ~CThread has to set the flag and wait.
class PlainLoop : public CThread {
 public:
  int ThreadEntry() override {
    while (!IsStopRequested()) ::Sleep(1);
    return 0;
  }
};

TEST(ThreadLifecycle, DeletingRunningObjectWithoutOwnDestructorStopsIt) {
  PlainLoop* t = new PlainLoop();
  ASSERT_EQ(0, t->Create(2));
  ASSERT_TRUE(WaitUntil([&] { return t->IsRunning(); }));
  delete t;  // must return (flag set, body joined) and not crash
  SUCCEED();
}

TEST(ThreadLifecycle, DeleteImmediatelyAfterCreateManyTimes) {
  // Deleting before the new thread reached the derived body must not call a
  // pure slot ("pure virtual method called" aborts the process).
  for (int i = 0; i < 1000; ++i) {
    PlainLoop* t = new PlainLoop();
    ASSERT_EQ(0, t->Create(2));
    delete t;
  }
}

// The body's first look at its own object finds the handle and the id of the
// thread it runs on, however early it runs.
TEST(ThreadLifecycle, BodySeesItsHandleAndIdFromItsFirstInstruction) {
  for (int i = 0; i < 300; ++i) {
    volatile LONG seen = -1;
    FnThread t([&seen](FnThread& self) {
      ::InterlockedExchange(
          &seen, self.GetThreadHandle() != nullptr && self.GetThreadId() == ::GetCurrentThreadId());
      return 0;
    });
    ASSERT_EQ(0, t.Create(2));
    t.Stop();
    ASSERT_EQ(1, seen) << "creation " << i;
  }
}

class EndsAtOnce : public CThread {
 public:
  ~EndsAtOnce() override { Stop(); }
  int ThreadEntry() override { return 5; }
};

TEST(ThreadLifecycle, DestroyRightAfterEndConditionBroadcastManyTimes) {
  // The owner is woken by the end broadcast while the thread still leaves the
  // object's lock; destroying at once must wait for the thread itself.
  CCondition end;
  for (int i = 0; i < 1000; ++i) {
    EndsAtOnce* t = new EndsAtOnce();
    t->SetEndCondition(&end);
    (void)end.GetMutex()->Lock();
    ASSERT_EQ(0, t->Create(2));
    while (t->IsRunning()) (void)end.WaitTimeout(10000);
    end.GetMutex()->Unlock();
    // Once Stop/Wait return, the thread must really have ended (it no longer
    // touches the object), not merely have set 'finished'.
    if (i % 3 == 0) t->Stop();
    if (i % 3 == 1) t->Wait();
    if (i % 3 != 2) {
      ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(t->GetThreadHandle(), 0)) << i;
    }
    delete t;
  }
}

TEST(ThreadLifecycle, SleepMicroRoundsUpToMilliseconds) {
  EXPECT_EQ(0u, CThread::MicroToMilli(0));
  EXPECT_EQ(1u, CThread::MicroToMilli(1));
  EXPECT_EQ(1u, CThread::MicroToMilli(1000));
  EXPECT_EQ(2u, CThread::MicroToMilli(1001));
  EXPECT_EQ(4294968u, CThread::MicroToMilli(4294967295u));
}

TEST(ThreadLifecycle, StackClasses) {
  EXPECT_EQ(16384u, CThread::StackSizeOf(1));
  EXPECT_EQ(1048576u, CThread::StackSizeOf(5));
  EXPECT_EQ(0u, CThread::StackSizeOf(0));
  EXPECT_EQ(0u, CThread::StackSizeOf(6));
}

}  // namespace
