// A channel's RT handshake with its update, its resynchronisation, and its
// stop, liveness and destruction.
#include <cstdio>

#include "channel_fixture.h"
#include "tvlib/files/files.h"

namespace {

// Audio three times faster than real time, so that the drift that makes a
// resynchronisation comes within seconds; still paced, as a working device
// must be (one that answers its switches at once takes the switch-error road).
channeltest::OwnerOptions FastAudio() {
  channeltest::OwnerOptions options;
  options.simKeys = "pace=3\n";
  return options;
}

bool TraceHas(const std::string& op, uint64_t code = 0) {
  for (const sim::TraceEntry& e : sim::World::Instance().Trace())
    if (e.file == "asio0" && e.op == op && (code == 0 || e.pos == code)) return true;
  return false;
}

TEST_F(ChannelTest, ChannelChangeEndsRtActivelyAndMarksWithTheNewName) {
  LogCapture log;
  stub.Configure("emit_delay_ms=50\n");
  Owner().AddChannel();
  ASSERT_TRUE(StartMarking(0, 0));
  owner->SetSettings(0, 1, 1);
  ASSERT_TRUE(log.Has("WATERMARKING: Upd stopping embedder because:  channel-changed", kChannelWaitMs));
  // Buffers still inside the SDK are counted, and RT ends anyway.
  ASSERT_TRUE(log.Has("WATERMARKING: RT wait end (", kChannelWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return stub.Stats().creates >= 2 && owner->Status(0) == 1; }, kChannelWaitMs));
  EXPECT_NE(std::string::npos, stub.Trace().find("SetChannelName(\"STANDIN_B\") -> 0"));
  EXPECT_EQ(1, stub.Stats().destroys);
}

TEST_F(ChannelTest, DisableClosesAtOnceEndsRtPassivelyAndDestroysLater) {
  LogCapture log;
  auto& o = Owner();
  CWatermark_Channel& ch = o.AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(WaitForMarked(20));
  o.StopTurns();
  sim::World::Instance().ClearTrace();

  o.SetSettings(0, 0, 0);
  o.Turn();
  EXPECT_TRUE(TraceHas("ioctl", CAudioAsio::kIoctlStop));
  EXPECT_TRUE(TraceHas("ioctl", CAudioAsio::kIoctlUnprepare));
  EXPECT_TRUE(TraceHas("close"));
  EXPECT_TRUE(log.Has(ch.GetDisplayName() + ": disabled"));
  EXPECT_TRUE(log.Has("Audio not enabled, Closed Audio"));
  EXPECT_TRUE(log.Has("WATERMARKING: Upd stopping embedder because:  WM-disable"));
  // The thread, now idle, ends RT from its wait.
  ASSERT_TRUE(WaitUntil([&] { return CWatermarkChannelTestAccess::Flags(ch) == 0x20; }, kChannelWaitMs));
  const std::string passive = log.Text();
  EXPECT_TRUE(passive.find("WATERMARKING: RT end (passive)") != std::string::npos ||
              passive.find(") (passive)") != std::string::npos);

  o.Turn();
  EXPECT_TRUE(log.Has("WATERMARKING: Upd stopped embedder RT"));
  EXPECT_EQ(1, stub.Stats().finalizes);
  EXPECT_TRUE(log.Has("WATERMARKING: left in queue "));
  EXPECT_EQ(0, stub.Stats().destroys);
  o.Turn();
  EXPECT_EQ(1, stub.Stats().destroys);
  o.Turn();
  EXPECT_EQ(0u, LoadU32(o.StatusRecord(0) + 8));
  EXPECT_EQ(0, o.Status(0));
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("q0", "asio0"));
}

TEST_F(ChannelTest, DriftResynchronises) {
  struct {
    const char* config;
    const char* line;
  } const cases[] = {
      {"", "), resynch"},
      {"resync_result=81\n", "WATERMARKING: Resynch not allowed"},
      {"resync_result=6\n", "WATERMARKING: Resynch error 6: An internal error occurred"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    stub.Reset();
    stub.Configure(c.config);
    Owner(FastAudio()).AddChannel();
    ASSERT_TRUE(StartMarking()) << c.config;
    ASSERT_TRUE(log.Has(c.line, kChannelWaitMs)) << c.config;
    EXPECT_TRUE(log.Has("WATERMARKING: time drifted or changed (")) << c.config;
    EXPECT_GE(stub.Stats().resyncs, 1) << c.config;
    owner.reset();
  }
}

TEST_F(ChannelTest, ResyncErrorPassesTheInputThroughThenStartsAgain) {
  LogCapture log;
  stub.Configure("resync_result=6\n");
  Owner(FastAudio()).AddChannel();
  ASSERT_TRUE(StartMarking());
  ASSERT_TRUE(log.Has("WATERMARKING: RT stay on input", kChannelWaitMs));
  // A PASS period is bit-exact and one period behind the input.
  ASSERT_TRUE(WaitUntil([&] { return Stats().pass > 0; }, kChannelWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return stub.Stats().creates >= 2; }, kChannelWaitMs));
  EXPECT_GE(stub.Stats().finalizes, 1);
  const sim::AudioStats s = Stats();
  EXPECT_EQ(0u, s.other);
  EXPECT_EQ(0u, s.markedBackward);
}

