// The board's shared memory block: its header rules and its creation by the
// board, as client programs see them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "service/BoardBlock.h"
#include "channel_owner.h"
#include "support/log_capture.h"

namespace {

TEST(BoardBlock, LatencyModesAndWords) {
  struct {
    int32_t mode;
    uint32_t frames;
    uint16_t word;
  } const table[] = {{0, 512, 3584},   {1, 2560, 7680},   {2, 5120, 12800},
                     {5, 5120, 12800}, {-1, 5120, 12800}, {7, 5120, 12800}};
  for (const auto& t : table) {
    EXPECT_EQ(t.frames, LatencyModeToFrames(t.mode)) << t.mode;
    EXPECT_EQ(t.word, LatencyWord(LatencyModeToFrames(t.mode))) << t.mode;
  }
}

TEST(BoardBlock, HeartbeatWords) {
  // counter before the turn, latency word before, latency word and heartbeat after, counter after
  struct {
    uint32_t count;
    uint16_t wordIn, wordOut, heartbeat;
    uint32_t countOut;
  } const turns[] = {
      {0, 0, 3584, 0x5501, 1},        {1, 3584, 3585, 0x5502, 2},     {2, 3585, 3584, 0x5503, 3},
      {3, 3584, 3585, 0x5504, 4},     {4, 3585, 3584, 0x5505, 5},     {5, 3584, 3584, 0x5506, 6},
      {6, 3584, 3584, 0x5507, 7},     {300, 3584, 3585, 0x552D, 301}, {301, 3585, 3584, 0x552E, 302},
      {304, 3584, 3585, 0x5531, 305}, {305, 3584, 3584, 0x5532, 306}, {65534, 3584, 3584, 0x55FF, 65535},
      {65535, 3584, 3584, 0x5500, 0}, {5, 7, 3584, 0x5506, 6},  // a scribbled word is rewritten
  };
  for (const auto& t : turns) {
    const HeartbeatWords w = HeartbeatStep(t.wordIn, 512, t.count);
    EXPECT_EQ(t.wordOut, w.latencyWord) << t.count;
    EXPECT_EQ(t.heartbeat, w.heartbeatWord) << t.count;
    EXPECT_EQ(t.countOut, w.count) << t.count;
  }

  // On a block, from its creation: wanted, +1, wanted, +1, wanted, then steady.
  std::vector<uint8_t> block(kBoardBlockSize, 0);
  uint32_t count = 0;
  const uint16_t seen[] = {7680, 7681, 7680, 7681, 7680, 7680, 7680};
  for (uint16_t expected : seen) {
    WriteHeartbeat(block.data(), 2560, &count);
    EXPECT_EQ(expected, LoadU16(&block[16]));
  }
  EXPECT_EQ(0x5507, LoadU16(&block[18]));
}

TEST(BoardBlock, InitialisationZeroesAllButTheVersion) {
  std::vector<uint8_t> block(kBoardBlockSize, 0xFF);
  InitBoardBlock(block.data());
  std::vector<uint8_t> expected(kBoardBlockSize, 0);
  std::memcpy(&expected[4], "1.0.14", 6);
  EXPECT_TRUE(block == expected);
}

TEST(BoardBlock, BoardCreatesTheBlockThatClientsOpen) {
  channeltest::OwnerOptions options;
  options.createBlock = false;
  channeltest::ChannelOwner owner(options);
  ASSERT_TRUE(owner.WorldOk());

  // A client that holds the block from an earlier run: its bytes go.
  CSharedMemoryBuffer early(owner.BlockName().c_str(), 7, kBoardBlockSize);
  ASSERT_TRUE(early.IsOk());
  std::memset(early.GetData(), 0xFF, kBoardBlockSize);

  ASSERT_TRUE(CWatermarkBoardTestAccess::CreateBlock(owner.Board()));
  uint32_t size = 0;
  std::string name;
  ASSERT_TRUE(owner.Board().GetBlockInfo(size, name));
  EXPECT_EQ(owner.BlockName(), name);

  const uint8_t* client = owner.Block();
  ASSERT_NE(nullptr, client);
  EXPECT_STREQ("1.0.14", reinterpret_cast<const char*>(client + 4));
  EXPECT_EQ(0u, LoadU32(client));
  EXPECT_EQ(0u, LoadU32(client + 0x4000));
  EXPECT_EQ(0u, LoadU32(client + 0x43FC));
}

TEST(BoardBlock, SquattedNameLeavesTheBoardWithoutABlock) {
  LogCapture log;
  channeltest::OwnerOptions options;
  options.createBlock = false;
  channeltest::ChannelOwner owner(options);
  ASSERT_TRUE(owner.WorldOk());
  CSharedMemoryBuffer squatter(owner.BlockName().c_str(), 7, 1024);
  ASSERT_TRUE(squatter.IsOk());

  EXPECT_FALSE(CWatermarkBoardTestAccess::CreateBlock(owner.Board()));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::Create MapViewOfFile FAILED (5)"));
  EXPECT_TRUE(log.Has("Can not create shared memory " + owner.BlockName()));
  EXPECT_EQ(nullptr, owner.Block());
  uint32_t size = 0;
  std::string name;
  EXPECT_FALSE(owner.Board().GetBlockInfo(size, name));
}

TEST(BoardBlock, BoardDeletesABlockItStillHolds) {
  channeltest::ChannelOwner owner;
  ASSERT_TRUE(owner.WorldOk());
  ASSERT_NE(nullptr, owner.Block());
  const std::string object = "Global\\TARVEL_" + owner.BlockName();
  owner.DeleteBoard();
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, object.c_str());
  EXPECT_EQ(nullptr, mapping);
  if (mapping) ::CloseHandle(mapping);
}

}  // namespace
