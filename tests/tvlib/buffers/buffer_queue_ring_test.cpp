// Record queue, one thread: record layout across the ring's end, growth,
// limits, and a model-based comparison with std::deque.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "test_common.h"
#include "tvlib/buffers/buffer_queue.h"

namespace {

typedef CBufferBase<unsigned char> Bytes_t;

bool Push(CBuffer_Queue& q, const std::vector<unsigned char>& v, bool grow = false) {
  return q.PushBuffer(v.data(), static_cast<uint32_t>(v.size()), grow, false);
}

std::vector<unsigned char> Pop(CBuffer_Queue& q) {
  Bytes_t out;
  EXPECT_TRUE(q.PopBuffer(out, false));
  return Bytes(out);
}

// Moves both positions of a fresh, empty queue to `offset` (2 <= offset < size).
void Park(CBuffer_Queue& q, uint32_t offset) {
  ASSERT_GE(offset, 2u);
  ASSERT_TRUE(Push(q, Pattern(offset - 2, 99)));
  Pop(q);
}

TEST(RecordQueueRing, SixteenBytesHoldFifteen) {
  CBuffer_Queue q(16, 0);
  EXPECT_EQ(15, q.GetFreeSpace());
  ASSERT_TRUE(Push(q, Pattern(13, 1)));
  EXPECT_EQ(0, q.GetFreeSpace());
  EXPECT_FALSE(Push(q, {}));
  EXPECT_EQ(1, q.GetCount());
  EXPECT_EQ(Pattern(13, 1), Pop(q));
  EXPECT_EQ(0, q.GetCount());
}

TEST(RecordQueueRing, LengthSplitAcrossTheEnd) {
  CBuffer_Queue q(16, 0);
  Park(q, 15);  // one byte before the end: low byte last, high byte first
  std::vector<unsigned char> record = Pattern(9, 2);
  ASSERT_TRUE(Push(q, record));
  EXPECT_EQ(16 - 11 - 1, q.GetFreeSpace());
  EXPECT_EQ(record, Pop(q));
  EXPECT_EQ(15, q.GetFreeSpace());
}

TEST(RecordQueueRing, LengthWithAHighByteSplitAcrossTheEnd) {
  // A length above 255 makes a swapped or lost high byte visible.
  CBuffer_Queue q(400, 0);
  Park(q, 399);
  std::vector<unsigned char> record = Pattern(300, 3);
  ASSERT_TRUE(Push(q, record));
  EXPECT_EQ(record, Pop(q));
}

TEST(RecordQueueRing, RecordEndingExactlyAtTheEnd) {
  CBuffer_Queue q(16, 0);
  Park(q, 5);
  ASSERT_TRUE(Push(q, Pattern(9, 4)));  // bytes 5..15: write position at the end
  EXPECT_EQ(4, q.GetFreeSpace());
  ASSERT_TRUE(Push(q, Pattern(2, 5)));  // length at offsets 0-1
  EXPECT_EQ(0, q.GetFreeSpace());
  EXPECT_EQ(Pattern(9, 4), Pop(q));  // reader stops at the end
  EXPECT_EQ(Pattern(2, 5), Pop(q));  // and continues at offset 0
  EXPECT_EQ(15, q.GetFreeSpace());
}

TEST(RecordQueueRing, DataStartingExactlyAtTheEnd) {
  CBuffer_Queue q(16, 0);
  Park(q, 12);
  ASSERT_TRUE(Push(q, Pattern(2, 6)));  // length at 12-13, data 14-15
  ASSERT_TRUE(Push(q, Pattern(0, 7)));  // empty record, length at 0-1
  Pop(q);
  ASSERT_TRUE(Push(q, Pattern(5, 8)));  // length 2-3, data 4-8
  EXPECT_EQ(Pattern(0, 7), Pop(q));
  EXPECT_EQ(Pattern(5, 8), Pop(q));

  CBuffer_Queue fresh(16, 0);
  Park(fresh, 14);
  ASSERT_TRUE(Push(fresh, Pattern(6, 9)));  // length fills 14-15, data from 0
  EXPECT_EQ(Pattern(6, 9), Pop(fresh));
}

TEST(RecordQueueRing, GrowthWhileWrappedKeepsTheOrder) {
  for (uint32_t parkAt = 10; parkAt <= 15; ++parkAt) {
    for (uint32_t k = 1; k <= 12; ++k) {
      CBuffer_Queue q(16, 0);
      Park(q, parkAt);
      std::vector<std::vector<unsigned char>> pushed;
      // Fill across the end until nothing more fits.
      for (uint32_t i = 0; Push(q, Pattern(i % 3, 20 + i)); ++i) pushed.push_back(Pattern(i % 3, 20 + i));
      ASSERT_GE(pushed.size(), 2u);
      int32_t freeBefore = q.GetFreeSpace();
      ASSERT_TRUE(q.IncreaseSize(k)) << parkAt << " " << k;
      EXPECT_EQ(16 + k, q.GetSize());
      EXPECT_EQ(freeBefore + static_cast<int32_t>(k), q.GetFreeSpace()) << parkAt << " " << k;
      std::vector<unsigned char> extra = Pattern(k >= 2 ? k - 2 : 0, 77);
      if (k >= 2) {
        ASSERT_TRUE(Push(q, extra));
        pushed.push_back(extra);
      }
      for (auto& expected : pushed) ASSERT_EQ(expected, Pop(q)) << parkAt << " " << k;
      EXPECT_EQ(0, q.GetCount());
    }
  }
}

TEST(RecordQueueRing, GrowthWithTheReaderOneByteBeforeTheEnd) {
  CBuffer_Queue q(16, 0);
  Park(q, 15);
  ASSERT_TRUE(Push(q, Pattern(5, 30)));  // length split: 15 and 0, data 1-5
  ASSERT_TRUE(Push(q, Pattern(3, 31)));
  ASSERT_TRUE(q.IncreaseSize(1));
  ASSERT_TRUE(q.IncreaseSize(0));
  EXPECT_EQ(Pattern(5, 30), Pop(q));
  EXPECT_EQ(Pattern(3, 31), Pop(q));
}

TEST(RecordQueueRing, PushWithGrowEnlargesByWhatIsMissing) {
  CBuffer_Queue q(16, 0);
  ASSERT_TRUE(Push(q, Pattern(10, 1)));  // 12 used, 3 free
  ASSERT_TRUE(Push(q, Pattern(8, 2), true));
  EXPECT_EQ(16u + 10 - 3, q.GetSize());
  EXPECT_EQ(0, q.GetFreeSpace());
  EXPECT_EQ(Pattern(10, 1), Pop(q));
  EXPECT_EQ(Pattern(8, 2), Pop(q));
}

TEST(RecordQueueRing, EmptyRingGrowsOnFirstPush) {
  CBuffer_Queue q(0u, 0u);
  EXPECT_EQ(0u, q.GetSize());
  EXPECT_EQ(-1, q.GetFreeSpace());
  EXPECT_FALSE(Push(q, Pattern(4, 1)));
  ASSERT_TRUE(Push(q, Pattern(4, 1), true));
  EXPECT_EQ(7u, q.GetSize());
  EXPECT_EQ(Pattern(4, 1), Pop(q));
}

TEST(RecordQueueRing, FullRingAtItsMaximumRefusesWithoutWaiting) {
  CBuffer_Queue q(65536, 65536);
  std::vector<unsigned char> big = Pattern(65531, 1);
  ASSERT_TRUE(Push(q, big, true));
  EXPECT_EQ(2, q.GetFreeSpace());
  EXPECT_FALSE(Push(q, Pattern(1, 2), true));
  EXPECT_EQ(65536u, q.GetSize());
  EXPECT_EQ(1, q.GetCount());
  EXPECT_EQ(big, Pop(q));
}

TEST(RecordQueueRing, GrowthStopsAtTheMaximum) {
  CBuffer_Queue q(16, 40);
  ASSERT_TRUE(Push(q, Pattern(20, 1), true));
  EXPECT_EQ(23u, q.GetSize());
  EXPECT_EQ(40 - 22 - 1, q.GetFreeSpaceToMax());
  EXPECT_FALSE(Push(q, Pattern(20, 2), true));  // would need 45 bytes
  EXPECT_EQ(40u, q.GetSize());
  ASSERT_TRUE(Push(q, Pattern(15, 3), true));
  EXPECT_EQ(0, q.GetFreeSpace());
  EXPECT_EQ(Pattern(20, 1), Pop(q));
  EXPECT_EQ(Pattern(15, 3), Pop(q));
  CBuffer_Queue unlimited(16, 0);
  EXPECT_EQ(-1, unlimited.GetFreeSpaceToMax());
}

TEST(RecordQueueRing, RecordThatCanNeverFitIsRefusedAtOnce) {
  // maximum - 2 bytes need the whole ring, which keeps one byte free.
  CBuffer_Queue q(16, 16);
  EXPECT_FALSE(q.PushBuffer(Pattern(14, 1).data(), 14, true, true));
  ASSERT_TRUE(q.PushBuffer(Pattern(13, 1).data(), 13, true, true));
}

TEST(RecordQueueRing, RecordsBeyondSixteenBitsAreRefused) {
  LogCapture log;
  CBuffer_Queue q(16, 0);
  std::vector<unsigned char> huge = Pattern(65536, 1);
  EXPECT_FALSE(Push(q, huge, true));
  EXPECT_EQ(0, q.GetCount());
  EXPECT_TRUE(log.Has("CBuffer_Queue::PushBuffer record too long (65536)"));
  std::vector<unsigned char> largest = Pattern(65535, 2);
  ASSERT_TRUE(Push(q, largest, true));
  ASSERT_TRUE(Push(q, Pattern(3, 3), true));
  EXPECT_EQ(largest, Pop(q));
  EXPECT_EQ(Pattern(3, 3), Pop(q));
}

TEST(RecordQueueRing, PopIntoTooSmallAttachedBufferTakesOwnedMemory) {
  CBuffer_Queue q(64, 0);
  ASSERT_TRUE(Push(q, Pattern(20, 1)));
  ASSERT_TRUE(Push(q, Pattern(4, 2)));
  unsigned char memory[8];
  Bytes_t out(memory, 0, sizeof(memory));
  ASSERT_TRUE(q.PopBuffer(out, false));
  EXPECT_TRUE(out.IsOwned());
  EXPECT_EQ(Pattern(20, 1), Bytes(out));
  Bytes_t small(memory, 0, sizeof(memory));
  ASSERT_TRUE(q.PopBuffer(small, false));
  EXPECT_EQ(memory, small.GetData());
  EXPECT_EQ(Pattern(4, 2), Bytes(small));
}

TEST(RecordQueueRing, SetMaxAllocRules) {
  LogCapture log;
  CBuffer_Queue q(32, 0);
  EXPECT_TRUE(q.SetMaxAlloc(64));
  EXPECT_EQ(64u, q.GetMaxAlloc());
  ASSERT_TRUE(Push(q, Pattern(4, 1)));
  EXPECT_FALSE(q.SetMaxAlloc(16));  // records queued: maximum := size
  EXPECT_EQ(32u, q.GetMaxAlloc());
  EXPECT_EQ(32u, q.GetSize());
  EXPECT_TRUE(log.Has("CBuffer_Queue::SetMaxAlloc failed not empty"));
  Pop(q);
  EXPECT_TRUE(q.SetMaxAlloc(16));  // empty: shrinks
  EXPECT_EQ(16u, q.GetSize());
  EXPECT_EQ(15, q.GetFreeSpace());
  EXPECT_TRUE(q.SetMaxAlloc(0));  // no maximum: may grow again
  EXPECT_EQ(16u, q.GetSize());
  ASSERT_TRUE(Push(q, Pattern(40, 2), true));
  EXPECT_EQ(Pattern(40, 2), Pop(q));
  EXPECT_TRUE(q.IncreaseSize(0));
  q.SetMaxAlloc(50);
  EXPECT_FALSE(q.IncreaseSize(100));
  EXPECT_TRUE(log.Has("CBuffer_Queue::IncreaseSize would go over authorized"));
}

TEST(RecordQueueRing, AttachedRingNeverGrows) {
  LogCapture log;
  unsigned char memory[32];
  CBuffer_Queue q(memory, sizeof(memory));
  EXPECT_EQ(32u, q.GetMaxAlloc());
  ASSERT_TRUE(Push(q, Pattern(29, 1)));
  EXPECT_FALSE(Push(q, Pattern(1, 2), true));
  EXPECT_EQ(Pattern(29, 1), Pop(q));
  CBuffer_Queue none(nullptr, 0);
  EXPECT_EQ(0u, none.GetSize());
}

TEST(RecordQueueRing, ClearEmptiesAndResetsTheAbortFlags) {
  CBuffer_Queue q(32, 0);
  ASSERT_TRUE(Push(q, Pattern(5, 1)));
  q.AbortPop();
  q.AbortPush();
  Bytes_t out;
  EXPECT_FALSE(q.PopBuffer(out, false));
  EXPECT_FALSE(Push(q, Pattern(1, 1)));
  q.Clear();
  EXPECT_EQ(0, q.GetCount());
  EXPECT_EQ(31, q.GetFreeSpace());
  ASSERT_TRUE(Push(q, Pattern(3, 2)));
  EXPECT_EQ(Pattern(3, 2), Pop(q));
}

// The queue against a model: records in a deque, the ring's size and the
// bytes in use (record + 2 each) predicted from the growth rules.
void RunModel(uint32_t initialSize, uint32_t maximum, uint32_t seed) {
  std::mt19937 rng(seed);
  CBuffer_Queue q(initialSize, maximum);
  std::deque<std::vector<unsigned char>> model;
  int64_t size = initialSize;
  int64_t used = 0;
  Bytes_t out;
  unsigned char attachedMemory[24];
  for (uint32_t step = 0; step < 4000; ++step) {
    uint32_t op = rng() % 10;
    if (op < 6) {
      uint32_t n = rng() % 8 == 0 ? rng() % 200 : rng() % 20;
      bool grow = rng() % 2 == 0;
      std::vector<unsigned char> record = Pattern(n, step);
      int64_t need = n + 2;
      int64_t freeBytes = size - used - 1;
      bool expected;
      if (maximum != 0 && need > static_cast<int64_t>(maximum) - 1) {
        expected = false;
      } else if (freeBytes >= need) {
        expected = true;
      } else if (!grow) {
        expected = false;
      } else if (maximum != 0 && used + need + 1 > maximum) {
        size = maximum > size ? maximum : size;
        expected = size - used - 1 >= need;
      } else {
        size = used + need + 1;
        expected = true;
      }
      ASSERT_EQ(expected, Push(q, record, grow)) << "step " << step;
      if (expected) {
        model.push_back(record);
        used += need;
      }
    } else {
      bool got;
      if (op == 9) {
        Bytes_t attached(attachedMemory, 0, sizeof(attachedMemory));
        got = q.PopBuffer(attached, false);
        if (got) {
          ASSERT_FALSE(model.empty());
          ASSERT_EQ(model.front(), Bytes(attached)) << "step " << step;
        }
      } else {
        got = q.PopBuffer(out, false);
        if (got) {
          ASSERT_FALSE(model.empty());
          ASSERT_EQ(model.front(), Bytes(out)) << "step " << step;
        }
      }
      ASSERT_EQ(!model.empty(), got) << "step " << step;
      if (got) {
        used -= model.front().size() + 2;
        model.pop_front();
      }
    }
    ASSERT_EQ(static_cast<LONG>(model.size()), q.GetCount()) << "step " << step;
    ASSERT_EQ(size, q.GetSize()) << "step " << step;
    ASSERT_EQ(size - used - 1, q.GetFreeSpace()) << "step " << step;
  }
}

TEST(RecordQueueModel, UnlimitedRing) { RunModel(16, 0, 1); }
TEST(RecordQueueModel, StartsWithoutMemory) { RunModel(0, 0, 2); }
TEST(RecordQueueModel, LimitedRing) { RunModel(8, 300, 3); }
TEST(RecordQueueModel, SmallLimitedRing) { RunModel(16, 40, 4); }

}  // namespace
