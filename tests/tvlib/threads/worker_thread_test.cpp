#include "tvlib/threads/worker_thread.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/fn_thread.h"
#include "support/poll.h"

namespace {

// A probe: counts pieces, records the thread they ran on, and can hold a
// piece at a gate until the test opens it.
class ProbeWorker : public CWorker_Thread {
 public:
  ProbeWorker() : CWorker_Thread(0, 2) {}
  ~ProbeWorker() override { Stop(); }

  volatile LONG pieces = 0;
  volatile LONG inPiece = 0;
  volatile LONG gateOpen = 1;
  volatile DWORD workThreadId = 0;
  std::function<void()> during;

 protected:
  void DoWork() override {
    workThreadId = ::GetCurrentThreadId();
    ::InterlockedExchange(&inPiece, 1);
    while (::InterlockedCompareExchange(&gateOpen, 0, 0) == 0) ::Sleep(1);
    if (during) during();
    ::InterlockedIncrement(&pieces);
    ::InterlockedExchange(&inPiece, 0);
  }
};

LONG Read(volatile LONG& v) { return ::InterlockedCompareExchange(&v, 0, 0); }

TEST(WorkerThread, TriggerDuringAPieceIsRefusedAtOnceAndTheWorkRunsOnTheWorker) {
  ProbeWorker w;
  w.gateOpen = 0;
  ASSERT_TRUE(w.Go());
  ASSERT_TRUE(w.Trigger());
  ASSERT_TRUE(WaitUntil([&] { return Read(w.inPiece) == 1; }));
  EXPECT_FALSE(w.Trigger());

  // The piece is still held at its gate: this only returns because DoWork
  // runs without the worker's mutex.
  EXPECT_EQ(0, RunOnThread([&] { return w.Trigger() ? 1 : 0; }));
  EXPECT_EQ(1, Read(w.inPiece));

  ::InterlockedExchange(&w.gateOpen, 1);
  EXPECT_TRUE(w.WaitDone());
  EXPECT_EQ(1, Read(w.pieces));
  EXPECT_EQ(w.GetThreadId(), w.workThreadId);
  EXPECT_NE(::GetCurrentThreadId(), w.workThreadId);
}

TEST(WorkerThread, WaitDoneWithNothingPendingAndGoTwice) {
  ProbeWorker w;
  EXPECT_FALSE(w.WaitDone());
  ASSERT_TRUE(w.Go());
  EXPECT_TRUE(w.WaitDone());
  EXPECT_FALSE(w.Go());
  EXPECT_TRUE(w.WaitDone());
  w.Stop();
  EXPECT_FALSE(w.WaitDone());
  EXPECT_EQ(0, Read(w.pieces));
}

TEST(WorkerThread, RequestStopEndsAnIdleBodyAndAWorkingOneAfterItsPiece) {
  ProbeWorker idle;
  ASSERT_TRUE(idle.Go());
  idle.RequestStop();
  ASSERT_TRUE(WaitUntil([&] { return !idle.IsRunning(); }));
  idle.Stop();

  ProbeWorker busy;
  busy.gateOpen = 0;
  ASSERT_TRUE(busy.Go());
  ASSERT_TRUE(busy.Trigger());
  ASSERT_TRUE(WaitUntil([&] { return Read(busy.inPiece) == 1; }));
  busy.RequestStop();
  ::InterlockedExchange(&busy.gateOpen, 1);
  busy.Stop();
  EXPECT_EQ(1, Read(busy.pieces));
  EXPECT_FALSE(busy.IsRunning());
}

// A stop that overtakes a pending piece: the owner in WaitDone must wake, and
// hear true only for a piece that really ran.
TEST(WorkerThread, StopWithAPendingPieceNeverStrandsOrMisleadsTheWaiter) {
  for (int round = 0; round < 200; ++round) {
    ProbeWorker w;
    ASSERT_TRUE(w.Go());
    ASSERT_TRUE(w.Trigger());
    FnThread waiter([&](FnThread&) { return w.WaitDone() ? 1 : 0; });
    ASSERT_EQ(0, waiter.Create(2));
    w.RequestStop();
    const int result = waiter.Join();
    w.Stop();
    if (result == 1) {
      EXPECT_EQ(1, Read(w.pieces)) << "round " << round;
    }
  }
}

TEST(WorkerThread, ATriggerRacingGoIsEitherRefusedOrRun) {
  for (int round = 0; round < 200; ++round) {
    ProbeWorker w;
    volatile LONG go = 0;
    FnThread trigger([&](FnThread&) {
      while (Read(go) == 0) {
      }
      // Keep asking until Go has surely run, so that some calls meet the
      // thread while it is still starting.
      bool taken = false;
      for (int i = 0; i < 2000 && !taken; ++i) taken = w.Trigger();
      return taken ? 1 : 0;
    });
    ASSERT_EQ(0, trigger.Create(2));
    ::InterlockedExchange(&go, 1);
    ASSERT_TRUE(w.Go());
    const int result = trigger.Join();
    if (result == 1) {
      ASSERT_TRUE(WaitUntil([&] { return Read(w.pieces) == 1; }))
          << "a taken trigger never ran, round " << round;
    }
    // The worker is not wedged: the next piece is taken and runs.
    ASSERT_TRUE(w.WaitDone());
    ASSERT_TRUE(w.Trigger()) << "round " << round;
    ASSERT_TRUE(w.WaitDone());
    EXPECT_EQ(result == 1 ? 2 : 1, Read(w.pieces));
  }
}

TEST(WorkerThread, TriggerBeforeGoOrAfterStopRunsNothing) {
  ProbeWorker w;
  EXPECT_FALSE(w.Trigger());
  ASSERT_TRUE(w.Go());
  ASSERT_TRUE(w.Trigger());
  ASSERT_TRUE(w.WaitDone());
  EXPECT_EQ(1, Read(w.pieces));
  w.Stop();
  EXPECT_FALSE(w.Trigger());
  EXPECT_FALSE(w.WaitDone());
  EXPECT_EQ(1, Read(w.pieces));
}

TEST(WorkerThread, WaitDoneFromInsideThePieceReturnsFalse) {
  ProbeWorker w;
  volatile LONG inner = -1;
  w.during = [&] { ::InterlockedExchange(&inner, w.WaitDone() ? 1 : 0); };
  ASSERT_TRUE(w.Go());
  ASSERT_TRUE(w.Trigger());
  ASSERT_TRUE(WaitUntil([&] { return Read(w.pieces) == 1; }));
  EXPECT_EQ(0, inner);
}

}  // namespace
