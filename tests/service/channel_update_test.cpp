// The channel's update, hand-stepped: the device's life with its back-off and
// the embedder's life through creation, failures and the RT handshake.
#include "channel_fixture.h"
#include "tvlib/files/files.h"

namespace {

int TraceCount(const std::string& op, const std::string& file, uint64_t code = 0) {
  int n = 0;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace())
    if (e.op == op && e.file == file && (code == 0 || e.pos == code)) ++n;
  return n;
}

// Turns by hand until `pred` holds (the channel thread moves meanwhile).
bool TurnUntil(channeltest::ChannelOwner& o, const std::function<bool()>& pred) {
  return WaitUntil(
      [&] {
        o.Turn();
        return pred();
      },
      kChannelWaitMs, 50);
}

TEST_F(ChannelTest, OneUpdateOpensAndPreparesTheNextStarts) {
  LogCapture log;
  auto& o = Owner();
  CWatermarkBoardTestAccess::SetLayout(o.Board(), 1, 7);
  CWatermark_Channel& ch = o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turn();
  std::vector<sim::TraceEntry> opens;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace())
    if (e.op == "open" && e.file == "asio1") opens.push_back(e);
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), opens[0].access);
  EXPECT_EQ(0u, opens[0].share);
  EXPECT_EQ(1, TraceCount("ioctl", "asio1", CAudioAsio::kIoctlPrepare));
  EXPECT_EQ(1, TraceCount("ioctl", "asio1", CAudioAsio::kIoctlCheck));
  EXPECT_EQ(1, TraceCount("ioctl", "asio1", CAudioAsio::kIoctlGetBuffers));
  EXPECT_EQ(0, TraceCount("ioctl", "asio1", CAudioAsio::kIoctlStart));
  EXPECT_TRUE(log.Has(ch.GetDisplayName() + ": Board " + o.Board().GetName() + " Channel 2: open in "));
  EXPECT_EQ(CWatermark_Channel::kFlagRtStartRequest, CWatermarkChannelTestAccess::Flags(ch));
  o.Turn();
  EXPECT_EQ(1, TraceCount("ioctl", "asio1", CAudioAsio::kIoctlStart));
}

TEST_F(ChannelTest, FailedOpenWaitsItsBackOff) {
  LogCapture log;
  channeltest::OwnerOptions options;
  options.boardKeys = "fault=open file=asio0 err=2\n";
  auto& o = Owner(options);
  o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turns(20);
  EXPECT_EQ(1, TraceCount("open", "asio0"));
  EXPECT_EQ(1, log.Count("Can not Open audio"));
  // Tried again only once 10 s have passed.
  ASSERT_TRUE(TurnUntil(o, [&] { return TraceCount("open", "asio0") == 2; }));
}

TEST_F(ChannelTest, UnpreparableDeviceStaysOpenAndUnstarted) {
  LogCapture log;
  channeltest::OwnerOptions options;
  options.boardKeys = "bits_set=24\n";
  auto& o = Owner(options);
  o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turns(5);
  EXPECT_TRUE(log.Has("Can not Prepare audio"));
  EXPECT_EQ(1, sim::World::Instance().OpenHandles("q0", "asio0"));
  EXPECT_EQ(0, TraceCount("ioctl", "asio0", CAudioAsio::kIoctlStart));
}

TEST_F(ChannelTest, SwitchErrorClosesAndReopensAfterTheBackOff) {
  LogCapture log;
  channeltest::OwnerOptions options;
  options.boardKeys = "fault=ioctl switch at=200 err=31\n";
  auto& o = Owner(options);
  o.AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(log.Has("Audio state error, Closed Audio", kChannelWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return TraceCount("open", "asio0") == 2; }, kChannelWaitMs));
  const uint64_t marked = Stats().marked;
  EXPECT_TRUE(WaitForMarked(marked + 20));
}

TEST_F(ChannelTest, LatencyChangeStopsTheEmbedderBeforeTheDevice) {
  LogCapture log;
  auto& o = Owner();
  o.AddChannel();
  ASSERT_TRUE(StartMarking());
  o.SetLatencyMode(1);
  ASSERT_TRUE(log.Has("bufsize 20480", kChannelWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return o.Status(0) == 1; }, kChannelWaitMs));
  const std::string t = log.Text();
  const size_t stop = t.find("Upd stopping embedder because:  latency-changed");
  const size_t finalized = t.find("WATERMARKING: Upd Finalized", stop);
  const size_t close = t.find("latency changed, close Audio", stop);
  ASSERT_NE(std::string::npos, stop);
  ASSERT_NE(std::string::npos, finalized);
  ASSERT_NE(std::string::npos, close);
  EXPECT_LT(finalized, close);
  EXPECT_LT(close, t.find("bufsize 20480"));
}

