// The channel's audio device object against a simulated QBX board: the
// records it sends, what it accepts from the device, the halves it hands
// out, its switch-error roads and the close cascade from every state.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drivers/AudioAsio.h"
#include "drivers/DriverQBX.h"
#include "sim/boards/World.h"
#include "sim_test_util.h"

namespace {

const char* const kPath =
    "\\\\?\\pci#ven_1172&dev_e001&subsys_00011172&rev_01#4&2c0e0e1a&0&00e0#"
    "{9fb60060-c831-44f8-891e-40ff75bd73f3}";

const DWORD kPrepare = CAudioAsio::kIoctlPrepare;
const DWORD kCheck = CAudioAsio::kIoctlCheck;
const DWORD kGetBuffers = CAudioAsio::kIoctlGetBuffers;
const DWORD kStart = CAudioAsio::kIoctlStart;
const DWORD kSwitch = CAudioAsio::kIoctlSwitch;
const DWORD kStop = CAudioAsio::kIoctlStop;
const DWORD kUnprepare = CAudioAsio::kIoctlUnprepare;

std::string Hex(const uint32_t* words, int n) {
  std::string s;
  char b[3];
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 4; ++k) {
      std::snprintf(b, sizeof b, "%02x", (words[i] >> (8 * k)) & 0xFF);
      s += b;
    }
  return s;
}

uint32_t Sample(const void* p, size_t i) {
  uint32_t s;
  std::memcpy(&s, static_cast<const uint8_t*>(p) + i * 4, 4);
  return s;
}

class AudioAsioTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (world_) {
      for (int i = 0; i < 2; ++i) {
        sim::AudioDevice* d = sim::World::Instance().Audio("qbx0", i);
        if (d) {
          EXPECT_EQ(0u, d->Stats().ioctlViolations);
        }
      }
    }
    asio_.reset();
    driver_.reset();
  }

  // One QBX board with two audio devices; `clock` fast unless pacing matters.
  void Load(const std::string& extra = std::string(), const std::string& clock = "fast") {
    asio_.reset();
    driver_.reset();
    std::string desc = "[sim]\nclock=" + clock + "\n[board qbx0]\nkind=QBX\npath=" + kPath +
                       "\nserial=0x00012345\nasio_count=2\n" + extra;
    ASSERT_TRUE(sim::NewWorld(desc));
    world_ = true;
    driver_.reset(new CDriverQBX());
    ASSERT_TRUE(driver_->Open(0));
    asio_.reset(new CAudioAsio(name_));
  }
  sim::AudioDevice* Dev(int i = 0) { return sim::World::Instance().Audio("qbx0", i); }
  std::string Path(int n = 0) { return asio_->MakeDeviceName(driver_.get(), n); }
  bool OpenPrepareStart(uint32_t* periodOut = nullptr) {
    uint32_t period = 512;
    bool ok = asio_->Open(Path()) && asio_->Prepare(48000, 2, 1, period) && asio_->Start();
    if (periodOut) *periodOut = period;
    return ok;
  }
  std::string Log() { return log_.Text(); }
  bool Logged(const std::string& text) { return log_.Has(text); }
  std::vector<DWORD> Codes(int i = 0) { return Dev(i)->Stats().codes; }

  std::string name_ = FormatString("SN00012345 Ch 1 p%lu", GetCurrentProcessId());
  LogCapture log_;
  bool world_ = false;
  std::unique_ptr<CDriverQBX> driver_;
  std::unique_ptr<CAudioAsio> asio_;
};

}  // namespace

TEST_F(AudioAsioTest, DeviceNameFollowsTheOpenDriver) {
  Load();
  EXPECT_EQ(std::string(kPath) + "\\asio3", Path(3));
  driver_->Close();
  EXPECT_EQ("\\asio3", Path(3));
}

TEST_F(AudioAsioTest, OpenFailureIsLoggedOnceWithItsOwnLineFeed) {
  Load();
  const std::string bad = Path(7);  // the board has two devices
  EXPECT_FALSE(asio_->Open(bad));
  EXPECT_EQ(CAudioAsio::kClosed, asio_->GetState());
  const std::string log = Log();
  const std::string line = name_ + ": Failed to open asio device:" + bad + "\n";
  ASSERT_NE(std::string::npos, log.find(line)) << log;
  EXPECT_EQ(std::string::npos, log.find(line + "\n")) << "second line feed";
}

