// The channel's rules, free of threads and clocks: resynchronisation times,
// counters, the slow-pass limit, the device back-off and the status record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/BoardBlock.h"
#include "service/WatermarkChannel.h"

namespace {

const int64_t kT = 1700000000;

TEST(ChannelRules, RegularResyncSixtySecondsAfterRtStartThenEveryTwelveHours) {
  const int64_t base = ResyncBaseAtRtStart(kT);
  EXPECT_EQ(ResyncDecision::kNone, DecideResync(kT + 59, base, 0, 0, 48000).reason);
  EXPECT_EQ(ResyncDecision::kRegular, DecideResync(kT + 60, base, 0, 0, 48000).reason);
  // After a resync (or a refused one, 81) at T + 60 the next is due 43200 s on.
  EXPECT_EQ(ResyncDecision::kNone, DecideResync(kT + 60 + 43199, kT + 60, 0, 0, 48000).reason);
  EXPECT_EQ(ResyncDecision::kRegular, DecideResync(kT + 60 + 43200, kT + 60, 0, 0, 48000).reason);
  // Seconds past 2^31 and 2^32 count the same.
  for (int64_t now : {int64_t(1) << 31, int64_t(1) << 32, (int64_t(1) << 32) + 7}) {
    EXPECT_EQ(ResyncDecision::kNone, DecideResync(now, now - 43199, 0, 0, 48000).reason) << now;
    EXPECT_EQ(ResyncDecision::kRegular, DecideResync(now, now - 43200, 0, 0, 48000).reason) << now;
  }
}

TEST(ChannelRules, DriftOfTenSecondsResyncs) {
  const uint64_t hundredSeconds = 48000ull * 100;
  // 110 s of wall time for 100 s of audio: 10.0 s.
  ResyncDecision d = DecideResync(kT + 110, kT, hundredSeconds, kT, 48000);
  EXPECT_EQ(ResyncDecision::kDrift, d.reason);
  EXPECT_DOUBLE_EQ(10.0, d.drift);
  EXPECT_EQ(ResyncDecision::kNone, DecideResync(kT + 109, kT, hundredSeconds, kT, 48000).reason);
  // The audio is counted in whole seconds: 100.1 s of it is 100.
  EXPECT_EQ(ResyncDecision::kDrift, DecideResync(kT + 110, kT, hundredSeconds + 4800, kT, 48000).reason);
  // Audio ahead of the clock drifts as well.
  EXPECT_EQ(ResyncDecision::kDrift, DecideResync(kT + 90, kT, hundredSeconds, kT, 48000).reason);
  // Nothing fed since the reference: no drift, whatever the clock did.
  EXPECT_EQ(ResyncDecision::kNone, DecideResync(kT + 5000, kT, 0, 0, 48000).reason);
}

TEST(ChannelRules, FramesSinceRtStartSaturateBelowTheLimit) {
  EXPECT_EQ(1024, AddFramesSaturating(512, 512));
  EXPECT_EQ(2147483646, AddFramesSaturating(2147483646 - 512, 512));
  EXPECT_EQ(2147483135, AddFramesSaturating(2147483135, 512));
  EXPECT_EQ(2147483646, AddFramesSaturating(2147483646, 5120));
}

TEST(ChannelRules, SlowPassLimitIsThreePeriods) {
  EXPECT_EQ(32u, SlowPassLimitMs(512, 48000));
  EXPECT_EQ(160u, SlowPassLimitMs(2560, 48000));
  EXPECT_EQ(320u, SlowPassLimitMs(5120, 48000));
}

TEST(ChannelRules, DeviceStepsWaitTheirBackOff) {
  CAudioRetry r;
  EXPECT_TRUE(IsDeviceStepAllowed(r, 1));  // state 2 at construction
  SetRetryState(r, CAudioRetry::kGood, 100, 7);
  EXPECT_TRUE(IsDeviceStepAllowed(r, 100));
  SetRetryBackOff(r, 10000, 1000, 8);
  EXPECT_FALSE(IsDeviceStepAllowed(r, 10999));
  EXPECT_TRUE(IsDeviceStepAllowed(r, 11000));
  // A repeated failure waits the whole back-off again.
  SetRetryBackOff(r, 10000, 11000, 9);
  EXPECT_FALSE(IsDeviceStepAllowed(r, 11200));
  EXPECT_FALSE(IsDeviceStepAllowed(r, 20999));
  EXPECT_TRUE(IsDeviceStepAllowed(r, 21000));
  // The low 32 bits wrap between failure and retry.
  SetRetryBackOff(r, 5000, 0x1FFFFF000ull, 10);
  EXPECT_FALSE(IsDeviceStepAllowed(r, 0x200000000ull + 100));
  EXPECT_TRUE(IsDeviceStepAllowed(r, 0x1FFFFF000ull + 5000));
  // A state set "when it is not already" keeps its first tick.
  SetRetryState(r, CAudioRetry::kClosedForChange, 50, 11);
  SetRetryState(r, CAudioRetry::kClosedForChange, 60, 12);
  EXPECT_EQ(50u, r.tick);
}

TEST(ChannelRules, FailedCreationWaitsUnlessTheSettingsChange) {
  CCreationRetry r;
  EXPECT_FALSE(IsCreationDeferred(r, 0, 1, 0));
  r.failed = true;
  r.tick = 1000;
  r.flags = 1;
  r.channel = 5;
  EXPECT_TRUE(IsCreationDeferred(r, 5999, 1, 5));
  EXPECT_FALSE(IsCreationDeferred(r, 6000, 1, 5));
  EXPECT_FALSE(IsCreationDeferred(r, 1200, 1, 1));
  EXPECT_FALSE(IsCreationDeferred(r, 1200, 3, 5));
}

// ---- status record

struct Record {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kStatusRecordSize, 0xEE);
  uint8_t* data() { return bytes.data(); }
  uint8_t status() const { return bytes[0]; }
  uint8_t bits() const { return bytes[1]; }
};