TEST_F(ChannelTest, NoDeviceStepAfterTheBoardsStopRequest) {
  LogCapture log;
  auto& o = Owner();
  o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Board().RequestStop();
  o.Turns(3);
  EXPECT_EQ(0, TraceCount("open", "asio0"));
  EXPECT_EQ(std::string::npos, log.Text().find("Creating Audio"));
}

// Stop reasons that go away before the next update, and a start request that
// the thread never took: each stop still finishes with one finalise and one
// destroy, and the channel marks again.
TEST_F(ChannelTest, QuickTogglesFinishTheirStop) {
  struct Toggle {
    const char* what;
    std::function<void(channeltest::ChannelOwner&)> away, back;
  } const toggles[] = {
      {"enable", [](channeltest::ChannelOwner& o) { o.SetSettings(0, 0, 0); },
       [](channeltest::ChannelOwner& o) { o.SetSettings(0, 1, 0); }},
      {"name", [](channeltest::ChannelOwner& o) { o.SetSettings(0, 1, 1); },
       [](channeltest::ChannelOwner& o) { o.SetSettings(0, 1, 0); }},
      {"latency", [](channeltest::ChannelOwner& o) { o.SetLatencyMode(1); },
       [](channeltest::ChannelOwner& o) { o.SetLatencyMode(0); }},
  };
  for (const Toggle& t : toggles) {
    stub.Reset();
    auto& o = Owner();
    CWatermark_Channel& ch = o.AddChannel();
    ASSERT_TRUE(StartMarking()) << t.what;
    o.StopTurns();
    t.away(o);
    o.Turn();
    // The thread ends RT (actively or from its idle wait), then the reason goes.
    ASSERT_TRUE(WaitUntil([&] { return CWatermarkChannelTestAccess::Flags(ch) == 0x20; }, kChannelWaitMs))
        << t.what;
    t.back(o);
    ASSERT_TRUE(TurnUntil(o, [&] { return o.Status(0) == 1 && stub.Stats().creates == 2; })) << t.what;
    EXPECT_EQ(1, stub.Stats().finalizes) << t.what;
    EXPECT_EQ(1, stub.Stats().destroys) << t.what;
    owner.reset();
  }
}

TEST_F(ChannelTest, StandingStartRequestIsCancelledByADisable) {
  LogCapture log;
  channeltest::OwnerOptions options;
  options.boardKeys = "fault=ioctl start count=1000 err=21\n";
  auto& o = Owner(options);
  CWatermark_Channel& ch = o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turns(3);
  ASSERT_TRUE(log.Has("Can not initialize audio"));
  EXPECT_EQ(CWatermark_Channel::kFlagRtStartRequest, CWatermarkChannelTestAccess::Flags(ch));
  o.SetSettings(0, 0, 0);
  o.Turns(3);
  EXPECT_EQ(1, stub.Stats().finalizes);
  EXPECT_EQ(1, stub.Stats().destroys);
  EXPECT_EQ(0, stub.Stats().live);
  EXPECT_EQ(0u, CWatermarkChannelTestAccess::Flags(ch));
}

TEST_F(ChannelTest, NameOutOfRangeFailsOnceUntilTheSettingsChange) {
  LogCapture log;
  stub.Configure("channel_names=A,B,C\n");
  auto& o = Owner();
  o.AddChannel();
  o.SetSettings(0, 1, 5);
  o.Turn();
  EXPECT_TRUE(log.Has("watermarking Channel request is too high 5 max 2"));
  EXPECT_TRUE(log.Has("WATERMARKING: Upd failed, Destroyed"));
  EXPECT_EQ(1, stub.Stats().destroys);
  o.Turns(10);
  EXPECT_EQ(1, stub.Stats().creates);
  o.SetSettings(0, 1, 1);
  o.Turn();
  EXPECT_EQ(2, stub.Stats().creates);
  EXPECT_NE(std::string::npos, stub.Trace().find("SetChannelName(\"B\") -> 0"));
}