TEST_F(AudioAsioTest, PrepareSendsTheExactRecord) {
  Load();
  ASSERT_TRUE(asio_->Open(Path()));
  uint32_t period = 512;
  ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
  const std::vector<uint8_t> want = {0x20, 0, 0, 0, 0x02, 0, 0, 0, 0x80, 0xBB, 0, 0, 0x00, 0x02, 0, 0};
  EXPECT_EQ(want, Dev()->LastPrepareRecord());
  EXPECT_EQ((std::vector<DWORD>{kPrepare, kCheck, kGetBuffers}), Codes());
  EXPECT_EQ(4096u, asio_->GetBytesPerBuffer());
  EXPECT_EQ(16384u, asio_->GetBytesTotal());
  EXPECT_EQ(CAudioAsio::kPrepared, asio_->GetState());
}

TEST_F(AudioAsioTest, NotStartedDeviceDoesNothing) {
  Load();
  ASSERT_TRUE(asio_->Open(Path()));
  EXPECT_FALSE(asio_->SwitchBuffer());
  EXPECT_EQ(nullptr, asio_->GetInputBuffer());
  EXPECT_EQ(nullptr, asio_->GetOutputBuffer());
  uint32_t period = 512;
  ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
  EXPECT_FALSE(asio_->IsStarted());
  EXPECT_FALSE(asio_->SwitchBuffer());
  EXPECT_EQ(nullptr, asio_->GetInputBuffer());
  EXPECT_EQ(nullptr, asio_->GetOutputBuffer());
  for (DWORD c : Codes()) EXPECT_NE(kSwitch, c);
}

TEST_F(AudioAsioTest, FormatMismatchesFailBeforeGettingBuffers) {
  const struct {
    const char* keys;
    const char* line;
  } cases[] = {
      {"bits_set=24\n", "bits per mono sample 32 (24 set)"},
      {"channels_set=1\n", "number of channels 2 (1 set)"},
      {"rate=44100\n", "sampling rate 48000 (44100 set)"},
  };
  for (const auto& c : cases) {
    Load(c.keys);
    ASSERT_TRUE(asio_->Open(Path()));
    uint32_t period = 512;
    EXPECT_FALSE(asio_->Prepare(48000, 2, 1, period)) << c.keys;
    EXPECT_EQ(CAudioAsio::kOpen, asio_->GetState()) << c.keys;
    EXPECT_TRUE(Logged(name_ + ": asio prepare unsupported " + c.line));
    EXPECT_EQ((std::vector<DWORD>{kPrepare, kCheck}), Codes()) << c.keys;
  }
}

TEST_F(AudioAsioTest, DevicePeriodIsAdopted) {
  Load("period_policy=fixed:480\n");
  ASSERT_TRUE(asio_->Open(Path()));
  uint32_t period = 512;
  ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
  EXPECT_EQ(480u, period);
  uint32_t got = 0;
  EXPECT_TRUE(asio_->GetPeriod(got));
  EXPECT_EQ(480u, got);
  EXPECT_EQ(3840u, asio_->GetBytesPerBuffer());
  EXPECT_EQ(15360u, asio_->GetBytesTotal());
}

TEST_F(AudioAsioTest, BuffersAreHighLowAddressesAndOutputIsZeroed) {
  Load();
  // Device asio1's own mapping, filled with a pattern, is handed to asio0 as
  // its buffers: asio0 must clear both output halves and nothing else.
  CAudioAsio other(name_ + " other");
  uint32_t period = 512;
  ASSERT_TRUE(other.Open(Path(1)));
  ASSERT_TRUE(other.Prepare(48000, 2, 1, period));
  const uintptr_t base = Dev(1)->BufferBase();
  ASSERT_GE(base, uintptr_t(0x80000000u));
  ASSERT_LT(base + 16384, uintptr_t(1) << 32);
  std::memset(reinterpret_cast<void*>(base), 0x5A, 16384);
  const uint32_t addr[4] = {uint32_t(base), uint32_t(base + 4096), uint32_t(base + 8192),
                            uint32_t(base + 12288)};
  ASSERT_TRUE(sim::World::Instance().AddFault("ioctl getbuffers file=asio0 value=" + Hex(addr, 4), "qbx0"));

  ASSERT_TRUE(asio_->Open(Path(0)));
  ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(base);
  for (size_t i = 0; i < 8192; ++i) ASSERT_EQ(0, p[i]) << i;
  for (size_t i = 8192; i < 16384; ++i) ASSERT_EQ(0x5A, p[i]) << i;
  asio_->Close();
  other.Close();
}

