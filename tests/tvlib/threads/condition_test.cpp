#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/fn_thread.h"
#include "tvlib/threads/sync.h"

namespace {

TEST(Condition, SignalWithoutWaiterIsLost) {
  CCondition c;
  ASSERT_TRUE(c.IsOk());
  EXPECT_EQ(0, c.Signal());
  EXPECT_EQ(0, c.Broadcast());
  (void)c.GetMutex()->Lock();
  EXPECT_EQ(2, c.WaitTimeout(100));
  c.GetMutex()->Unlock();
}

TEST(Condition, ZeroTimeoutLeavesWaiterCountUnchanged) {
  CCondition c;
  (void)c.GetMutex()->Lock();
  EXPECT_EQ(2, c.WaitTimeout(0));
  EXPECT_EQ(0, c.GetWaiterCount());
  c.GetMutex()->Unlock();
  // A later signal finds nobody, so the next wait still times out.
  EXPECT_EQ(0, c.Signal());
  (void)c.GetMutex()->Lock();
  EXPECT_EQ(2, c.WaitTimeout(0));
  c.GetMutex()->Unlock();
}

TEST(Condition, WaitReturnsHoldingTheMutex) {
  CMutex m;
  CCondition c(&m);
  EXPECT_EQ(&m, c.GetMutex());
  (void)m.Lock();
  EXPECT_EQ(2, c.WaitTimeout(10));
  EXPECT_EQ(3, RunOnThread([&] { return m.TryLock(); }));
  m.Unlock();
}

TEST(Condition, BroadcastWakesAllWaiters) {
  CCondition c;
  bool go = false;  // guarded by c's mutex
  volatile LONG woken = 0;
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back(new FnThread([&](FnThread&) {
      (void)c.GetMutex()->Lock();
      while (!go) (void)c.Wait();
      c.GetMutex()->Unlock();
      ::InterlockedIncrement(&woken);
      return 0;
    }));
    ASSERT_EQ(0, threads.back()->Create(2));
  }
  ASSERT_TRUE(WaitUntil([&] { return c.GetWaiterCount() == 8; }));
  (void)c.GetMutex()->Lock();
  go = true;
  EXPECT_EQ(0, c.Broadcast());
  EXPECT_EQ(0, c.GetWaiterCount());
  c.GetMutex()->Unlock();
  for (auto& t : threads) t->Wait();
  EXPECT_EQ(8, woken);
}

// A thread that signals and then waits at once must not take its own
// release: plain waits, no time-outs, and each signal must reach the other.
TEST(Condition, PingPongBetweenTwoThreads) {
  const int kRounds = 20000;
  CCondition c;
  int turn = 0;         // 0: ping's turn, 1: pong's turn; guarded by c's mutex
  bool giveUp = false;  // guarded by c's mutex
  int pings = 0, pongs = 0;
  volatile LONG done = 0;
  auto player = [&](int me, int* count) {
    return [&, me, count](FnThread&) {
      (void)c.GetMutex()->Lock();
      for (int i = 0; i < kRounds && !giveUp; ++i) {
        while (turn != me && !giveUp) (void)c.Wait();
        ++*count;
        turn = 1 - me;
        c.Signal();
      }
      c.GetMutex()->Unlock();
      ::InterlockedIncrement(&done);
      return 0;
    };
  };
  FnThread ping(player(0, &pings));
  FnThread pong(player(1, &pongs));
  ASSERT_EQ(0, ping.Create(2));
  ASSERT_EQ(0, pong.Create(2));
  const bool finished = WaitUntil([&] { return done == 2; }, 120000, 10);
  if (!finished) {  // both asleep on a lost wake-up: free them, then fail
    (void)c.GetMutex()->Lock();
    giveUp = true;
    c.Broadcast();
    c.GetMutex()->Unlock();
  }
  ping.Wait();
  pong.Wait();
  EXPECT_TRUE(finished) << "hung after " << pings << " pings and " << pongs << " pongs";
  EXPECT_EQ(kRounds, pings);
  EXPECT_EQ(kRounds, pongs);
}

}  // namespace
