// A channel in real time on a simulated board with the stand-in embedder:
// what the device plays, what the block shows, and what the channel logs.
#include <cstring>

#include "channel_fixture.h"

namespace {

std::string NameAt(const uint8_t* record, uint32_t offset) {
  return std::string(reinterpret_cast<const char*>(record + offset),
                     strnlen(reinterpret_cast<const char*>(record + offset), 24));
}

TEST_F(ChannelTest, EnabledChannelMarksAndShowsItInTheBlock) {
  LogCapture log;
  auto& o = Owner();
  o.AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(WaitForMarked(200));
  // The first period after the start is silence (the queue is empty); later
  // silence is an underrun. Underruns are logged once more than 2560 frames
  // (five periods) have been fed since marking began; the passes before the
  // first marked period fed at least one, so any silence more than five
  // periods after it is logged.
  const sim::AudioStats s = Stats();
  EXPECT_TRUE(OnlyMarkedOrSilenceAfterFirstMarked(s));
  EXPECT_EQ(0u, s.other);
  EXPECT_LE(s.markedBreaks, s.missedEvents);
  EXPECT_EQ(0u, s.markedBackward);
  ASSERT_FALSE(s.transitions.empty());
  EXPECT_EQ(sim::AudioClass::Silence, s.transitions.front().from);
  uint64_t firstMarked = 0;
  bool lateSilence = false;
  for (const sim::AudioTransition& t : s.transitions) {
    if (t.to == sim::AudioClass::Marked && firstMarked == 0) firstMarked = t.period;
    if (t.to == sim::AudioClass::Silence && firstMarked != 0 && t.period > firstMarked + 5)
      lateSilence = true;
  }
  if (s.silence == 1) {
    EXPECT_FALSE(log.Contains("Synchronisation error"));
  } else if (lateSilence) {
    EXPECT_TRUE(log.Has("WATERMARKING: Synchronisation error, silence"));
  }

  // As a client reads it: a second block object on the same memory.
  CSharedMemoryBuffer client(o.BlockName().c_str(), 0x0B, kBoardBlockSize);
  ASSERT_TRUE(client.IsOk());
  const uint8_t* record = client.GetData() + 20;
  ASSERT_TRUE(WaitUntil([&] { return LoadU32(record + 8) == 4711; }, kChannelWaitMs));
  EXPECT_EQ(1, record[0]);
  EXPECT_EQ(0x03, record[1]);
  EXPECT_EQ(0, LoadU16(record + 2));
  EXPECT_EQ(3u, LoadU32(record + 4));
  EXPECT_EQ("STANDIN_A", NameAt(record, 12));
  const char* names[] = {"STANDIN_A", "STANDIN_B", "certif"};
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(i < 3 ? names[i] : "", NameAt(record, 36 + 24 * i)) << i;
    EXPECT_EQ(i < 3 ? 1 : 0, record[1572 + i]) << i;
  }
  EXPECT_TRUE(
      log.Has("SN" + std::string(FormatString("%08X", o.Serial())) + " Ch 1: Status changed to RUNNING"));

  // Stopped while marking: the device is closed and the record shows OFF.
  o.StopChannels();
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("q0", "asio0"));
  EXPECT_EQ(0, record[0]);
  EXPECT_TRUE(log.Has("+++++++ CWatermark_Channel::ThreadEntry EXIT+++++"));
  EXPECT_EQ(0, stub.Stats().live);
}

// Audio split across callbacks, and a burst after a stall that grows the
// queue while it wraps: nothing lost, doubled or reordered beyond what the
// device's own missed periods explain.
TEST_F(ChannelTest, SplitAndBurstyCallbacksKeepTheMarkedStreamWhole) {
  stub.Configure("chunk_frames=300\naudio_stall_ms=300@100\n");
  Owner().AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(WaitForMarked(500));
  const sim::AudioStats s = Stats();
  EXPECT_EQ(0u, s.other);
  EXPECT_EQ(0u, s.markedBackward);
  EXPECT_LE(s.markedBreaks, s.missedEvents);
}

TEST_F(ChannelTest, DuplicatedCallbackShowsInTheMarkedStream) {
  stub.Configure("audio_duplicate=50\n");
  Owner().AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(WaitForMarked(100));
  const sim::AudioStats s = Stats();
  EXPECT_GT(s.other + s.markedBackward, 0u);
}

