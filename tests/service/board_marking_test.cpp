// The board thread with the embedder: channels enabled through the block
// mark, their settings reach the file, and channels or the board's audio
// that fail come back.
#include "board_rig.h"
#include "channel_fixture.h"
#include "support/log_capture.h"
#include "tarvel_kantar_fixture.h"

namespace {

class BoardMarking : public KantarLoaded {
 protected:
  BoardRig& Rig(const RigOptions& o = RigOptions()) {
    rig.reset(new BoardRig(o));
    EXPECT_TRUE(rig->WorldOk());
    EXPECT_TRUE(rig->Start());
    EXPECT_TRUE(rig->WaitForCount(2));
    return *rig;
  }
  sim::AudioStats Stats(int device) { return sim::World::Instance().Audio("b0", device)->Stats(); }
  bool WaitForMarked(int device, uint64_t more) {
    const uint64_t base = Stats(device).marked;
    return WaitUntil([&] { return Stats(device).marked >= base + more; }, kBoardWaitMs, 20);
  }
  // Hangs channel 1's next switch for 4 s, longer than a channel may stay
  // silent, and waits until the board notices.
  bool HangChannel1(LogCapture& log) {
    return sim::World::Instance().AddFault("ioctl file=asio1 switch at=1 hang_ms=4000", "b0") &&
           log.Has("Board " + rig->SerialText() + " Channel 0 is not responding (", kBoardWaitMs);
  }
  void TearDown() override {
    rig.reset();
    KantarLoaded::TearDown();
  }
  std::unique_ptr<BoardRig> rig;
};

TEST_F(BoardMarking, ChannelEnabledThroughTheBlockMarksAndIsSaved) {
  BoardRig& r = Rig();
  r.SetSettings(0, 1, 0);
  ASSERT_TRUE(WaitUntil([&] { return r.Status(0) == 1; }, kBoardWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return ReadStatusRecord(r.Block(), 0).watermarkId == 4711; }, kBoardWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  EXPECT_EQ(0u, Stats(1).other);
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("b0", "asio2"));

  ASSERT_TRUE(r.WaitForCopyWith(1, "<ch1 enable=\"true\" watermarking_channel=\"0\" />"));
  EXPECT_NE(std::string::npos, r.CopyText(1).find("<ch2 enable=\"false\" watermarking_channel=\"0\" />"));
  // The same values again are no change: nothing is left to save.
  r.SetSettings(0, 1, 0);
  ASSERT_TRUE(r.WaitTurns(3));
  EXPECT_FALSE(CWatermarkBoardTestAccess::SavePending(r.Board()));
  EXPECT_EQ(0, r.Stop());
}

// A channel whose switch never returns is replaced by a new one of the same
// index: the stuck call is cancelled, so the board keeps turning and its
// other channel marks throughout; the old channel closes its device before
// the new one opens it.
TEST_F(BoardMarking, ChannelHungForGoodIsRestartedInPlace) {
  LogCapture log;
  BoardRig& r = Rig();
  r.SetSettings(0, 1, 0);
  r.SetSettings(1, 1, 0);
  ASSERT_TRUE(WaitForMarked(1, 20));
  ASSERT_TRUE(WaitForMarked(2, 20));
  const std::string started = "Watermark Board: starting channel 0 for board " + r.SerialText();
  ASSERT_EQ(1, log.Count(started));
  ASSERT_TRUE(sim::World::Instance().AddFault("ioctl file=asio1 switch at=1 hang_ms=3600000", "b0"));
  ASSERT_TRUE(log.Has("Board " + r.SerialText() + " Channel 0 is not responding (", kBoardWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return log.Count(started) == 2; }, kBoardWaitMs));
  ASSERT_EQ(2u, r.BlockCount());
  ASSERT_TRUE(WaitForMarked(1, 20));
  ASSERT_TRUE(WaitForMarked(2, 20));
  EXPECT_EQ(1, channeltest::MostOpenAtOnce("asio1"));
  int cancelled = 0, otherOpens = 0;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace()) {
    cancelled += e.op == "cancel" && e.ok && e.file == "asio1" ? 1 : 0;
    otherOpens += e.op == "open" && e.ok && e.file == "asio2" ? 1 : 0;
  }
  EXPECT_EQ(1, cancelled);
  // The other channel's device stayed open and played only marked audio (and
  // silence) once marking began.
  EXPECT_EQ(1, otherOpens);
  EXPECT_TRUE(OnlyMarkedOrSilenceAfterFirstMarked(Stats(2)));
  EXPECT_TRUE(r.Board().IsAlive());
  EXPECT_EQ(0, r.Stop());
}

// A client's change that the restarted channel's document never saw stays in
// the block and reaches the next copy.
TEST_F(BoardMarking, RestartKeepsTheClientsUnsavedSettings) {
  LogCapture log;
  BoardRig& r = Rig();
  r.SetSettings(0, 1, 0);
  ASSERT_TRUE(WaitForMarked(1, 20));
  ASSERT_TRUE(r.WaitForCopyWith(1, "<ch1 enable=\"true\" watermarking_channel=\"0\" />"));
  r.SetSettings(0, 1, 1);
  ASSERT_TRUE(r.WaitTurns(2));
  ASSERT_TRUE(HangChannel1(log));
  ASSERT_TRUE(r.WaitForCopyWith(2, "<ch1 enable=\"true\" watermarking_channel=\"1\" />"));
  EXPECT_EQ(1, ReadSettingsRecord(r.Block(), 0).watermarkingChannel);
  ASSERT_TRUE(WaitUntil([&] { return r.Status(0) == 1; }, kBoardWaitMs));
  EXPECT_EQ(0, r.Stop());
}

// The board's audio gone for a while: its channels back off and mark again
// once it is back; the board itself keeps turning.
TEST_F(BoardMarking, UnpluggedBoardMarksAgainAfterTheReplug) {
  LogCapture log;
  BoardRig& r = Rig();
  r.SetSettings(0, 1, 0);
  ASSERT_TRUE(WaitForMarked(1, 20));
  sim::World::Instance().Unplug("b0");
  ASSERT_TRUE(WaitUntil([&] { return r.Status(0) == 5; }, kBoardWaitMs));
  ASSERT_TRUE(r.WaitTurns(5));
  sim::World::Instance().Replug("b0");
  ASSERT_TRUE(WaitUntil([&] { return r.Status(0) == 1; }, kBoardWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  EXPECT_EQ(1, channeltest::MostOpenAtOnce("asio1"));
  EXPECT_TRUE(r.Board().IsAlive());
  EXPECT_FALSE(log.Contains("is not responding"));
  EXPECT_EQ(0, r.Stop());
}

}  // namespace
