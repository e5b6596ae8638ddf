// Every export reaches the matching SDK operation with its arguments and
// returns the SDK's result unchanged; callbacks come back on the SDK's threads
// with the caller's context, and their results reach the SDK.
#include "ostrel_fixture.h"

#include <cstdio>

namespace {

void ExpectInOrder(const std::string& trace, const std::vector<std::string>& parts) {
  size_t pos = 0;
  for (const auto& p : parts) {
    size_t at = trace.find(p, pos);
    ASSERT_NE(std::string::npos, at) << "missing or out of order: " << p << "\n" << trace;
    pos = at + p.size();
  }
}

std::string TempDir(const char* tag) {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  char dir[MAX_PATH];
  snprintf(dir, sizeof dir, "%sostrel_%s_%lu", base, tag, GetCurrentProcessId());
  CreateDirectoryA(dir, nullptr);
  return dir;
}

}  // namespace

TEST_F(OstrelTest, BoardSideCallsReachTheSdkInOrderWithTheirArguments) {
  std::string dir = TempDir("rec");
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("cfg-one", "cfg-two", &Sink::OnLog, &Sink::OnAudio, &sink,
                                                  &handle));
  EXPECT_EQ(0, Ostrel_SetThreadPriority(handle, 15));
  EXPECT_EQ(0, Ostrel_SetBitsPerSample(handle, 32));
  EXPECT_EQ(0, Ostrel_SetChannels(handle, 2));
  const char* const* names = nullptr;
  int count = 0;
  ASSERT_EQ(0, Ostrel_GetChannelNameList(handle, &names, &count));
  ASSERT_EQ(3, count);
  EXPECT_STREQ("STANDIN_A", names[0]);
  EXPECT_STREQ("certif", names[2]);
  const uint32_t* ids = nullptr;
  count = 0;
  ASSERT_EQ(0, Ostrel_GetChannelNameIDList(handle, &names, &ids, &count));
  ASSERT_EQ(3, count);
  EXPECT_EQ(1001u, ids[1]);
  EXPECT_EQ(0, Ostrel_SetChannelName(handle, names[1]));
  EXPECT_EQ(0, Ostrel_EnableRecord(handle, dir.c_str()));
  EXPECT_EQ(0, Ostrel_SetThreadCPUAffinity(handle, 1));
  EXPECT_EQ(0, Ostrel_Initialize(handle));
  EXPECT_EQ(0, Ostrel_ResynchronizeTimecode(handle));
  EXPECT_EQ(0, Ostrel_Finalize(handle));
  EXPECT_EQ(0, Ostrel_DestroySnapLiveAudioEmbedder(&handle));

  ExpectInOrder(Trace(),
                {"Create(\"cfg-one\",\"cfg-two\",", "SetThreadPriority(15) -> 0", "SetBitsPerSample(32) -> 0",
                 "SetChannels(2) -> 0", "GetChannelNameList() -> 0", "GetChannelNameIDList() -> 0",
                 "SetChannelName(\"STANDIN_B\") -> 0", "EnableRecord(\"" + dir + "\") -> 0",
                 "SetThreadCPUAffinity(0x1) -> 0", "Initialize() -> 0", "ResynchronizeTimecode() -> 0",
                 "Finalize() -> 0", "Destroy() -> 0"});
  SnapStubStats s = Stats(1);
  EXPECT_EQ(15, s.priority);
  EXPECT_EQ(1, s.affinity);
  EXPECT_EQ(4711, s.watermark_id);
  EXPECT_EQ(1, s.resyncs);
  std::string rec = dir + "\\snap_record.raw";
  DeleteFileA(rec.c_str());
  RemoveDirectoryA(dir.c_str());
}