TEST_F(ChannelTest, CertificationRecordsAndNeverResynchronises) {
  LogCapture log;
  channeltest::OwnerOptions options = FastAudio();
  options.certification = true;
  auto& o = Owner(options);
  o.AddChannel();
  ASSERT_TRUE(StartMarking(0, 2));
  const std::string directory = o.Board().GetConfigDirectory() + "kantar_record/ch1";
  EXPECT_TRUE(log.Has("KANTAR Certification recording direct to " + directory));
  EXPECT_TRUE(FileExists(directory));
  EXPECT_NE(std::string::npos, stub.Trace().find("EnableRecord(\"" + directory + "\") -> 0"));
  // Far more audio than the 10 s that make a drift.
  ASSERT_TRUE(WaitUntil([&] { return Stats().played > 3000; }, kChannelWaitMs));
  EXPECT_EQ(0, stub.Stats().resyncs);
  owner.reset();
  DeleteDirectoryTree(o.ConfigBase().c_str(), true);
}

TEST_F(ChannelTest, StopWhileIdleLeavesNothingOpen) {
  LogCapture log;
  auto& o = Owner();
  o.AddChannel();
  o.Turns(3);
  o.StopChannels();
  EXPECT_EQ(0, o.Status(0));
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("q0", "asio0"));
  EXPECT_TRUE(log.Has("+++++++ CWatermark_Channel::ThreadEntry EXIT+++++"));
}

TEST_F(ChannelTest, HungSwitchMakesTheChannelLookDeadUntilItReturns) {
  channeltest::OwnerOptions options;
  options.boardKeys = "fault=ioctl switch at=300 hang_ms=4000\n";
  auto& o = Owner(options);
  CWatermark_Channel& ch = o.AddChannel();
  EXPECT_TRUE(ch.IsAlive());
  ASSERT_TRUE(StartMarking());
  o.StopTurns();  // the board would restart the channel it finds dead
  ASSERT_TRUE(WaitUntil([&] { return !ch.IsAlive(); }, kChannelWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return ch.IsAlive() && Stats().played > 300; }, kChannelWaitMs));
}

// A device that answers its switches at once (the unpaced clock) would keep
// the time-critical thread spinning: the channel treats it as a failed switch
// and the update closes the device and backs off, session after session.
TEST_F(ChannelTest, SwitchesThatDoNotWaitTakeTheSwitchErrorRoad) {
  LogCapture log;
  channeltest::OwnerOptions options;
  options.clock = "fast";
  auto& o = Owner(options);
  CWatermark_Channel& ch = o.AddChannel();
  o.SetSettings(0, 1, 0);
  o.StartTurns();
  ASSERT_TRUE(log.Has(ch.GetDisplayName() + ": Audio state error, Closed Audio", kChannelWaitMs));
  o.StopTurns();
  EXPECT_TRUE(
      log.Has(ch.GetDisplayName() + ": asio switchbuf returned 8 times without waiting for the period"));
  // Nine switches end a session; a thread preempted between two of them
  // starts counting again, but a spinning one makes thousands.
  int opens = 0, switches = 0;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace()) {
    if (e.file != "asio0") continue;
    if (e.op == "open" && e.ok) ++opens;
    if (e.op == "ioctl" && e.pos == CAudioAsio::kIoctlSwitch) ++switches;
  }
  EXPECT_GE(opens, 1);
  EXPECT_LT(switches, 64 * opens);
}

// A channel whose thread never closed its device (here: one never started)
// closes it when deleted; the file is exclusive, so a new channel of that
// index can open it.
TEST_F(ChannelTest, DeletedChannelClosesItsDevice) {
  auto& o = Owner();
  o.SetSettings(0, 1, 0);
  std::unique_ptr<CWatermark_Channel> idle(new CWatermark_Channel(&o.Board(), o.Board().GetDriver(), 0));
  idle->SetRecords(o.StatusRecord(0), o.Block() + SettingsRecordOffset(0));
  idle->Update();
  ASSERT_EQ(1, sim::World::Instance().OpenHandles("q0", "asio0"));
  idle.reset();
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("q0", "asio0"));
  o.AddChannel();
  ASSERT_TRUE(StartMarking());
}

TEST_F(ChannelTest, CreatedAndDeletedAtOnceAHundredTimes) {
  auto& o = Owner();
  for (int i = 0; i < 100; ++i) {
    CWatermark_Channel* ch = new CWatermark_Channel(&o.Board(), o.Board().GetDriver(), 0);
    ch->SetRecords(o.StatusRecord(0), o.Block() + SettingsRecordOffset(0));
    ASSERT_EQ(0, ch->Create(5));
    delete ch;
  }
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("q0", "asio0"));
}

}  // namespace
