// Byte queue: exact fill, growth, all-or-nothing pops, wrapping, a model and a
// two-thread run with a counting byte pattern.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>

#include "test_common.h"
#include "tvlib/buffers/queue_base.h"

namespace {

typedef CBufferBase<unsigned char> Bytes_t;
typedef CQueueBase<unsigned char> ByteQueue;

bool Push(ByteQueue& q, const std::vector<unsigned char>& v, bool grow = false) {
  Bytes_t b(const_cast<unsigned char*>(v.data()), static_cast<uint32_t>(v.size()));
  return q.PushBuffer(b, grow, false);
}

bool Pop(ByteQueue& q, uint32_t n, std::vector<unsigned char>* got) {
  Bytes_t b(n);
  bool ok = q.PopBuffer(b, false);
  if (ok && got != nullptr) *got = Bytes(b);
  return ok;
}

TEST(ByteQueue, RingHoldsExactlyItsSizeThenGrowsByWhatIsMissing) {
  ByteQueue q(16384);
  ASSERT_TRUE(Push(q, Pattern(16384, 1)));
  EXPECT_EQ(16384, q.GetUsed());
  EXPECT_EQ(0u, q.GetFreeSpace());
  EXPECT_FALSE(Push(q, Pattern(100, 2)));
  ASSERT_TRUE(Push(q, Pattern(100, 2), true));
  EXPECT_EQ(16484u, q.GetSize());
  std::vector<unsigned char> got;
  ASSERT_TRUE(Pop(q, 16384, &got));
  EXPECT_EQ(Pattern(16384, 1), got);
  ASSERT_TRUE(Pop(q, 100, &got));
  EXPECT_EQ(Pattern(100, 2), got);
}

TEST(ByteQueue, PopOfMoreThanQueuedTakesNothing) {
  ByteQueue q(16384);
  ASSERT_TRUE(Push(q, Pattern(4095, 1)));
  EXPECT_FALSE(Pop(q, 4096, nullptr));
  EXPECT_EQ(4095, q.GetUsed());
  std::vector<unsigned char> got;
  ASSERT_TRUE(Pop(q, 4095, &got));
  EXPECT_EQ(Pattern(4095, 1), got);
}

TEST(ByteQueue, WrappedPopReturnsBytesInOrder) {
  ByteQueue q(16);
  ASSERT_TRUE(Push(q, Pattern(12, 1)));
  ASSERT_TRUE(Pop(q, 12, nullptr));  // read position 12
  std::vector<unsigned char> data = Pattern(10, 2);
  ASSERT_TRUE(Push(q, data));  // 12..15, then 0..5
  std::vector<unsigned char> got;
  ASSERT_TRUE(Pop(q, 10, &got));
  EXPECT_EQ(data, got);
  // The read position is now 6: a full ring's worth starts there.
  ASSERT_TRUE(Push(q, Pattern(16, 3)));
  ASSERT_TRUE(Pop(q, 16, &got));
  EXPECT_EQ(Pattern(16, 3), got);
}

TEST(ByteQueue, GrowthOfAFullOrWrappedRingKeepsTheOrder) {
  for (uint32_t start = 0; start <= 16; ++start) {
    for (uint32_t fill = 1; fill <= 16; ++fill) {
      for (uint32_t k : {1u, 3u, 15u, 16u, 40u}) {
        ByteQueue q(16);
        if (start > 0) {
          ASSERT_TRUE(Push(q, Pattern(start, 9)));
          ASSERT_TRUE(Pop(q, start, nullptr));
        }
        std::vector<unsigned char> data = Pattern(fill, start + fill);
        ASSERT_TRUE(Push(q, data));
        ASSERT_TRUE(q.IncreaseSize(k));
        std::vector<unsigned char> more = Pattern(k, 5);
        ASSERT_TRUE(Push(q, more)) << start << " " << fill << " " << k;
        std::vector<unsigned char> got;
        ASSERT_TRUE(Pop(q, fill + k, &got));
        data.insert(data.end(), more.begin(), more.end());
        ASSERT_EQ(data, got) << start << " " << fill << " " << k;
      }
    }
  }
}

TEST(ByteQueue, ZeroLengthAndOversizedRequestsAreRefusedWithMessages) {
  LogCapture log;
  ByteQueue q(16);
  EXPECT_FALSE(Push(q, {}));
  EXPECT_TRUE(log.Has("CQueueBase<T>::PushBuffer of size 0 ?"));
  Bytes_t empty;
  EXPECT_FALSE(q.PopBuffer(empty, false));
  EXPECT_TRUE(log.Has("CQueueBase<T>::PopBuffer of size 0 ?"));

  ByteQueue limited(16, 32);
  EXPECT_FALSE(Push(limited, Pattern(33, 1), true));
  EXPECT_TRUE(log.Has("CQueueBase<T>::PushBuffer of size 33 exceed queue max size 32"));
  EXPECT_FALSE(Pop(limited, 40, nullptr));
  EXPECT_TRUE(log.Has("CQueueBase<T>::PopBuffer of size 40 exceed queue max size 32"));
  ASSERT_TRUE(Push(limited, Pattern(20, 1), true));
  EXPECT_FALSE(Push(limited, Pattern(20, 2), true));  // grows to 32, still short
  EXPECT_EQ(32u, limited.GetSize());
  EXPECT_FALSE(limited.IncreaseSize(1));
  EXPECT_TRUE(log.Has("CQueueBase<T>::IncreaseSize would go over authorized"));
}

TEST(ByteQueue, PopIntoASizedBufferDoesNotReallocate) {
  ByteQueue q(64);
  Bytes_t period(16);
  unsigned char* memory = period.GetData();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(Push(q, Pattern(16, i)));
    ASSERT_TRUE(q.PopBuffer(period, false));
    ASSERT_EQ(memory, period.GetData());
    ASSERT_EQ(Pattern(16, i), Bytes(period));
  }
}