TEST_F(AudioAsioTest, ZeroBufferAddressFailsPrepare) {
  Load();
  ASSERT_TRUE(
      sim::World::Instance().AddFault("ioctl getbuffers value=00000090000000000020009000300090", "qbx0"));
  ASSERT_TRUE(asio_->Open(Path()));
  uint32_t period = 512;
  EXPECT_FALSE(asio_->Prepare(48000, 2, 1, period));
  EXPECT_EQ(CAudioAsio::kOpen, asio_->GetState());
  EXPECT_TRUE(Logged(name_ + ": asio getbuffers failed"));
}

TEST_F(AudioAsioTest, HalvesAlternateAndCarryTheDeviceInput) {
  Load();
  ASSERT_TRUE(OpenPrepareStart());
  const uint8_t* base = reinterpret_cast<const uint8_t*>(Dev()->BufferBase());
  ASSERT_TRUE(asio_->SwitchBuffer());
  EXPECT_EQ(base, asio_->GetOutputBuffer());
  EXPECT_EQ(base + 8192, asio_->GetInputBuffer());
  const void* in = asio_->GetInputBuffer();
  for (size_t f = 0; f < 512; ++f)
    for (uint32_t c = 0; c < 2; ++c) ASSERT_EQ(sim::CounterSample(f, c), Sample(in, f * 2 + c));
  ASSERT_TRUE(asio_->SwitchBuffer());
  EXPECT_EQ(base + 4096, asio_->GetOutputBuffer());
  EXPECT_EQ(base + 12288, asio_->GetInputBuffer());
  in = asio_->GetInputBuffer();
  for (size_t f = 0; f < 512; ++f)
    for (uint32_t c = 0; c < 2; ++c) ASSERT_EQ(sim::CounterSample(512 + f, c), Sample(in, f * 2 + c));
  ASSERT_TRUE(asio_->SwitchBuffer());
  EXPECT_EQ(base, asio_->GetOutputBuffer());
}

TEST_F(AudioAsioTest, PartialCopyIsToleratedAndToggles) {
  Load("fault=ioctl switch at=2 err=299\n");
  ASSERT_TRUE(OpenPrepareStart());
  ASSERT_TRUE(asio_->SwitchBuffer());
  void* first = asio_->GetOutputBuffer();
  EXPECT_TRUE(asio_->SwitchBuffer());
  EXPECT_NE(first, asio_->GetOutputBuffer());
  EXPECT_TRUE(asio_->IsStarted());
  EXPECT_EQ(CAudioAsio::kStarted, asio_->GetState());
  EXPECT_TRUE(Logged(name_ + ": asio had low level hardware error, recovered"));
  EXPECT_EQ(1u, Dev()->Stats().faultsInjected);
}

TEST_F(AudioAsioTest, SwitchErrorStopsTheDeviceUntilReopened) {
  Load("fault=ioctl switch at=2 err=31\n");
  ASSERT_TRUE(OpenPrepareStart());
  ASSERT_TRUE(asio_->SwitchBuffer());
  EXPECT_FALSE(asio_->SwitchBuffer());
  EXPECT_EQ(CAudioAsio::kSwitchError, asio_->GetState());
  EXPECT_FALSE(asio_->IsStarted());
  EXPECT_EQ(nullptr, asio_->GetOutputBuffer());
  EXPECT_EQ(nullptr, asio_->GetInputBuffer());
  Dev()->ResetStats();
  EXPECT_FALSE(asio_->SwitchBuffer());  // no control call any more
  EXPECT_TRUE(Codes().empty());
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find(name_ + ": asio switchbuf ioctl error: ")) << log;
  EXPECT_NE(std::string::npos, log.find("(Err 0000001F)")) << log;

  asio_->Close();
  ASSERT_TRUE(OpenPrepareStart());
  EXPECT_TRUE(asio_->IsStarted());
  EXPECT_TRUE(asio_->SwitchBuffer());
}

TEST_F(AudioAsioTest, StartFailureLeavesStateUnchanged) {
  Load("fault=ioctl start count=1 err=21\n");
  ASSERT_TRUE(asio_->Open(Path()));
  uint32_t period = 512;
  ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
  EXPECT_FALSE(asio_->Start());
  EXPECT_EQ(CAudioAsio::kPrepared, asio_->GetState());
  EXPECT_TRUE(Logged(name_ + ": asio start ioctl error: "));
  EXPECT_TRUE(asio_->Start());
  EXPECT_TRUE(asio_->IsStarted());
}

