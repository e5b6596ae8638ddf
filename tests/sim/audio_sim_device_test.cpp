// The simulated audio device on its own: its rules (classification,
// generator, device format, pacing arithmetic) and its control-code state
// machine, driven directly without a board world.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/boards/audio/AudioDevice.h"

using sim::AudioClass;
using sim::AudioConfig;
using sim::AudioDevice;
using sim::AudioFormat;

namespace {

std::vector<uint8_t> Counter32(uint32_t channels, uint64_t first, uint32_t frames) {
  std::vector<uint8_t> v(size_t(frames) * channels * 4);
  sim::GenerateCounter(v.data(), 32, channels, first, frames);
  return v;
}

void PutSample(std::vector<uint8_t>& v, size_t index, uint32_t s) { std::memcpy(&v[index * 4], &s, 4); }

uint32_t GetSample(const uint8_t* p, size_t index) {
  uint32_t s;
  std::memcpy(&s, p + index * 4, 4);
  return s;
}

// A device driven the way a program drives it, through raw control codes.
struct Driven {
  explicit Driven(AudioConfig cfg) : dev(cfg, 0x12345, 0) {}
  DWORD Prepare(uint32_t bits, uint32_t channels, uint32_t rate, uint32_t period) {
    uint32_t rec[4] = {bits, channels, rate, period};
    return dev.Ioctl(sim::kAsioPrepare, rec, 16, nullptr, 0, &ret, nullptr);
  }
  DWORD GetBuffers() {
    DWORD e = dev.Ioctl(sim::kAsioGetBuffers, nullptr, 0, addr, 16, &ret, nullptr);
    return e;
  }
  DWORD Code(DWORD code, const sim::IoctlFault* f = nullptr) {
    return dev.Ioctl(code, nullptr, 0, nullptr, 0, &ret, f);
  }
  // Open, prepared for 32-bit stereo at 48 kHz, buffers taken, started.
  bool Started(uint32_t period) {
    return dev.Open() == 0 && Prepare(32, 2, 48000, period) == 0 && GetBuffers() == 0 &&
           Code(sim::kAsioStart) == 0;
  }
  uint8_t* Buf(int i) { return reinterpret_cast<uint8_t*>(uintptr_t(addr[i])); }
  AudioDevice dev;
  DWORD ret = 0;
  uint32_t addr[4] = {};
};

AudioConfig FastConfig() {
  AudioConfig c;
  c.fast = true;
  return c;
}

}  // namespace

TEST(AudioSimRules, ClassifiesSilencePassAndMarked) {
  std::vector<uint8_t> zero(512 * 2 * 4, 0);
  EXPECT_EQ(AudioClass::Silence, sim::ClassifyPeriod(zero.data(), 32, 2, 512, nullptr));

  uint32_t start = 0;
  auto pass = Counter32(2, 1000, 512);
  EXPECT_EQ(AudioClass::Pass, sim::ClassifyPeriod(pass.data(), 32, 2, 512, &start));
  EXPECT_EQ(1000u, start);

  auto marked = pass;
  for (size_t i = 0; i < 1024; ++i) PutSample(marked, i, (GetSample(marked.data(), i) & ~0xF0u) | 0xA0u);
  EXPECT_EQ(AudioClass::Marked, sim::ClassifyPeriod(marked.data(), 32, 2, 512, &start));
  EXPECT_EQ(1000u, start);
}

TEST(AudioSimRules, MixedOrMisalignedHalvesAreOther) {
  auto half = Counter32(2, 0, 512);
  for (size_t i = 512; i < 1024; ++i) PutSample(half, i, (GetSample(half.data(), i) & ~0xF0u) | 0xA0u);
  EXPECT_EQ(AudioClass::Other, sim::ClassifyPeriod(half.data(), 32, 2, 512, nullptr));

  // One sample late: channels swap places, the low nibbles no longer match.
  auto shifted = Counter32(2, 0, 513);
  EXPECT_EQ(AudioClass::Other, sim::ClassifyPeriod(shifted.data() + 4, 32, 2, 512, nullptr));

  // A gap inside the period.
  auto gap = Counter32(2, 0, 512);
  PutSample(gap, 600, sim::CounterSample(400, 0));
  EXPECT_EQ(AudioClass::Other, sim::ClassifyPeriod(gap.data(), 32, 2, 512, nullptr));

  // 16-bit data never counts as pass-through.
  std::vector<uint8_t> s16(512 * 2 * 2);
  sim::GenerateCounter(s16.data(), 16, 2, 5, 512);
  EXPECT_EQ(AudioClass::Other, sim::ClassifyPeriod(s16.data(), 16, 2, 512, nullptr));
}