std::string Line(const char* line) { return line ? line : "(none)"; }

TEST(ChannelStatus, TransitionsLinesAndAlarm) {
  std::string names[64];
  ChannelStatusView v;
  v.libraryLoaded = true;
  v.names = names;
  Record r;
  struct Step {
    bool enabled, notSupported, started, rt;
    const char* line;
    uint8_t status, bits;
  } const steps[] = {
      {false, false, false, false, "%s: Status changed to OFF", 0, 0x02},
      {false, false, false, false, nullptr, 0, 0x02},
      {true, false, false, false, "%s: Status changed to AUDIO ERROR", 5, 0x06},
      {true, false, false, false, nullptr, 5, 0x06},
      {true, false, true, false, "%s: Status changed to ERROR", 2, 0x07},
      {true, false, true, true, "%s: Status changed to RUNNING", 1, 0x03},
      {true, false, true, true, nullptr, 1, 0x03},
      {true, false, false, true, "%s: Status changed to AUDIO ERROR", 5, 0x06},
      {true, true, false, false, "%s: Status changed to NOT SUPPORTED", 6, 0x06},
      // Disabled with a device still started: the bit shows what is true now.
      {false, false, true, false, "%s: Status changed to OFF", 0, 0x03},
      {false, false, false, false, nullptr, 0, 0x02},
  };
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    const Step& s = steps[i];
    v.enabled = s.enabled;
    v.notSupported = s.notSupported;
    v.deviceStarted = s.started;
    v.rtRunning = s.rt;
    EXPECT_EQ(Line(s.line), Line(WriteStatusRecord(r.data(), v))) << i;
    EXPECT_EQ(s.status, r.status()) << i;
    EXPECT_EQ(s.bits, r.bits()) << i;
  }
  // Edge-set alarm: a client that clears it on a RUNNING-to-ERROR channel
  // keeps it cleared; AUDIO ERROR sets it on every call.
  v = ChannelStatusView();
  v.names = names;
  v.enabled = true;
  v.deviceStarted = true;
  WriteStatusRecord(r.data(), v);
  r.bytes[1] &= ~0x04;
  EXPECT_EQ(nullptr, WriteStatusRecord(r.data(), v));
  EXPECT_EQ(0x01, r.bits());
  v.deviceStarted = false;
  WriteStatusRecord(r.data(), v);
  r.bytes[1] &= ~0x04;
  WriteStatusRecord(r.data(), v);
  EXPECT_EQ(0x04, r.bits());
  // A scribbled status byte is rewritten, with one line.
  r.bytes[0] = 0x77;
  EXPECT_EQ(Line("%s: Status changed to AUDIO ERROR"), Line(WriteStatusRecord(r.data(), v)));
}

TEST(ChannelStatus, NamesIdAndReservedBytes) {
  std::string names[64] = {"STANDIN_A", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "certif"};
  ChannelStatusView v;
  v.names = names;
  v.nameCount = -1;
  v.selected = 1;
  Record r;
  WriteStatusRecord(r.data(), v);
  EXPECT_EQ(0xFFFFFFFFu, LoadU32(r.data() + 4));
  EXPECT_EQ(0, LoadU16(r.data() + 2));
  for (uint32_t i = 12; i < kStatusRecordSize; ++i) ASSERT_EQ(0, r.bytes[i]) << i;

  Record r2;
  v.nameCount = 3;
  v.watermarkId = 4711;
  WriteStatusRecord(r2.data(), v);
  const uint8_t id[] = {0x67, 0x12, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(id, r2.data() + 8, 4));
  EXPECT_EQ(3u, LoadU32(r2.data() + 4));
  // 26 characters: 24 bytes, no terminator.
  EXPECT_EQ(0, std::memcmp("ABCDEFGHIJKLMNOPQRSTUVWX", r2.data() + 12, 24));
  EXPECT_EQ(0, std::memcmp("ABCDEFGHIJKLMNOPQRSTUVWX", r2.data() + 36 + 24, 24));
  std::vector<uint8_t> first(24, 0);
  std::memcpy(first.data(), "STANDIN_A", 9);
  EXPECT_EQ(0, std::memcmp(first.data(), r2.data() + 36, 24));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(i < 3 ? 1 : 0, r2.bytes[1572 + i]) << i;
  for (uint32_t i = 36 + 3 * 24; i < 1572; ++i) ASSERT_EQ(0, r2.bytes[i]) << i;

  // A selection outside the names: zeros.
  v.selected = 3;
  WriteStatusRecord(r2.data(), v);
  for (uint32_t i = 12; i < 36; ++i) EXPECT_EQ(0, r2.bytes[i]) << i;
}

}  // namespace
