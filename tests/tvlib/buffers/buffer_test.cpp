// Growable buffer: owned and attached memory, copying and pointer arrays.
#include <gtest/gtest.h>

#include <cstring>

#include "test_common.h"
#include "tvlib/buffers/buffer.h"

namespace {

typedef CBufferBase<unsigned char> Bytes_t;

TEST(BufferBytes, OwnedConstructionCountsTheElements) {
  Bytes_t b(16);
  EXPECT_EQ(16u, b.GetLength());
  EXPECT_EQ(16u, b.GetAllocated());
  EXPECT_TRUE(b.IsOwned());
  Bytes_t empty;
  EXPECT_EQ(nullptr, empty.GetData());
  EXPECT_EQ(0u, empty.GetAllocated());
}

TEST(BufferBytes, AppendTextLeavesTheTerminatorOut) {
  Bytes_t b;
  ASSERT_TRUE(b.Append("0123456789", -1));
  EXPECT_EQ(10u, b.GetLength());
  EXPECT_EQ(0, std::memcmp(b.GetData(), "0123456789", 10));
  EXPECT_TRUE(b.Append("", -1));
  EXPECT_TRUE(b.Append("xyz", 0));
  EXPECT_TRUE(b.Append("xyz", -2));
  EXPECT_EQ(10u, b.GetLength());
  ASSERT_TRUE(b.Append("ab", 2));
  EXPECT_EQ(0, std::memcmp(b.GetData(), "0123456789ab", 12));
}

TEST(BufferBytes, AttachedBufferFillsInPlaceThenRefusesToGrow) {
  LogCapture log;
  unsigned char memory[16];
  std::memcpy(memory, "ABCDEFGHIJ", 10);
  Bytes_t b(memory, 10, 16);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(b.Append("k", 1)) << i;
  EXPECT_EQ(memory, b.GetData());
  EXPECT_EQ(16u, b.GetLength());
  EXPECT_FALSE(b.Append("!", 1));
  EXPECT_EQ(16u, b.GetLength());
  EXPECT_EQ(0, std::memcmp(memory, "ABCDEFGHIJkkkkkk", 16));
  EXPECT_TRUE(log.Has("CBufferBase<T>::Realloc called with attached buffer"));
}

TEST(BufferBytes, ReallocNeverShrinksNorChangesTheLength) {
  Bytes_t b(8);
  ASSERT_TRUE(b.Realloc(32));
  EXPECT_EQ(32u, b.GetAllocated());
  EXPECT_EQ(8u, b.GetLength());
  ASSERT_TRUE(b.Realloc(4));
  EXPECT_EQ(32u, b.GetAllocated());
}

TEST(BufferBytes, ResizeOfTooSmallAttachedBufferTakesFreshOwnedMemory) {
  unsigned char memory[8];
  std::memset(memory, 0x5A, sizeof(memory));
  Bytes_t b(memory, 8);
  ASSERT_TRUE(b.Resize(4));
  EXPECT_EQ(memory, b.GetData());
  EXPECT_FALSE(b.IsOwned());
  ASSERT_TRUE(b.Resize(16));
  EXPECT_TRUE(b.IsOwned());
  EXPECT_NE(memory, b.GetData());
  EXPECT_EQ(16u, b.GetLength());
  std::memset(b.GetData(), 0, 16);
  // The caller's memory is neither freed nor written.
  for (unsigned char c : memory) EXPECT_EQ(0x5A, c);
}

TEST(BufferBytes, CopyFromChecksTheSourceRange) {
  LogCapture log;
  Bytes_t src;
  src.Append("abcdef", -1);
  Bytes_t dst;
  EXPECT_FALSE(dst.CopyFrom(src, 6, 0, 0));
  EXPECT_TRUE(log.Has("CBufferBase<T>::CopyFrom bad source offset"));
  EXPECT_FALSE(dst.CopyFrom(src, 4, 3, 0));
  EXPECT_TRUE(log.Has("CBufferBase<T>::CopyFrom bad source size"));
  EXPECT_EQ(0u, dst.GetLength());

  Bytes_t emptySource;
  EXPECT_TRUE(dst.CopyFrom(emptySource, 0, 0, 0));
  ASSERT_TRUE(dst.CopyFrom(src, 2, 0, 0));
  EXPECT_EQ(std::vector<unsigned char>({'c', 'd', 'e', 'f'}), Bytes(dst));
}

TEST(BufferBytes, CopyFromBeyondTheLengthCountsTheGapAndNeverShrinks) {
  Bytes_t src;
  src.Append("xy", -1);
  Bytes_t dst;
  dst.Append("0123", -1);
  ASSERT_TRUE(dst.CopyFrom(src, 0, 2, 6));
  EXPECT_EQ(8u, dst.GetLength());
  EXPECT_EQ('x', dst[6]);
  EXPECT_EQ('y', dst[7]);
  ASSERT_TRUE(dst.CopyFrom(src, 0, 2, 0));
  EXPECT_EQ(8u, dst.GetLength());
  EXPECT_EQ(0, std::memcmp(dst.GetData(), "xy23", 4));
}

TEST(BufferBytes, CopyFromWithinOneBufferOverlapsBothWays) {
  Bytes_t b;
  b.Append("0123456789", -1);
  ASSERT_TRUE(b.CopyFrom(b, 0, 6, 2));  // forward overlap
  EXPECT_EQ(0, std::memcmp(b.GetData(), "0101234589", 10));
  ASSERT_TRUE(b.CopyFrom(b, 4, 6, 1));  // backward overlap
  EXPECT_EQ(0, std::memcmp(b.GetData(), "0234589589", 10));
  // Growing while copying within itself reads the moved memory.
  ASSERT_TRUE(b.CopyFrom(b, 0, 10, 1000));
  EXPECT_EQ(1010u, b.GetLength());
  EXPECT_EQ(0, std::memcmp(b.GetData() + 1000, "0234589589", 10));
}

TEST(BufferBytes, CopyIntoTooSmallAttachedBufferFails) {
  LogCapture log;
  unsigned char memory[4] = {0, 0, 0, 0};
  Bytes_t dst(memory, 0, 4);
  Bytes_t src;
  src.Append("abcdef", -1);
  EXPECT_FALSE(dst.CopyFrom(src, 0, 6, 0));
  EXPECT_EQ(0u, dst.GetLength());
  EXPECT_TRUE(log.Has("CBufferBase<T>::CopyFrom to a too small attached buffer"));
  ASSERT_TRUE(dst.CopyFrom(src, 0, 4, 0));
  EXPECT_EQ(0, std::memcmp(memory, "abcd", 4));
}

struct Counted {
  explicit Counted(int* deaths) : deaths_(deaths) {}
  virtual ~Counted() { ++*deaths_; }
  int* deaths_;
};

TEST(BufferPointers, AppendGrowsTheAllocationByExactlyOne) {
  CBufferBase<Counted*> list;
  int deaths = 0;
  for (uint32_t i = 1; i <= 5; ++i) {
    ASSERT_TRUE(list.Append(new Counted(&deaths)));
    EXPECT_EQ(i, list.GetLength());
    EXPECT_EQ(i, list.GetAllocated());
  }
  list.DeleteAll();
}

TEST(BufferPointers, RemoveAtTheLengthFailsAndRemovingTheLastOnlyShortens) {
  LogCapture log;
  int a, b, c;
  CBufferBase<int*> list;
  list.Append(&a);
  list.Append(&b);
  list.Append(&c);
  EXPECT_FALSE(list.RemoveAt(3));
  EXPECT_TRUE(log.Has("CBufferBase<T>::RemoveAt bad index"));
  ASSERT_TRUE(list.RemoveAt(2));
  EXPECT_EQ(2u, list.GetLength());
  EXPECT_EQ(3u, list.GetAllocated());
  ASSERT_TRUE(list.RemoveAt(0));
  ASSERT_EQ(1u, list.GetLength());
  EXPECT_EQ(&b, list[0]);
}

TEST(BufferPointers, RemoveTakesTheFirstEqualElementOnly) {
  int a, b;
  CBufferBase<int*> list;
  list.Append(&a);
  list.Append(&b);
  list.Append(&a);
  list.Remove(&a);
  ASSERT_EQ(2u, list.GetLength());
  EXPECT_EQ(&b, list[0]);
  EXPECT_EQ(&a, list[1]);
  int other;
  list.Remove(&other);
  EXPECT_EQ(2u, list.GetLength());
}

TEST(BufferPointers, DeleteAllDestroysEachOnceAndLeavesASafeBuffer) {
  int deaths = 0;
  {
    CBufferBase<Counted*> list;
    list.Append(new Counted(&deaths));
    list.Append(nullptr);
    list.Append(new Counted(&deaths));
    list.DeleteAll();
    EXPECT_EQ(2, deaths);
    EXPECT_EQ(0u, list.GetLength());
    EXPECT_EQ(nullptr, list.GetData());
    // A second DeleteAll (or the destructor) must not touch freed memory.
    list.DeleteAll();
  }
  EXPECT_EQ(2, deaths);
}

}  // namespace
