// The board thread on simulated boards: start-up, block and heartbeat, the
// DSP layout and its cache, latency from the block, the upgrade state, boards
// without a driver or a block, and the stop on a failed wait.
#include <cstring>

#include "board_rig.h"
#include "support/log_capture.h"
#include "tvlib/files/files.h"

namespace {

int CountReads(uint64_t pos) {
  int n = 0;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace())
    if (e.op == "read" && e.pos == pos && e.len == 4) ++n;
  return n;
}

int CountOps(const std::string& op, const std::string& filePrefix) {
  int n = 0;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace())
    if (e.op == op && e.file.compare(0, filePrefix.size(), filePrefix) == 0) ++n;
  return n;
}

const char kGoodCopy[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
    "<config version=\"1.0.14\" latency=\"2560\">\n"
    "    <ch1 enable=\"true\" watermarking_channel=\"3\" />\n"
    "</config>\n";

TEST(BoardThread, QbxFirstStartPublishesItsBlockAndLayout) {
  LogCapture log;
  BoardRig rig;
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.WaitForCount(2));
  uint8_t* block = rig.Block();
  EXPECT_STREQ("1.0.14", reinterpret_cast<const char*>(block + kBlockVersionOffset));
  const uint16_t latencyWord = LoadU16(block + kBlockLatencyWordOffset);
  EXPECT_TRUE(latencyWord == 3584 || latencyWord == 3585) << latencyWord;
  const uint16_t beat = LoadU16(block + kBlockHeartbeatWordOffset);
  EXPECT_EQ(0x5500, beat & 0xFF00);
  EXPECT_TRUE(WaitUntil([&] { return LoadU16(block + kBlockHeartbeatWordOffset) != beat; }, kBoardWaitMs));
  for (uint32_t i = kBlockSettingsOffset; i < kBlockSettingsOffset + kSettingsImageSize; ++i)
    ASSERT_EQ(0, block[i]) << i;
  EXPECT_TRUE(FileExists(rig.Dir()));
  EXPECT_TRUE(log.Has(rig.SerialText() + ": *** NO WAY TO RELOAD A CONFIG !"));
  EXPECT_TRUE(log.Has("SN" + rig.SerialText() + ": PCIe/LNR1 mode, with 2 channel starting on 1"));
  EXPECT_EQ(2u, rig.BlockCount());

  // The layout is worked out once: later turns read neither register.
  EXPECT_EQ(1, CountReads(0x7F010050));
  ASSERT_TRUE(rig.WaitTurns(3));
  EXPECT_EQ(1, CountReads(0x7F010050));
  // Both channels are disabled: no audio device was touched.
  EXPECT_EQ(0, CountOps("open", "asio"));
  uint32_t size = 0;
  std::string name;
  EXPECT_TRUE(rig.Board().GetBlockInfo(size, name));
  EXPECT_EQ(kBoardBlockSize, size);
  EXPECT_EQ(rig.BlockName(), name);
  EXPECT_EQ(0, rig.Stop());
  EXPECT_FALSE(rig.Board().GetBlockInfo(size, name));
  EXPECT_EQ(0, sim::World::Instance().OpenHandles());
}

TEST(BoardThread, PciBoardRunsWithoutChannels) {
  LogCapture log;
  RigOptions o;
  o.kind = "PCI";
  o.boardKeys = "dsps=2\n";
  BoardRig rig(o);
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.WaitForBlock());
  ASSERT_TRUE(rig.WaitTurns(3));
  EXPECT_EQ(0u, rig.BlockCount());
  EXPECT_FALSE(log.Contains("PCIe/LNR1"));
  EXPECT_EQ(0, rig.Stop());
  ASSERT_EQ(1, rig.CopyCount());
  EXPECT_EQ(std::string::npos, rig.CopyText(1).find("<ch"));
  EXPECT_NE(std::string::npos, rig.CopyText(1).find("latency=\"512\""));
}

// A board whose driver never opens has no block: it ticks, follows the
// upgrade state and saves its empty document into the unread serial's folder.
TEST(BoardThread, DriverHeldElsewhereRunsWithoutBlock) {
  LogCapture log;
  RigOptions o;
  o.simKeys = "fault=open file=Driver err=32\n";
  BoardRig rig(o);
  ASSERT_TRUE(rig.WorldOk());
  // A parsable file where the unread serial's copies go: the reload that
  // leaving the upgrade state runs has something to apply.
  ASSERT_TRUE(CreateDirectoryPath(rig.Dir("00000000"), false));
  testsupport::WriteBytes(rig.Copy(1, "00000000"), kGoodCopy);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.WaitTurns(3));
  EXPECT_EQ(nullptr, rig.Block());
  EXPECT_TRUE(rig.Board().IsAlive());
  EXPECT_TRUE(rig.Board().SetUpgrade(true));
  EXPECT_TRUE(log.Has("SN00000000: Entering upgrade state !"));
  EXPECT_TRUE(rig.Board().SetUpgrade(false));
  EXPECT_TRUE(log.Has("SN00000000: Leaving upgrade state !"));
  ASSERT_TRUE(rig.WaitTurns(2));
  EXPECT_EQ(0, rig.Stop());
  EXPECT_FALSE(FileExists(rig.Dir()));
  EXPECT_GE(rig.CopyCount("00000000"), 2);
}