TEST_F(OstrelTest, SdkRefusalsComeBackUnchanged) {
  SnapStub_Configure("resync_result=81\nadd_result=6@1");
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_EQ(8, Ostrel_SetThreadPriority(handle, 16));
  EXPECT_EQ(24, Ostrel_SetBitsPerSample(handle, 20));
  EXPECT_EQ(25, Ostrel_SetChannels(handle, 0));
  EXPECT_EQ(7, Ostrel_SetThreadCPUAffinity(handle, 0));
  EXPECT_EQ(3, Ostrel_SetChannelName(handle, "NO_SUCH_NAME"));
  EXPECT_EQ(100, Ostrel_EnableRecord(handle, "C:\\no\\such\\directory\\here"));
  EXPECT_EQ(27, Ostrel_Initialize(handle));  // settings incomplete
  EXPECT_EQ(21, Ostrel_ResynchronizeTimecode(handle));
  EXPECT_EQ(21, Ostrel_Finalize(handle));
  ASSERT_EQ(0, Ostrel_SetBitsPerSample(handle, 32));
  ASSERT_EQ(0, Ostrel_SetChannels(handle, 2));
  ASSERT_EQ(0, Ostrel_SetChannelName(handle, "STANDIN_A"));
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  EXPECT_EQ(22, Ostrel_Initialize(handle));
  EXPECT_EQ(81, Ostrel_ResynchronizeTimecode(handle));
  int32_t frames[4] = {0x100, 0x101, 0x200, 0x201};
  EXPECT_EQ(6, Ostrel_AddAudioBuffer(handle, frames, sizeof frames, nullptr));
  EXPECT_EQ(26, Ostrel_AddAudioBuffer(handle, frames, 6, nullptr));
  EXPECT_EQ(0, Ostrel_AddAudioBuffer(handle, frames, sizeof frames, nullptr));
}

TEST_F(OstrelTest, MarkedAudioComesBackOnAnotherThreadWithTheContext) {
  CreateReady();
  sink.audioResult = 7;
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  // All 64 bits matter: a context narrowed to int or long would lose them.
  void* const ctx = reinterpret_cast<void*>(uintptr_t(0x1234567890ABCDE8ull));
  std::vector<int32_t> period(512 * 2);
  for (size_t i = 0; i < period.size(); ++i) period[i] = int32_t(((i / 2) << 8) | 0x10 | (i % 2));
  ASSERT_EQ(0, Ostrel_AddAudioBuffer(handle, period.data(), uint32_t(period.size() * 4), ctx));
  ASSERT_TRUE(sink.WaitFor([&] { return sink.AudioBytes() >= period.size() * 4; }));
  ASSERT_EQ(0, Ostrel_Finalize(handle));

  std::lock_guard<std::mutex> g(sink.m);
  std::vector<int32_t> got;
  for (auto& c : sink.audio) {
    EXPECT_EQ(ctx, c.context);
    EXPECT_NE(GetCurrentThreadId(), c.thread);
    const int32_t* p = reinterpret_cast<const int32_t*>(c.bytes.data());
    got.insert(got.end(), p, p + c.bytes.size() / 4);
  }
  ASSERT_EQ(period.size(), got.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ((period[i] & ~0xF0) | 0xA0, got[i]) << "sample " << i;
  ASSERT_FALSE(sink.logs.empty());
  EXPECT_EQ("Start watermarking using ID 4711", sink.logs.front().text);
  EXPECT_NE(GetCurrentThreadId(), sink.logs.front().thread);
  SnapStubStats s = Stats();
  EXPECT_EQ(7, s.last_callback_result);
  EXPECT_GE(s.callback_nonzero, 1);
  EXPECT_EQ(0, s.callbacks_on_caller);
}

TEST_F(OstrelTest, LogEventsPassThroughWithLevelCodeAndText) {
  SnapStub_Configure("log_event=2:65:Timecode looped@0");
  CreateReady();
  sink.logResult = 3;
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  ASSERT_TRUE(sink.WaitFor([&] {
    for (auto& l : sink.logs)
      if (l.code == 65) return true;
    return false;
  }));
  ASSERT_EQ(0, Ostrel_Finalize(handle));
  std::lock_guard<std::mutex> g(sink.m);
  bool found = false;
  for (auto& l : sink.logs) {
    if (l.code != 65) continue;
    found = true;
    EXPECT_EQ(2, l.level);
    EXPECT_EQ("Timecode looped", l.text);
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(3, Stats().last_callback_result);
}