TEST_F(ChannelTest, MissingMarkedAudioPlaysLoggedSilence) {
  LogCapture log;
  stub.Configure("audio_drop_after=100\n");
  Owner().AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(log.Has("WATERMARKING: Synchronisation error, silence (req 4096 size 0)", kChannelWaitMs));
  EXPECT_GT(Stats().silence, 1u);
}

TEST_F(ChannelTest, FeedErrorsAreLoggedAndMarkingGoesOn) {
  LogCapture log;
  stub.Configure("add_result=26@every=1\n");
  Owner().AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(
      log.Has("watermarking error 26: A buffer whose size is not a factor of sample size has been provided",
              kChannelWaitMs));
  EXPECT_EQ(1, owner->Status(0));
  EXPECT_EQ(std::string::npos, log.Text().find("marking failed, stopped"));
}

TEST_F(ChannelTest, LongerPeriodsAndAnAdoptedOne) {
  struct {
    int32_t mode;
    const char* keys;
    int32_t bytes;
  } const cases[] = {{1, "", 20480}, {2, "", 40960}, {0, "period_policy=fixed:480\n", 3840}};
  for (const auto& c : cases) {
    stub.Reset();
    channeltest::OwnerOptions options;
    options.boardKeys = c.keys;
    auto& o = Owner(options);
    o.SetLatencyMode(c.mode);
    o.AddChannel();
    ASSERT_TRUE(StartMarking()) << c.bytes;
    ASSERT_TRUE(WaitForMarked(20)) << c.bytes;
    // Every period the embedder was given had that many bytes.
    const SnapStubStats given = stub.Stats();
    EXPECT_EQ(c.bytes * given.adds, given.bytes_in);
    // A device that adopts another period is not reopened for it.
    const uint64_t turns = o.TurnCount();
    ASSERT_TRUE(WaitUntil([&] { return o.TurnCount() >= turns + 10; }, kChannelWaitMs));
    int opens = 0;
    for (const sim::TraceEntry& e : sim::World::Instance().Trace())
      if (e.op == "open" && e.file == "asio0") ++opens;
    EXPECT_EQ(1, opens) << c.bytes;
    owner.reset();
  }
}

// The update re-prepares the device between two passes of the thread: the
// pass that was waiting for the lock must use the new period, not the one it
// saw before (the old size would run past the new, smaller halves).
TEST_F(ChannelTest, PassAfterARePrepareUsesTheNewPeriod) {
  auto& o = Owner();
  o.SetLatencyMode(2);
  CWatermark_Channel& ch = o.AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(WaitForMarked(10));
  o.StopTurns();

  ASSERT_TRUE(CWatermarkChannelTestAccess::DeviceStep(ch, [&](CAudioAsio& device) {
    EXPECT_TRUE(WaitUntil([&] { return ch.GetThreadMarker() == 5; }, kChannelWaitMs));
    uint32_t period = 512;
    device.Close();
    EXPECT_TRUE(device.Open(device.MakeDeviceName(o.Board().GetDriver(), 0)));
    EXPECT_TRUE(device.Prepare(48000, 2, 1, period));
    EXPECT_TRUE(device.Start());
    return 512;
  }));

  ASSERT_TRUE(WaitForMarked(50));
  EXPECT_EQ(0u, Stats().other);
  EXPECT_TRUE(ch.IsRunning());
}

// A failed push stops RT; the next update finalises and drains before it
// destroys, so the next embedder starts on an empty queue.
TEST_F(ChannelTest, FailedPushEndsRtAndTheNextEmbedderStartsClean) {
  LogCapture log;
  stub.Configure("audio_null_every=20\n");
  Owner().AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(WaitUntil([&] { return stub.Stats().creates >= 3; }, kChannelWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return owner->Status(0) == 1; }, kChannelWaitMs));
  ASSERT_TRUE(WaitForMarked(Stats().marked + 20));
  const std::string text = log.Text();
  const size_t flag = text.find("WATERMARKING: Error Flag");
  ASSERT_NE(std::string::npos, flag);
  const size_t finalize = text.find("WATERMARKING: Upd Finalize", flag);
  ASSERT_NE(std::string::npos, finalize);
  EXPECT_LT(finalize, text.find("WATERMARKING: Upd Destroy", flag));
  EXPECT_TRUE(log.Has("Watermarking: Failed to push audio buffer to queue"));
  EXPECT_GE(stub.Stats().finalizes, 2);
  EXPECT_EQ(0u, Stats().markedBackward);
}

}  // namespace