// A block name held by a smaller section: no block, and the stop's save
// writes back the loaded settings, not a default document.
TEST(BoardThread, SquattedBlockNameLeavesTheBoardWithoutBlock) {
  LogCapture log;
  BoardRig rig;
  ASSERT_TRUE(rig.WorldOk());
  CSharedMemoryBuffer squatter(
      rig.BlockName().c_str(),
      CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kCreate, 1024);
  ASSERT_TRUE(squatter.IsOk());
  ASSERT_TRUE(CreateDirectoryPath(rig.Dir(), false));
  testsupport::WriteBytes(rig.Copy(1), kGoodCopy);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(
      log.Has("SN" + rig.SerialText() + ": Can not create shared memory " + rig.BlockName(), kBoardWaitMs));
  ASSERT_TRUE(rig.WaitTurns(3));
  EXPECT_FALSE(rig.HasBlock());
  EXPECT_EQ(2560u, rig.Board().GetLatency());
  EXPECT_EQ(0, rig.Stop());
  ASSERT_EQ(2, rig.CopyCount());
  const std::string saved = rig.CopyText(2);
  EXPECT_NE(std::string::npos, saved.find("latency=\"2560\""));
  EXPECT_NE(std::string::npos, saved.find("<ch1 enable=\"true\" watermarking_channel=\"3\" />"));
}

// A client's latency reaches the channels and the header at once, and the
// file about 10 s later (not only at the stop).
TEST(BoardThread, LatencyFromTheBlockIsAdoptedAndSaved) {
  LogCapture log;
  BoardRig rig;
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.WaitForCount(2));
  uint8_t* block = rig.Block();
  StoreU32(block + kBlockSettingsOffset, 1);
  EXPECT_TRUE(
      WaitUntil([&] { return (LoadU16(block + kBlockLatencyWordOffset) & ~1) == 7680; }, kBoardWaitMs));
  EXPECT_EQ(2560u, rig.Board().GetLatency());
  EXPECT_TRUE(log.Has("SN" + rig.SerialText() + ": latency changed from 512 to 2560 samples"));
  EXPECT_TRUE(rig.WaitForCopyWith(1, "latency=\"2560\""));

  StoreU32(block + kBlockSettingsOffset, 7);
  EXPECT_TRUE(
      WaitUntil([&] { return (LoadU16(block + kBlockLatencyWordOffset) & ~1) == 12800; }, kBoardWaitMs));
  EXPECT_EQ(5120u, rig.Board().GetLatency());
  EXPECT_EQ(0, rig.Stop());
}

TEST(BoardThread, UpgradeStateEmptiesTheBoardAndLeavingBringsItBack) {
  LogCapture log;
  BoardRig rig;
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(rig.StartWithChannel1Open());
  const std::string serial = rig.SerialText();

  EXPECT_TRUE(rig.Board().SetUpgrade(true));
  EXPECT_TRUE(log.Has(serial + ": Upgrade started"));
  EXPECT_TRUE(log.Has("SN" + serial + ": Entering upgrade state !"));
  EXPECT_EQ(1, rig.CopyCount());
  EXPECT_NE(std::string::npos, rig.CopyText(1).find("<ch1 enable=\"true\" watermarking_channel=\"0\" />"));
  EXPECT_TRUE(CWatermarkBoardTestAccess::Channels(rig.Board()).empty());
  EXPECT_EQ(0u, rig.BlockCount());
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("b0", "asio1"));
  EXPECT_EQ(0, rig.Status(0));
  uint8_t* block = rig.Block();
  const uint16_t latencyWord = LoadU16(block + kBlockLatencyWordOffset);
  const uint16_t beat = LoadU16(block + kBlockHeartbeatWordOffset);
  ASSERT_TRUE(rig.WaitTurns(3));
  EXPECT_EQ(latencyWord, LoadU16(block + kBlockLatencyWordOffset));
  EXPECT_EQ(beat, LoadU16(block + kBlockHeartbeatWordOffset));
  // Entering again returns at once.
  EXPECT_TRUE(rig.Board().SetUpgrade(true));
  EXPECT_EQ(1, log.Count(serial + ": Upgrade started"));

  sim::World::Instance().ClearTrace();
  EXPECT_TRUE(rig.Board().SetUpgrade(false));
  EXPECT_TRUE(log.Has(serial + ": Upgrade ended"));
  EXPECT_TRUE(log.Has(serial + ": Using xml config file " + rig.Copy(1)));
  ASSERT_TRUE(rig.WaitForCount(2));
  // The layout is worked out again, and the reloaded channel opens its device.
  EXPECT_EQ(1, CountReads(0x7F010050));
  EXPECT_TRUE(WaitUntil([] { return sim::World::Instance().OpenHandles("b0", "asio1") == 1; }, kBoardWaitMs));
  EXPECT_EQ(0, rig.Stop());
  EXPECT_EQ(0, sim::World::Instance().OpenHandles());
}