// The codes Close sends from each state, and that the handle is gone after.
TEST_F(AudioAsioTest, CloseCascadesFromEveryState) {
  Load("fault=ioctl switch at=2 err=31\n");
  sim::World& w = sim::World::Instance();
  struct Case {
    int32_t state;
    std::vector<DWORD> codes;
  };
  const std::vector<Case> cases = {
      {CAudioAsio::kClosed, {}},
      {CAudioAsio::kOpen, {}},
      {CAudioAsio::kPrepared, {kUnprepare}},
      {CAudioAsio::kStarted, {kStop, kUnprepare}},
      {CAudioAsio::kSwitchError, {kStop, kUnprepare}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    uint32_t period = 512;
    if (c.state >= CAudioAsio::kOpen) {
      ASSERT_TRUE(asio_->Open(Path()));
    }
    if (c.state >= CAudioAsio::kPrepared) {
      ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
    }
    if (c.state >= CAudioAsio::kStarted) {
      ASSERT_TRUE(asio_->Start());
    }
    if (c.state == CAudioAsio::kSwitchError) {
      ASSERT_TRUE(asio_->SwitchBuffer());
      ASSERT_FALSE(asio_->SwitchBuffer());
    }
    ASSERT_EQ(c.state, asio_->GetState());
    Dev()->ResetStats();
    EXPECT_TRUE(asio_->Close());
    EXPECT_EQ(c.codes, Codes());
    EXPECT_EQ(CAudioAsio::kClosed, asio_->GetState());
    EXPECT_EQ(0, w.OpenHandles("qbx0", "asio0"));
    EXPECT_EQ(0u, asio_->GetBytesPerBuffer());
  }
}

TEST_F(AudioAsioTest, OpenOnAnOpenDeviceClosesFirst) {
  Load();
  ASSERT_TRUE(OpenPrepareStart());
  Dev()->ResetStats();
  ASSERT_TRUE(asio_->Open(Path()));  // exclusive: only works if the old handle went
  EXPECT_EQ((std::vector<DWORD>{kStop, kUnprepare}), Codes());
  EXPECT_EQ(CAudioAsio::kOpen, asio_->GetState());
  EXPECT_EQ(1, sim::World::Instance().OpenHandles("qbx0", "asio0"));
}

TEST_F(AudioAsioTest, FailedPrepareLeavesTheDriverPreparedAndRePrepareWorks) {
  Load("fault=ioctl check count=1 err=31\n");
  ASSERT_TRUE(asio_->Open(Path()));
  uint32_t period = 512;
  EXPECT_FALSE(asio_->Prepare(48000, 2, 1, period));
  EXPECT_TRUE(Logged(name_ + ": asio check ioctl error: "));
  EXPECT_EQ(CAudioAsio::kOpen, asio_->GetState());
  ASSERT_TRUE(asio_->Prepare(48000, 2, 1, period));
  ASSERT_TRUE(asio_->Start());
  EXPECT_TRUE(asio_->SwitchBuffer());
}

TEST_F(AudioAsioTest, DestructorClosesEverything) {
  Load();
  ASSERT_TRUE(OpenPrepareStart());
  Dev()->ResetStats();
  asio_.reset();
  EXPECT_EQ((std::vector<DWORD>{kStop, kUnprepare}), Codes());
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("qbx0", "asio0"));
}

// A switch that hangs in the driver returns late; the device clock has gone
// on meanwhile, so the lost periods show as missed and as a jump in the audio.
TEST_F(AudioAsioTest, HungSwitchCostsWholePeriods) {
  Load("period_policy=fixed:480\nfault=ioctl switch at=2 hang_ms=120\n", "realtime");
  ASSERT_TRUE(OpenPrepareStart());
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(asio_->SwitchBuffer());
    std::memcpy(asio_->GetOutputBuffer(), asio_->GetInputBuffer(), asio_->GetBytesPerBuffer());
  }
  sim::AudioStats s = Dev()->Stats();
  // The hang outlasts whole periods, however long it really took.
  EXPECT_GE(s.missed, 1u);
  EXPECT_GE(s.late, 1u);
  EXPECT_EQ(3u, s.played);
  EXPECT_EQ(3u, s.pass);
  // At least the jump over the hang; a loaded machine may add late calls.
  EXPECT_GE(s.discontinuities, 1u);
}