TEST(AudioSimRules, CounterWrapsAt24BitsAndStaysContiguous) {
  auto wrap = Counter32(2, 0xFFFFFF - 10, 64);
  EXPECT_EQ(0x10u, GetSample(wrap.data(), 22));  // frame 0x1000000 -> counter 0, channel 0
  EXPECT_EQ(0x11u, GetSample(wrap.data(), 23));
  uint32_t start = 0;
  EXPECT_EQ(AudioClass::Pass, sim::ClassifyPeriod(wrap.data(), 32, 2, 64, &start));
  EXPECT_EQ(0xFFFFFFu - 10, start);
}

TEST(AudioSimRules, GeneratorTruncatesNarrowFormats) {
  uint8_t b[4];
  sim::GenerateCounter(b, 16, 2, 0x123456, 1);
  const uint32_t s0 = sim::CounterSample(0x123456, 0);
  EXPECT_EQ(uint8_t(s0 >> 16), b[0]);
  EXPECT_EQ(uint8_t(s0 >> 24), b[1]);
}

TEST(AudioSimRules, DeviceFormatFollowsConfig) {
  AudioConfig c;
  AudioFormat req{32, 2, 44100, 512};
  AudioFormat set = sim::DeviceFormatFor(c, req);
  EXPECT_EQ(32u, set.bits);
  EXPECT_EQ(2u, set.channels);
  EXPECT_EQ(48000u, set.rate);  // the device's rate, not the request's
  EXPECT_EQ(512u, set.period);

  ASSERT_TRUE(c.Set("supported_bits", "24,16"));
  ASSERT_TRUE(c.Set("period_policy", "fixed:480"));
  ASSERT_TRUE(c.Set("channels_set", "1"));
  set = sim::DeviceFormatFor(c, req);
  EXPECT_EQ(24u, set.bits);
  EXPECT_EQ(1u, set.channels);
  EXPECT_EQ(480u, set.period);
  req.bits = 16;
  EXPECT_EQ(16u, sim::DeviceFormatFor(c, req).bits);
}

TEST(AudioSimRules, ConfigKeysAcceptOnlyValidValues) {
  AudioConfig c;
  EXPECT_TRUE(c.Set("rate", "44100"));
  EXPECT_EQ(44100u, c.rate);
  EXPECT_TRUE(c.Set("input", "sine:440"));
  EXPECT_EQ(sim::InputKind::Sine, c.input);
  EXPECT_TRUE(c.Set("input", "wav:C:\\x.wav"));
  EXPECT_EQ("C:\\x.wav", c.wavFile);
  EXPECT_TRUE(c.Set("bits_set", "24"));
  EXPECT_TRUE(c.Set("clock_ppm", "-50"));
  EXPECT_TRUE(c.Set("period_policy", "as_requested"));
  EXPECT_EQ(0u, c.fixedPeriod);

  EXPECT_FALSE(c.Set("rate", "fast"));
  EXPECT_FALSE(c.Set("rate", "0"));
  EXPECT_FALSE(c.Set("supported_bits", "32,"));
  EXPECT_FALSE(c.Set("bits_set", "20"));
  EXPECT_FALSE(c.Set("period_policy", "fixed:0"));
  EXPECT_FALSE(c.Set("input", "noise"));
  EXPECT_FALSE(c.Set("kind", "QBX"));  // not an audio key
}

