#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/fn_thread.h"
#include "support/log_capture.h"
#include "sync_test_access.h"
#include "tvlib/threads/sync.h"

namespace {

TEST(ReadWriteLock, TwoReadersInsideTogether) {
  CReadWriteLock rw;
  ASSERT_TRUE(rw.IsOk());
  ASSERT_EQ(0, rw.Read_Start());
  EXPECT_EQ(0, RunOnThread([&] {
    int r = rw.Read_Start();
    if (r == 0) rw.Read_End();
    return r;
  }));
  EXPECT_EQ(0, rw.Read_End());
}

TEST(ReadWriteLock, WriterExcludedWhileReaderInside) {
  CReadWriteLock rw;
  volatile LONG writing = 0;
  ASSERT_EQ(0, rw.Read_Start());
  FnThread writer([&](FnThread&) {
    int r = rw.Write_Start();
    ::InterlockedExchange(&writing, 1);
    if (r == 0) rw.Write_End();
    return r;
  });
  ASSERT_EQ(0, writer.Create(2));
  ::Sleep(200);
  EXPECT_EQ(0, writing);
  EXPECT_EQ(0, rw.Read_End());
  EXPECT_EQ(0, writer.Join());
  EXPECT_EQ(1, writing);
}

TEST(ReadWriteLock, WaitingWriterGoesBeforeNewReaders) {
  CReadWriteLock rw;
  volatile LONG writerDone = 0;
  volatile LONG readerSawWriterDone = -1;
  ASSERT_EQ(0, rw.Read_Start());
  FnThread writer([&](FnThread&) {
    int r = rw.Write_Start();
    ::Sleep(20);
    ::InterlockedExchange(&writerDone, 1);
    if (r == 0) rw.Write_End();
    return r;
  });
  ASSERT_EQ(0, writer.Create(2));
  // Once the writer holds the read gate, a try-start is refused.
  ASSERT_TRUE(WaitUntil([&] {
    int r = rw.Read_TryStart();
    if (r == 0) rw.Read_End();
    return r == CSemaphore::eSEMA_BUSY;
  }));
  FnThread reader2([&](FnThread&) {
    int r = rw.Read_Start();
    ::InterlockedExchange(&readerSawWriterDone, writerDone);
    if (r == 0) rw.Read_End();
    return r;
  });
  ASSERT_EQ(0, reader2.Create(2));
  ::Sleep(100);
  EXPECT_EQ(-1, readerSawWriterDone);  // still queued behind the writer
  EXPECT_EQ(0, rw.Read_End());
  EXPECT_EQ(0, writer.Join());
  EXPECT_EQ(0, reader2.Wait());
  EXPECT_EQ(1, readerSawWriterDone);
}

TEST(ReadWriteLock, TryStartsWhenFree) {
  CReadWriteLock rw;
  ASSERT_EQ(0, rw.Write_TryStart());
  EXPECT_EQ(CSemaphore::eSEMA_BUSY, RunOnThread([&] { return rw.Read_TryStart(); }));
  FnThread writer([&](FnThread&) {
    int r = rw.Write_TryStart();
    if (r == 0) rw.Write_End();
    return r;
  });
  EXPECT_EQ(0, rw.Write_End());
  ASSERT_EQ(0, writer.Create(2));
  EXPECT_EQ(0, writer.Join());
  EXPECT_EQ(0, rw.Read_TryStart());
  EXPECT_EQ(0, rw.Read_End());
}

TEST(ReadWriteLock, WriteTryStartWaitsForReaderToLeave) {
  CReadWriteLock rw;
  volatile LONG result = -1;
  ASSERT_EQ(0, rw.Read_Start());
  FnThread writer([&](FnThread&) {
    int r = rw.Write_TryStart();
    ::InterlockedExchange(&result, r);
    if (r == 0) rw.Write_End();
    return r;
  });
  ASSERT_EQ(0, writer.Create(2));
  ::Sleep(200);
  EXPECT_EQ(-1, result);  // passed the gates, blocked on the resource
  EXPECT_EQ(0, rw.Read_End());
  EXPECT_EQ(0, writer.Join());
  EXPECT_EQ(0, result);
}

// A writer whose wait for the resource fails must not stay counted: the read
// gate it took would then stay shut, and every later reader block for good.
TEST(ReadWriteLock, WriteStartFailingOnTheResourceGivesEverythingBack) {
  for (bool tryStart : {false, true}) {
    SCOPED_TRACE(tryStart ? "Write_TryStart" : "Write_Start");
    LogCapture log;
    CReadWriteLock rw;
    HANDLE& w = SyncTestAccess::Handle(SyncTestAccess::Resource(rw));
    HANDLE saved = w;
    w = nullptr;
    EXPECT_EQ(CSemaphore::eSEMA_MISC_ERROR, tryStart ? rw.Write_TryStart() : rw.Write_Start());
    w = saved;
    EXPECT_TRUE(log.Has(tryStart ? "Write_TryStart (err3==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait W"
                                 : "Write_Start (err3==CSemaphore::eSEMA_NO_ERROR) FAILED: Wait W"));
    // The try-starts block on nothing but the gates, so they show the state.
    ASSERT_EQ(0, rw.Read_TryStart());
    EXPECT_EQ(0, rw.Read_End());
    ASSERT_EQ(0, rw.Write_TryStart());
    EXPECT_EQ(0, rw.Write_End());
    ASSERT_EQ(0, rw.Read_TryStart());
    EXPECT_EQ(0, rw.Read_End());
  }
}

TEST(ReadWriteLock, StressKeepsWritersAloneAndPairsWhole) {
  CReadWriteLock rw;
  volatile LONG a = 0, b = 0;
  volatile LONG readersInside = 0, writersInside = 0, violations = 0;
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back(new FnThread([&](FnThread&) {
      for (int n = 0; n < 150; ++n) {
        if (rw.Read_Start() != 0) return 1;
        ::InterlockedIncrement(&readersInside);
        if (writersInside != 0 || a != b) ::InterlockedIncrement(&violations);
        ::InterlockedDecrement(&readersInside);
        rw.Read_End();
      }
      return 0;
    }));
  }
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back(new FnThread([&](FnThread&) {
      for (int n = 0; n < 100; ++n) {
        if (rw.Write_Start() != 0) return 1;
        if (::InterlockedIncrement(&writersInside) != 1 || readersInside != 0)
          ::InterlockedIncrement(&violations);
        a = a + 1;
        ::Sleep(0);
        b = b + 1;
        ::InterlockedDecrement(&writersInside);
        rw.Write_End();
      }
      return 0;
    }));
  }
  for (auto& t : threads) ASSERT_EQ(0, t->Create(2));
  for (auto& t : threads) EXPECT_EQ(0, t->Join());
  EXPECT_EQ(0, violations);
  EXPECT_EQ(200, a);
  EXPECT_EQ(200, b);
}

}  // namespace
