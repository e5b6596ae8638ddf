// The server thread's liveness rule, upgrade state and stop.
#include <gtest/gtest.h>

#include "service/Liveness.h"
#include "service/WatermarkServer.h"
#include "tvlib/threads/sync.h"

namespace {

TEST(Liveness, TickOfZeroCountsAsAlive) { EXPECT_TRUE(IsTickAlive(0, 123456789, 10000)); }

TEST(Liveness, LimitIsInclusive) {
  EXPECT_TRUE(IsTickAlive(1000, 11000, 10000));
  EXPECT_FALSE(IsTickAlive(1000, 11001, 10000));
}

TEST(Liveness, TickNewerThanTheClockReadingIsNotAWrap) {
  // A tick stored between two readings must not look 2^64 ms old.
  EXPECT_TRUE(IsTickAlive(5000, 4999, 10000));
}

TEST(WatermarkServer, UpgradeStateFollowsTheRequestAtTheNextCheck) {
  CWatermark_Server server(nullptr);
  EXPECT_FALSE(server.SetBoardUpgrade("SN00000000", 0));
  EXPECT_FALSE(server.IsUpgradeState());
  server.CheckBoards();
  EXPECT_TRUE(server.IsUpgradeState());
  server.SetBoardUpgrade("SN00000000", 1);
  server.CheckBoards();
  EXPECT_FALSE(server.IsUpgradeState());
}

TEST(WatermarkServer, StopEndsTheLoopAndBroadcastsTheEndCondition) {
  CCondition ended(nullptr);
  CWatermark_Server server(nullptr);
  server.SetEndCondition(&ended);
  ASSERT_EQ(0, server.Create(2));
  EXPECT_TRUE(server.IsRunning());
  EXPECT_TRUE(server.IsAlive());

  CMutex& mutex = *ended.GetMutex();
  (void)mutex.Lock();
  server.RequestStop();
  // The end condition is broadcast under its mutex, which this thread holds
  // until the wait releases it: the broadcast cannot be missed.
  int rc = CCondition::eCOND_TIMEOUT;
  for (int i = 0; i < 30 && server.IsRunning(); ++i) rc = ended.WaitTimeout(1000);
  mutex.Unlock();
  EXPECT_FALSE(server.IsRunning());
  EXPECT_EQ(CCondition::eCOND_NO_ERROR, rc);
  server.Stop();
}

}  // namespace