TEST(AudioSimRules, BoundariesDoNotAccumulateRounding) {
  // 512 frames at 48000 Hz on a 10 MHz counter is 106666.67 ticks: each
  // boundary is computed from t0, so period 3000 lands exactly.
  EXPECT_EQ(100 + 106666, sim::PeriodBoundary(100, 1, 512, 10000000, 48000, 0));
  EXPECT_EQ(100 + 320000000, sim::PeriodBoundary(100, 3000, 512, 10000000, 48000, 0));
  // A device clock 1000 ppm fast makes the same periods shorter.
  EXPECT_LT(sim::PeriodBoundary(0, 3000, 512, 10000000, 48000, 1000.0), 320000000 - 300000);
}

TEST(AudioSimDevice, RejectsCallsWithoutBytesReturned) {
  AudioDevice dev(FastConfig(), 1, 0);
  ASSERT_EQ(0u, dev.Open());
  uint32_t rec[4] = {32, 2, 48000, 512};
  EXPECT_EQ(87u, dev.Ioctl(sim::kAsioPrepare, rec, 16, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(1u, dev.Stats().ioctlViolations);
  dev.Close();
}

TEST(AudioSimDevice, StateMachineAnswersWrongOrders) {
  Driven d(FastConfig());
  ASSERT_EQ(0u, d.dev.Open());
  EXPECT_EQ(21u, d.Code(sim::kAsioStart));   // not prepared
  EXPECT_EQ(21u, d.Code(sim::kAsioSwitch));  // not started
  EXPECT_EQ(1u, d.Code(0x84448400));         // unknown code
  uint32_t shortRec[3] = {32, 2, 48000};
  EXPECT_EQ(87u, d.dev.Ioctl(sim::kAsioPrepare, shortRec, 12, nullptr, 0, &d.ret, nullptr));
  ASSERT_EQ(0u, d.Prepare(32, 2, 48000, 512));
  EXPECT_EQ(21u, d.Code(sim::kAsioStart));  // prepared but no buffers yet
  ASSERT_EQ(0u, d.GetBuffers());
  EXPECT_EQ(16u, d.ret);
  ASSERT_EQ(0u, d.Code(sim::kAsioStart));
  EXPECT_EQ(21u, d.Code(sim::kAsioStart));       // already started
  EXPECT_EQ(170u, d.Code(sim::kAsioUnprepare));  // stop must come first
  EXPECT_EQ(170u, d.Prepare(32, 2, 48000, 512));
  EXPECT_EQ(0u, d.Code(sim::kAsioStop));
  EXPECT_EQ(21u, d.Code(sim::kAsioStop));
  EXPECT_EQ(0u, d.Code(sim::kAsioUnprepare));
  EXPECT_EQ(21u, d.Code(sim::kAsioUnprepare));
  d.dev.Close();
  EXPECT_EQ(0u, d.dev.Stats().ioctlViolations);
}

TEST(AudioSimDevice, BuffersLieAbove2GiBBelow4GiBAndDieAtUnprepare) {
  Driven d(FastConfig());
  ASSERT_EQ(0u, d.dev.Open());
  ASSERT_EQ(0u, d.Prepare(32, 2, 48000, 512));
  ASSERT_EQ(0u, d.GetBuffers());
  for (int i = 0; i < 4; ++i) {
    EXPECT_GE(d.addr[i], 0x80000000u);
    EXPECT_EQ(d.addr[0] + 4096u * i, d.addr[i]);
  }
  for (int i = 0; i < 16384; ++i) ASSERT_EQ(0, d.Buf(0)[i]);
  ASSERT_EQ(0u, d.Code(sim::kAsioUnprepare));
  MEMORY_BASIC_INFORMATION mbi;
  ASSERT_NE(0u, VirtualQuery(d.Buf(0), &mbi, sizeof mbi));
  EXPECT_EQ(DWORD(PAGE_NOACCESS), mbi.Protect);
  d.dev.Close();
  ASSERT_NE(0u, VirtualQuery(d.Buf(0), &mbi, sizeof mbi));
  EXPECT_EQ(DWORD(MEM_FREE), mbi.State);
}

TEST(AudioSimDevice, FastPassThroughIsClassifiedAndContinuous) {
  Driven d(FastConfig());
  ASSERT_TRUE(d.Started(512));
  int half = 1;
  for (int j = 1; j <= 2000; ++j) {
    ASSERT_EQ(0u, d.Code(sim::kAsioSwitch));
    half ^= 1;
    // The input half holds device period j of the counter generator.
    ASSERT_EQ(sim::CounterSample(uint64_t(j - 1) * 512, 0), GetSample(d.Buf(2 + half), 0));
    std::memcpy(d.Buf(half), d.Buf(2 + half), 4096);
  }
  sim::AudioStats s = d.dev.Stats();
  EXPECT_EQ(1999u, s.played);
  EXPECT_EQ(1999u, s.pass);
  EXPECT_EQ(0u, s.discontinuities);
  EXPECT_EQ(1, s.latency);
  EXPECT_EQ(0u, s.missed);
  ASSERT_FALSE(s.transitions.empty());
  EXPECT_EQ(AudioClass::Pass, s.transitions.back().to);
  d.dev.Close();
}

TEST(AudioSimDevice, ClassifiesSilenceThenMarkedAndCountsDiscontinuity) {
  Driven d(FastConfig());
  ASSERT_TRUE(d.Started(256));
  int half = 1;
  for (int j = 1; j <= 30; ++j) {
    ASSERT_EQ(0u, d.Code(sim::kAsioSwitch));
    half ^= 1;
    if (j <= 10) {
      std::memset(d.Buf(half), 0, 2048);
    } else if (j != 20) {  // period 20: the program keeps the stale half
      std::memcpy(d.Buf(half), d.Buf(2 + half), 2048);
      for (int i = 0; i < 512; ++i) d.Buf(half)[i * 4] = uint8_t(0xA0 | (i & 1));
    }
  }
  d.Code(sim::kAsioSwitch);
  sim::AudioStats s = d.dev.Stats();
  EXPECT_EQ(30u, s.played);
  EXPECT_EQ(10u, s.silence);
  EXPECT_EQ(20u, s.marked);
  EXPECT_GE(s.firstMarkedMs, 0.0);
  // The stale half repeats period 18's audio: a jump back and one forward.
  EXPECT_EQ(2u, s.discontinuities);
  ASSERT_EQ(1u, s.transitions.size());
  EXPECT_EQ(11u, s.transitions[0].period);
  EXPECT_EQ(AudioClass::Marked, s.transitions[0].to);
  d.dev.Close();
}

TEST(AudioSimDevice, SwitchFaultsToggleOnlyOnPartialCopy) {
  Driven d(FastConfig());
  ASSERT_TRUE(d.Started(64));
  sim::IoctlFault partial;
  partial.err = 299;
  EXPECT_EQ(299u, d.Code(sim::kAsioSwitch, &partial));
  // Half 0 was filled with period 1 even though the call reported an error.
  EXPECT_EQ(sim::CounterSample(0, 0), GetSample(d.Buf(2), 0));
  sim::IoctlFault general;
  general.err = 31;
  EXPECT_EQ(31u, d.Code(sim::kAsioSwitch, &general));
  EXPECT_EQ(0u, GetSample(d.Buf(3), 0));  // no toggle, no fill
  EXPECT_EQ(2u, d.dev.Stats().faultsInjected);
  d.dev.Close();
}

TEST(AudioSimDevice, CancelOrCloseEndsABlockedSwitchWith995) {
  Driven d(FastConfig());
  ASSERT_TRUE(d.Started(64));
  sim::IoctlFault hang;
  hang.hangMs = 60000;
  std::atomic<DWORD> thread{0};
  DWORD result = 0;
  auto hangingSwitch = [&] {
    thread = GetCurrentThreadId();
    DWORD ret = 0;
    result = d.dev.Ioctl(sim::kAsioSwitch, nullptr, 0, nullptr, 0, &ret, &hang);
    d.dev.ForgetCancel(thread);
  };
  // A cancel ends the call it reaches, and only that one: the device stays
  // started and its next switch is answered.
  std::thread cancelled(hangingSwitch);
  while (d.dev.Stats().faultsInjected == 0 || thread == 0) Sleep(1);
  d.dev.Cancel(thread);
  cancelled.join();
  EXPECT_EQ(995u, result);
  EXPECT_EQ(0u, d.Code(sim::kAsioSwitch));

  // Close races the switch on purpose; whichever comes first, the switch
  // must not outlive the session.
  std::thread closed(hangingSwitch);
  while (d.dev.Stats().faultsInjected < 2) Sleep(1);
  Sleep(20);
  d.dev.Close();
  closed.join();
  EXPECT_EQ(995u, result);
}

TEST(AudioSimDevice, UnplugFailsEverythingWith1167) {
  Driven d(FastConfig());
  ASSERT_EQ(0u, d.dev.Open());
  ASSERT_EQ(0u, d.Prepare(32, 2, 48000, 64));
  d.dev.Unplug();
  EXPECT_EQ(1167u, d.GetBuffers());
  d.dev.Close();
  EXPECT_EQ(1167u, d.dev.Open());
  d.dev.Replug();
  EXPECT_EQ(0u, d.dev.Open());
  d.dev.Close();
}

TEST(AudioSimDevice, LateCallsSkipWholePeriodsInRealtime) {
  AudioConfig c;  // realtime pacing
  Driven d(c);
  ASSERT_TRUE(d.Started(480));  // 10 ms periods
  ASSERT_EQ(0u, d.Code(sim::kAsioSwitch));
  Sleep(60);  // whole periods go by without a call
  ASSERT_EQ(0u, d.Code(sim::kAsioSwitch));
  sim::AudioStats s = d.dev.Stats();
  // However long the pause really was: it shows as missed periods, the call
  // after it as late, and the input follows the device clock.
  EXPECT_GE(s.missed, 1u);
  EXPECT_GE(s.late, 1u);
  // The input of the second call follows the device clock, not the calls.
  const uint32_t first = GetSample(d.Buf(3), 0) >> 8;
  EXPECT_EQ((s.missed + 1) * 480, first);
  d.dev.Close();
}

TEST(AudioSimDevice, BlackBoxModeWritesStatsAndRawCapture) {
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  const std::string dir = std::string(tmp) + "audio_cap_" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);
  AudioConfig c = FastConfig();
  ASSERT_TRUE(c.Set("capture_dir", dir));
  ASSERT_TRUE(c.Set("capture_seconds", "1"));
  {
    Driven d(c);
    ASSERT_TRUE(d.Started(480));
    int half = 1;
    for (int j = 1; j <= 150; ++j) {  // 1.5 s of audio, of which 1 s is captured
      ASSERT_EQ(0u, d.Code(sim::kAsioSwitch));
      half ^= 1;
      std::memcpy(d.Buf(half), d.Buf(2 + half), 3840);
    }
    d.dev.Close();
  }
  const std::string base = dir + "\\SN00012345_asio0";
  FILE* f = std::fopen((base + ".stats").c_str(), "r");
  ASSERT_NE(nullptr, f);
  char text[2048] = {};
  std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  EXPECT_NE(nullptr, std::strstr(text, "played=149\n")) << text;
  EXPECT_NE(nullptr, std::strstr(text, "pass=149\n")) << text;
  WIN32_FILE_ATTRIBUTE_DATA fa;
  ASSERT_TRUE(GetFileAttributesExA((base + ".raw").c_str(), GetFileExInfoStandard, &fa));
  EXPECT_EQ(48000u * 8u, fa.nFileSizeLow);
  // The capture begins with the first played half: input period 1.
  f = std::fopen((base + ".raw").c_str(), "rb");
  ASSERT_NE(nullptr, f);
  uint32_t first[2] = {};
  ASSERT_EQ(2u, std::fread(first, 4, 2, f));
  std::fclose(f);
  EXPECT_EQ(sim::CounterSample(0, 0), first[0]);
  EXPECT_EQ(sim::CounterSample(0, 1), first[1]);
  DeleteFileA((base + ".stats").c_str());
  DeleteFileA((base + ".raw").c_str());
  RemoveDirectoryA(dir.c_str());
}