TEST(ByteQueue, AbortPopWakesAWaitingReader) {
  ByteQueue q(64);
  std::atomic<int> result{-1};
  std::thread reader([&] {
    Bytes_t b(8);
    result = q.PopBuffer(b, true) ? 1 : 0;
  });
  ASSERT_TRUE(Push(q, Pattern(4, 1)));  // not enough for the reader
  ::Sleep(50);
  EXPECT_EQ(-1, result.load());
  q.AbortPop();
  EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
  reader.join();
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(4, q.GetUsed());
}

TEST(ByteQueue, TwoReadersRacingTakeOnePeriodOnce) {
  ByteQueue q(64);
  std::atomic<int> got{0}, finished{0};
  auto reader = [&] {
    Bytes_t b(8);
    if (q.PopBuffer(b, true)) ++got;
    ++finished;
  };
  std::thread a(reader), b(reader);
  ::Sleep(50);
  ASSERT_TRUE(Push(q, Pattern(8, 1)));
  EXPECT_TRUE(WaitUntil([&] { return got.load() == 1; }));
  ::Sleep(50);
  EXPECT_EQ(1, finished.load());
  q.AbortPop();
  a.join();
  b.join();
  EXPECT_EQ(1, got.load());
  EXPECT_EQ(0, q.GetUsed());
}

void RunByteModel(uint32_t initialSize, uint32_t seed) {
  std::mt19937 rng(seed);
  ByteQueue q(initialSize);
  std::deque<unsigned char> model;
  int64_t size = initialSize;
  unsigned char next = 0;
  for (int step = 0; step < 4000; ++step) {
    if (rng() % 2 == 0) {
      uint32_t n = 1 + rng() % 40;
      bool grow = rng() % 3 == 0;
      std::vector<unsigned char> data(n);
      for (auto& c : data) c = next++;
      bool expected = static_cast<int64_t>(model.size()) + n <= size || grow;
      if (grow && static_cast<int64_t>(model.size()) + n > size) size = model.size() + n;
      ASSERT_EQ(expected, Push(q, data, grow)) << step;
      if (expected) model.insert(model.end(), data.begin(), data.end());
    } else {
      uint32_t n = 1 + rng() % 40;
      std::vector<unsigned char> got;
      bool expected = model.size() >= n;
      ASSERT_EQ(expected, Pop(q, n, &got)) << step;
      if (expected) {
        ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin())) << step;
        model.erase(model.begin(), model.begin() + n);
      }
    }
    ASSERT_EQ(static_cast<int32_t>(model.size()), q.GetUsed()) << step;
    ASSERT_EQ(size, q.GetSize()) << step;
  }
}

TEST(ByteQueueModel, SmallRing) { RunByteModel(16, 11); }
TEST(ByteQueueModel, StartsWithoutMemory) { RunByteModel(0, 12); }
TEST(ByteQueueModel, LargerRing) { RunByteModel(100, 13); }

TEST(ByteQueueStress, CountingPatternSurvivesProducerAndConsumer) {
  ByteQueue q(16384);
  std::atomic<bool> stop{false};
  std::atomic<bool> producerOk{true};
  std::thread producer([&] {
    std::mt19937 rng(3);
    unsigned char counter = 0;
    Bytes_t chunk(5000);
    while (!stop.load()) {
      if (q.PeekUsed() > 65536) {
        ::Sleep(1);
        continue;
      }
      uint32_t n = 1 + rng() % 5000;
      chunk.SetLength(n);
      for (uint32_t i = 0; i < n; ++i) chunk[i] = counter++;
      if (!q.PushBuffer(chunk, true, false)) {
        producerOk = false;
        return;
      }
    }
  });
  Bytes_t period(4096);
  unsigned char expected = 0;
  uint64_t periods = 0;
  uint64_t start = ::GetTickCount64();
  bool intact = true;
  while (::GetTickCount64() - start < 2000 && intact) {
    if (!q.PopBuffer(period, false)) {
      ::Sleep(0);
      continue;
    }
    for (uint32_t i = 0; i < 4096; ++i) {
      if (period[i] != expected++) {
        intact = false;
        break;
      }
    }
    ++periods;
  }
  stop = true;
  producer.join();
  EXPECT_TRUE(intact) << "after " << periods << " periods";
  EXPECT_TRUE(producerOk.load());
  EXPECT_GT(periods, 0u);
}

}  // namespace