// Enabled but not marking: the started device keeps passing its input through.
TEST_F(ChannelTest, ChannelThatCannotMarkPassesItsInputThrough) {
  auto& o = Owner();
  o.AddChannel();
  ASSERT_TRUE(StartMarking());
  o.SetSettings(0, 1, 5);
  // The marking embedder goes with the new name, then the refused one; a new
  // one is tried after each back-off and refused again.
  ASSERT_TRUE(WaitUntil([&] { return stub.Stats().destroys >= 2 && Stats().pass > 0; }, kChannelWaitMs))
      << "destroys " << stub.Stats().destroys << ", pass " << Stats().pass;
  const sim::AudioStats before = Stats();
  ASSERT_TRUE(WaitUntil([&] { return Stats().played > before.played + 50; }, kChannelWaitMs));
  const sim::AudioStats after = Stats();
  EXPECT_EQ(after.played - before.played, after.pass - before.pass);
  EXPECT_EQ(1, after.latency);
  EXPECT_EQ(2, o.Status(0));
}

TEST_F(ChannelTest, SeventyNamesAreLoggedAndSixtyFourKept) {
  LogCapture log;
  stub.Configure("channel_name_count=70\n");
  auto& o = Owner();
  o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turn();
  EXPECT_TRUE(log.Has("watermarking has 70 channels, we are limited to 64"));
  EXPECT_EQ(70, log.Count(": watermarking channel "));
  EXPECT_TRUE(log.Has("watermarking channel 69: NAME_69"));
  o.Turn();
  EXPECT_EQ(64u, LoadU32(o.StatusRecord(0) + 4));
}

TEST_F(ChannelTest, EachConfigurationFailureDestroysTheEmbedder) {
  struct {
    const char* config;
    const char* line;
    bool created;
  } const cases[] = {
      {"create_result=6\n", "watermarking error 6: An internal error occurred", false},
      {"bits_result=6\n", "watermarking SetBpS 6: ", true},
      {"channels_result=6\n", "watermarking SetChannels 6: ", true},
      {"name_list_result=6\n", "watermarking GetChannelNameList 6: ", true},
      {"channel_name_result=6\n", "watermarking SetChannelName 6: ", true},
      {"init_result=6\n", "watermarking Initialize 6: ", true},
  };
  for (const auto& c : cases) {
    LogCapture log;
    stub.Reset();
    stub.Configure(c.config);
    auto& o = Owner();
    o.AddChannel();
    o.SetSettings(0, 1, 0);
    o.Turn();
    EXPECT_TRUE(log.Has(c.line)) << c.config;
    EXPECT_TRUE(log.Has("WATERMARKING: Upd Failed create embedder")) << c.config;
    EXPECT_EQ(c.created ? 1 : 0, stub.Stats().destroys) << c.config;
    EXPECT_EQ(0, stub.Stats().live) << c.config;
    EXPECT_EQ(std::string::npos, log.Text().find("Upd failed, Finalize")) << c.config;
    owner.reset();
  }
}

TEST_F(ChannelTest, PriorityFailureIsLoggedAndCreationGoesOn) {
  LogCapture log;
  stub.Configure("priority_result=8\n");
  auto& o = Owner();
  CWatermark_Channel& ch = o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turn();
  EXPECT_TRUE(log.Has("watermarking set priority 8: Thread priority set is invalid"));
  EXPECT_EQ(CWatermark_Channel::kFlagRtStartRequest, CWatermarkChannelTestAccess::Flags(ch));
}

TEST_F(ChannelTest, FailedRecordingTakesTheFailurePath) {
  LogCapture log;
  stub.Configure("record_result=100\n");
  channeltest::OwnerOptions options;
  options.certification = true;
  auto& o = Owner(options);
  o.AddChannel();
  o.SetSettings(0, 1, 2);
  o.Turn();
  EXPECT_TRUE(log.Has("watermarking EnableRecord 100: "));
  EXPECT_TRUE(log.Has("WATERMARKING: Upd Failed create embedder"));
  EXPECT_EQ(1, stub.Stats().destroys);
  DeleteDirectoryTree(o.ConfigBase().c_str(), true);
}

// Without the library (this test never loads it).
TEST(ChannelWithoutLibrary, ReportsNotSupportedOnceAndNeverSwitches) {
  LogCapture log;
  channeltest::ChannelOwner o;
  ASSERT_TRUE(o.WorldOk());
  CWatermark_Channel& ch = o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.Turns(50);
  EXPECT_EQ(1, log.Count("WATERMARKING: Kantar is not supported"));
  EXPECT_EQ(uint32_t(CWatermark_Channel::kFlagNotSupported), CWatermarkChannelTestAccess::Flags(ch));
  EXPECT_EQ(6, o.Status(0));
  EXPECT_EQ(0x04, o.StatusRecord(0)[1]);
  EXPECT_EQ(0, TraceCount("ioctl", "asio0", CAudioAsio::kIoctlSwitch));
}

}  // namespace
