// Record queue across threads: waits and their aborts, outside events, racing
// readers, and a producer/consumer run.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "test_common.h"
#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/threads/sync.h"

namespace {

typedef CBufferBase<unsigned char> Bytes_t;

bool Push(CBuffer_Queue& q, const std::vector<unsigned char>& v, bool wait = false) {
  return q.PushBuffer(v.data(), static_cast<uint32_t>(v.size()), false, wait);
}

TEST(RecordQueueWaits, AbortPopWakesAWaitingReader) {
  CBuffer_Queue q(64, 0);
  std::atomic<int> result{-1};
  std::thread reader([&] {
    Bytes_t out;
    result = q.PopBuffer(out, true) ? 1 : 0;
  });
  ::Sleep(100);  // let it reach its wait (not required for the outcome)
  EXPECT_EQ(-1, result.load());
  q.AbortPop();
  EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
  reader.join();
  EXPECT_EQ(0, result.load());
  // The flag stays: a later pop gives up at once even with a record queued.
  ASSERT_TRUE(Push(q, Pattern(3, 1)));
  Bytes_t out;
  EXPECT_FALSE(q.PopBuffer(out, true));
}

TEST(RecordQueueWaits, WaitingReaderGetsTheNextRecord) {
  CBuffer_Queue q(64, 0);
  std::atomic<int> result{-1};
  Bytes_t out;
  std::thread reader([&] { result = q.PopBuffer(out, true) ? 1 : 0; });
  ::Sleep(50);
  ASSERT_TRUE(Push(q, Pattern(7, 2)));
  EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
  if (result.load() == -1) q.AbortPop();
  reader.join();
  EXPECT_EQ(1, result.load());
  EXPECT_EQ(Pattern(7, 2), Bytes(out));
}

TEST(RecordQueueWaits, AbortPushWakesAWaitingWriter) {
  CBuffer_Queue q(16, 0);
  ASSERT_TRUE(Push(q, Pattern(13, 1)));  // full
  std::atomic<int> result{-1};
  std::thread writer([&] { result = Push(q, Pattern(5, 2), true) ? 1 : 0; });
  ::Sleep(100);
  EXPECT_EQ(-1, result.load());
  q.AbortPush();
  EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
  writer.join();
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(1, q.GetCount());
}

TEST(RecordQueueWaits, WaitingWriterGoesOnWhenAReaderMakesRoom) {
  CBuffer_Queue q(16, 0);
  ASSERT_TRUE(Push(q, Pattern(13, 1)));
  std::atomic<int> result{-1};
  std::thread writer([&] { result = Push(q, Pattern(5, 2), true) ? 1 : 0; });
  ::Sleep(50);
  Bytes_t out;
  ASSERT_TRUE(q.PopBuffer(out, false));
  EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
  if (result.load() == -1) q.AbortPush();
  writer.join();
  EXPECT_EQ(1, result.load());
  ASSERT_TRUE(q.PopBuffer(out, false));
  EXPECT_EQ(Pattern(5, 2), Bytes(out));
}

// Waits on `event` (under its mutex) until predicate holds; returns the last
// wait's code (0 woken, 2 timed out).
template <typename F>
int WaitFor(CCondition& event, F predicate) {
  CMutexLocker lock(*event.GetMutex());
  int code = 0;
  while (!predicate()) {
    code = event.WaitTimeout(10000);
    if (code != 0) break;
  }
  return code;
}

TEST(RecordQueueEvents, PushPopAndBecameEmptyAreBroadcast) {
  CBuffer_Queue q(256, 0);
  CCondition pushed, becameEmpty, popped;
  q.SetEvents(&pushed, &becameEmpty, &popped);

  std::atomic<int> pushWake{-1};
  std::thread pushWaiter([&] { pushWake = WaitFor(pushed, [&] { return q.GetCount() >= 2; }); });
  ::Sleep(50);
  ASSERT_TRUE(Push(q, Pattern(1, 1)));
  ASSERT_TRUE(Push(q, Pattern(1, 2)));
  pushWaiter.join();
  EXPECT_EQ(0, pushWake.load());

  std::atomic<int> emptyWake{-1}, popWake{-1};
  std::thread emptyWaiter([&] { emptyWake = WaitFor(becameEmpty, [&] { return q.GetCount() == 0; }); });
  std::thread popWaiter([&] { popWake = WaitFor(popped, [&] { return q.GetCount() <= 1; }); });
  ::Sleep(50);
  Bytes_t out;
  ASSERT_TRUE(q.PopBuffer(out, false));
  ASSERT_TRUE(q.PopBuffer(out, false));
  emptyWaiter.join();
  popWaiter.join();
  EXPECT_EQ(0, emptyWake.load());
  EXPECT_EQ(0, popWake.load());
  q.SetEvents(nullptr, nullptr, nullptr);
}

TEST(RecordQueueEvents, BecameEmptyIsNotBroadcastWhileRecordsRemain) {
  CBuffer_Queue q(256, 0);
  CCondition becameEmpty;
  q.SetEvents(nullptr, &becameEmpty, nullptr);
  ASSERT_TRUE(Push(q, Pattern(1, 1)));
  ASSERT_TRUE(Push(q, Pattern(1, 2)));
  CMutexLocker lock(*becameEmpty.GetMutex());
  Bytes_t out;
  std::thread popper([&] { q.PopBuffer(out, false); });
  EXPECT_EQ(CCondition::eCOND_TIMEOUT, becameEmpty.WaitTimeout(300));
  popper.join();
  q.SetEvents(nullptr, nullptr, nullptr);
}

// Two readers take one record at the same moment, many times over: exactly one
// of them gets it and the ring stays consistent.
TEST(RecordQueueRace, TwoReadersOneRecord) {
  CBuffer_Queue q(64, 0);
  std::atomic<int> generation{0};
  std::atomic<int> done{0};
  std::atomic<bool> quit{false};
  std::atomic<int> wins[2] = {{0}, {0}};
  auto reader = [&](int id) {
    int seen = 0;
    Bytes_t out;
    while (!quit.load()) {
      int g = generation.load();
      if (g == seen) continue;
      seen = g;
      if (q.PopBuffer(out, false)) {
        if (out.GetLength() != 5) wins[id] += 1000000;  // a stale length
        ++wins[id];
      }
      ++done;
    }
  };
  std::thread a(reader, 0), b(reader, 1);
  const int rounds = 2000;
  for (int i = 1; i <= rounds; ++i) {
    ASSERT_TRUE(Push(q, Pattern(5, i)));
    done = 0;
    generation = i;
    while (done.load() < 2) {
    }
    ASSERT_EQ(0, q.GetCount()) << "round " << i;
  }
  quit = true;
  a.join();
  b.join();
  EXPECT_EQ(rounds, wins[0].load() + wins[1].load());
  EXPECT_EQ(63, q.GetFreeSpace());
}

TEST(RecordQueueRace, TwoWaitingReadersOneRecord) {
  CBuffer_Queue q(64, 0);
  std::atomic<int> got{0}, finished{0};
  auto reader = [&] {
    Bytes_t out;
    if (q.PopBuffer(out, true)) ++got;
    ++finished;
  };
  std::thread a(reader), b(reader);
  ::Sleep(50);
  ASSERT_TRUE(Push(q, Pattern(9, 1)));
  EXPECT_TRUE(WaitUntil([&] { return got.load() == 1; }));
  ::Sleep(50);
  EXPECT_EQ(1, finished.load());
  q.AbortPop();
  a.join();
  b.join();
  EXPECT_EQ(1, got.load());
  EXPECT_EQ(0, q.GetCount());
}

TEST(RecordQueueStress, ProducerConsumerKeepsRecordsIntactAndInOrder) {
  CBuffer_Queue q(64, 64);  // small: both sides wait often
  const uint32_t records = 3000;
  std::atomic<bool> producerOk{true};
  std::thread producer([&] {
    std::mt19937 rng(7);
    for (uint32_t i = 0; i < records; ++i) {
      std::vector<unsigned char> r = Pattern(rng() % 60, i);
      if (!Push(q, r, true)) {
        producerOk = false;
        return;
      }
    }
  });
  std::mt19937 rng(7);
  Bytes_t out;
  uint32_t i = 0;
  for (; i < records; ++i) {
    ASSERT_TRUE(q.PopBuffer(out, true)) << i;
    ASSERT_EQ(Pattern(rng() % 60, i), Bytes(out)) << i;
  }
  producer.join();
  EXPECT_TRUE(producerOk.load());
  EXPECT_EQ(0, q.GetCount());
}

}  // namespace