// The marked stream against the input the device delivered. `plays` names,
// switch by switch, what the program writes for the device to play next: a
// delivery number marked (n), passed through unmarked (-1 - n), or silence
// (kSilence). Delivery n is the input the n-th switch handed out, from 0.
class MarkedContinuityTest : public AudioAsioTest {
 protected:
  static const int kSilence = -1000;
  sim::AudioStats Play(const std::vector<int>& plays) {
    uint32_t period = 0;
    EXPECT_TRUE(OpenPrepareStart(&period));
    const uint32_t bytes = asio_->GetBytesPerBuffer();
    std::vector<std::vector<uint8_t>> inputs;
    for (size_t step = 0; step <= plays.size(); ++step) {
      EXPECT_TRUE(asio_->SwitchBuffer());
      const uint8_t* in = static_cast<const uint8_t*>(asio_->GetInputBuffer());
      inputs.emplace_back(in, in + bytes);
      if (step == plays.size()) break;
      uint8_t* out = static_cast<uint8_t*>(asio_->GetOutputBuffer());
      const int what = plays[step];
      if (what == kSilence) {
        std::memset(out, 0, bytes);
        continue;
      }
      const size_t n = static_cast<size_t>(what >= 0 ? what : -1 - what);
      EXPECT_LT(n, inputs.size()) << "delivery " << n << " has not come yet";
      if (n >= inputs.size()) continue;
      std::memcpy(out, inputs[n].data(), bytes);
      // The stand-in embedder's mark: the tag nibble 0x10 becomes 0xA0.
      if (what >= 0)
        for (uint32_t i = 0; i < bytes; i += 4) out[i] = static_cast<uint8_t>((out[i] & 0x0F) | 0xA0);
    }
    return Dev()->Stats();
  }
};

TEST_F(MarkedContinuityTest, AStreamOneBehindItsInputIsOneWholeRun) {
  Load();
  const sim::AudioStats s = Play({kSilence, 0, 1, kSilence, 2, 3, 4, 5});
  EXPECT_EQ(6u, s.marked);
  EXPECT_EQ(1u, s.markedRuns);
  EXPECT_EQ(0u, s.markedLost);
  EXPECT_EQ(0u, s.markedDuplicated);
  EXPECT_EQ(0u, s.markedReordered);
}

TEST_F(MarkedContinuityTest, EachFaultOfTheStreamCountsItsSamples) {
  Load();
  const sim::AudioStats s = Play({kSilence, kSilence, kSilence, 0, 2, 3, 3, 5, 4, 6});
  EXPECT_EQ(1u, s.markedRuns);
  EXPECT_EQ(512u, s.markedLost);  // 1; 4 came late, so it was not lost
  EXPECT_EQ(512u, s.markedDuplicated);
  EXPECT_EQ(512u, s.markedReordered);
}

TEST_F(MarkedContinuityTest, PassedAudioEndsARunAndItsDrainedTailIsNoLoss) {
  Load();
  const sim::AudioStats s = Play({kSilence, kSilence, 0, 1, -1 - 2, 4, 5, 0});
  EXPECT_EQ(2u, s.markedRuns);
  EXPECT_EQ(0u, s.markedLost);
  // Delivery 0 was carried by the first run: the second plays it again.
  EXPECT_EQ(512u, s.markedDuplicated);
  EXPECT_EQ(0u, s.markedReordered);
}

TEST_F(MarkedContinuityTest, AudioThatWasNeverDeliveredLatelyIsOutOfPlace) {
  Load();
  uint32_t period = 0;
  ASSERT_TRUE(OpenPrepareStart(&period));
  ASSERT_TRUE(asio_->SwitchBuffer());
  // Marked audio of frame 0x123400, far from anything delivered.
  uint8_t* out = static_cast<uint8_t*>(asio_->GetOutputBuffer());
  for (uint32_t f = 0; f < period; ++f)
    for (uint32_t c = 0; c < 2; ++c) {
      const uint32_t v = ((0x123400u + f) << 8) | 0xA0u | c;
      std::memcpy(out + (f * 2 + c) * 4, &v, 4);
    }
  ASSERT_TRUE(asio_->SwitchBuffer());
  const sim::AudioStats s = Dev()->Stats();
  EXPECT_EQ(1u, s.marked);
  EXPECT_EQ(period, s.markedReordered);
  EXPECT_EQ(0u, s.markedRuns);
}

// Periods the device went on without the program were never delivered: the
// marked stream jumps (a break) but loses nothing.
TEST_F(MarkedContinuityTest, PeriodsMissedByALateProgramAreNotLost) {
  Load("period_policy=fixed:480\nfault=ioctl switch at=3 hang_ms=120\n", "realtime");
  const sim::AudioStats s = Play({0, 1, 2, 3, 4, 5});
  EXPECT_GE(s.missed, 1u);
  EXPECT_GE(s.markedBreaks, 1u);
  EXPECT_EQ(1u, s.markedRuns);
  EXPECT_EQ(0u, s.markedLost);
  EXPECT_EQ(0u, s.markedDuplicated);
  EXPECT_EQ(0u, s.markedReordered);
}
