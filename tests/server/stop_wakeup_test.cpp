// Stops raised at random moments against the main thread's supervision loop
// and the server loop. Each loop must end on the stop's wake-up: a loop that
// tests its predicate outside the mutex now and then sleeps through a stop
// and ends on its 1000 ms time-out instead, which the loops report.
#include <gtest/gtest.h>

#include <random>

#include "service/WatermarkMain.h"
#include "service/WatermarkServer.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"

namespace {

const int kRounds = 200;

// The windows a lost wake-up needs are a few kernel calls wide, finer than
// Sleep can place a moment.
void SpinMicroseconds(int us) {
  LARGE_INTEGER frequency, start, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  do {
    ::QueryPerformanceCounter(&now);
  } while ((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart < us);
}

TEST(StopWakeup, SupervisionLoopEndsOnTheStopBroadcast) {
  LogCapture log(0);  // the board scan logs every turn
  CWatermark_Server server(nullptr);
  server.SetEndCondition(StopCondition);
  ASSERT_EQ(0, server.Create(2));
  std::mt19937 random(8);
  for (int round = 0; round < kRounds; ++round) {
    StopRequestFlag = false;
    int delayUs = static_cast<int>(random() % 2000);
    FnThread stopper([delayUs](FnThread&) {
      SpinMicroseconds(delayUs);
      RaiseStop();
      return 0;
    });
    ASSERT_EQ(0, stopper.Create(2));
    int waited = SuperviseServer(server);
    EXPECT_TRUE(StopRequestFlag);
    ASSERT_NE(CCondition::eCOND_TIMEOUT, waited) << "round " << round << ", stop after " << delayUs << " us";
    stopper.Stop();
    ASSERT_TRUE(server.IsRunning());
  }
  server.RequestStop();
  server.Stop();
}

TEST(StopWakeup, ServerLoopEndsOnItsStopAndItsEndWakesTheSupervision) {
  LogCapture log(0);
  std::mt19937 random(9);
  StopRequestFlag = false;
  for (int round = 0; round < kRounds; ++round) {
    CWatermark_Server server(nullptr);
    server.SetEndCondition(StopCondition);
    int delayUs = static_cast<int>(random() % 3000);
    FnThread stopper([&server, delayUs](FnThread&) {
      SpinMicroseconds(delayUs);
      server.RequestStop();
      return 0;
    });
    ASSERT_EQ(0, server.Create(2));
    ASSERT_EQ(0, stopper.Create(2));
    // Ends once the server's end broadcasts the stop condition.
    int waited = SuperviseServer(server);
    EXPECT_FALSE(StopRequestFlag);
    EXPECT_NE(CCondition::eCOND_TIMEOUT, waited) << "round " << round;
    stopper.Stop();
    server.Stop();
    ASSERT_NE(CCondition::eCOND_TIMEOUT, server.GetLastWaitResult())
        << "round " << round << ", stop after " << delayUs << " us";
  }
}

}  // namespace
