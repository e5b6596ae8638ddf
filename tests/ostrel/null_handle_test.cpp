// A null handle is refused by the wrapper itself: code 2, and the SDK is not
// called at all.
#include "ostrel_fixture.h"

TEST_F(OstrelTest, EveryHandleFunctionReturnsTwoForNullAndCallsNothing) {
  const char* const* names = nullptr;
  const uint32_t* ids = nullptr;
  int count = 0;
  int32_t sample[2] = {0, 0};
  EXPECT_EQ(2, Ostrel_AddAudioBuffer(nullptr, sample, sizeof sample, nullptr));
  OstrelHandle none = nullptr;
  EXPECT_EQ(2, Ostrel_DestroySnapLiveAudioEmbedder(&none));
  EXPECT_EQ(2, Ostrel_EnableRecord(nullptr, "C:\\"));
  EXPECT_EQ(2, Ostrel_Finalize(nullptr));
  EXPECT_EQ(2, Ostrel_GetChannelNameIDList(nullptr, &names, &ids, &count));
  EXPECT_EQ(2, Ostrel_GetChannelNameList(nullptr, &names, &count));
  EXPECT_EQ(2, Ostrel_Initialize(nullptr));
  EXPECT_EQ(2, Ostrel_ResynchronizeTimecode(nullptr));
  EXPECT_EQ(2, Ostrel_SetBitsPerSample(nullptr, 32));
  EXPECT_EQ(2, Ostrel_SetChannelName(nullptr, "STANDIN_A"));
  EXPECT_EQ(2, Ostrel_SetChannels(nullptr, 2));
  EXPECT_EQ(2, Ostrel_SetThreadCPUAffinity(nullptr, 1));
  EXPECT_EQ(2, Ostrel_SetThreadPriority(nullptr, 2));
  EXPECT_EQ(0, Stats().calls);
  EXPECT_EQ(0, count);
}

TEST_F(OstrelTest, NullAddressOfHandleIsRefusedLikeANullHandle) {
  EXPECT_EQ(2, Ostrel_DestroySnapLiveAudioEmbedder(nullptr));
  EXPECT_EQ(0, Stats().calls);
}

TEST_F(OstrelTest, NullOutHandleCreatesNothing) {
  EXPECT_EQ(2, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, nullptr));
  SnapStubStats s = Stats();
  EXPECT_EQ(0, s.calls);
  EXPECT_EQ(0, s.creates);
  EXPECT_EQ(0, s.live);
}

TEST_F(OstrelTest, GetVersionReturnsTheSdkText) {
  EXPECT_STREQ("5.2.1 stand-in", Ostrel_GetVersion());
  SnapStub_Configure("version=7.0 other");
  EXPECT_STREQ("7.0 other", Ostrel_GetVersion());
}