// The channel management must not rebuild channels under SetUpgrade: a
// slow layout makes every leave's first management pass long.
TEST(BoardThread, NoChannelSurvivesIntoTheUpgradeState) {
  LogCapture log;
  RigOptions o;
  o.simKeys = "fault=read pos=0x7F010050 delay_ms=300\n";
  BoardRig rig(o);
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(rig.StartWithChannel1Open());
  CWatermark_Board& board = rig.Board();
  const std::string serial = "SN" + rig.SerialText();
  for (int i = 0; i < 50; ++i) {
    board.SetUpgrade(false);
    // An enter that comes before the board has left is ignored (it compares
    // with the state): enter once the leave is taken, while the layout is read.
    ASSERT_TRUE(
        WaitUntil([&] { return log.Count(serial + ": Leaving upgrade state !") == i; }, kBoardWaitMs));
    ::Sleep(DWORD(i % 5) * 60);
    board.SetUpgrade(true);
    ASSERT_TRUE(
        WaitUntil([&] { return log.Count(serial + ": Entering upgrade state !") == i + 1; }, kBoardWaitMs));
    ASSERT_TRUE(rig.WaitTurns(2));
    ASSERT_TRUE(CWatermarkBoardTestAccess::Channels(rig.Board()).empty()) << i;
    ASSERT_EQ(0, sim::World::Instance().OpenHandles("b0", "asio")) << i;
  }
  rig.Board().SetUpgrade(false);
  EXPECT_EQ(0, rig.Stop());
}

// New channels of a file that holds fewer: the second copies the first and
// is saved with its own element, the third has nothing to copy.
TEST(BoardThread, MissingChannelElementsCopyThePreviousOrTakeTheDefaults) {
  LogCapture log;
  RigOptions o;
  o.boardKeys = "dsps=4\nmask=0x07\n";
  BoardRig rig(o);
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(CreateDirectoryPath(rig.Dir(), false));
  testsupport::WriteBytes(rig.Copy(1), kGoodCopy);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.WaitForCount(3));
  const std::string serial = rig.SerialText();
  EXPECT_TRUE(log.Has(serial + " channel 1: using configuration of channel 0"));
  EXPECT_TRUE(log.Has("Watermark Board: can not load config for channel 2 for board " + serial));
  // The file's latency reaches the block where clients read it.
  EXPECT_EQ(1, ReadLatencyMode(rig.Block()));
  EXPECT_EQ(3, ReadSettingsRecord(rig.Block(), 1).watermarkingChannel);
  EXPECT_EQ(1, ReadSettingsRecord(rig.Block(), 1).flags);
  EXPECT_EQ(0, ReadSettingsRecord(rig.Block(), 2).flags);
  EXPECT_TRUE(rig.WaitForCopyWith(2, "<ch2 enable=\"true\" watermarking_channel=\"3\" />"));
  EXPECT_EQ(0, rig.Stop());
}

// A failed wait ends the thread through its whole stop sequence.
TEST(BoardThread, WaitErrorRunsTheStopSequence) {
  LogCapture log;
  BoardRig rig;
  ASSERT_TRUE(rig.WorldOk());
  ASSERT_TRUE(rig.StartWithChannel1Open());
  const BrokenCondition broken = CWatermarkBoardTestAccess::BreakTurnWait(rig.Board());
  EXPECT_EQ(-1, rig.Board().Wait());
  EXPECT_TRUE(log.Has("Watermark Board : Wait Error !"));
  EXPECT_TRUE(log.Has("+++++++ CWatermark_Board::ThreadEntry EXIT+++++"));
  EXPECT_TRUE(CWatermarkBoardTestAccess::Channels(rig.Board()).empty());
  EXPECT_FALSE(rig.HasBlock());
  EXPECT_EQ(0, sim::World::Instance().OpenHandles());
  ASSERT_EQ(1, rig.CopyCount());
  EXPECT_NE(std::string::npos, rig.CopyText(1).find("<ch1 enable=\"true\" watermarking_channel=\"0\" />"));
}

}  // namespace
