// The settings interface is asked for once per handle; a failed fetch is
// reported and retried by the next setting.
#include "ostrel_fixture.h"

TEST_F(OstrelTest, SettingsAreFetchedOncePerHandle) {
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_EQ(0, Ostrel_SetBitsPerSample(handle, 32));
  EXPECT_EQ(0, Ostrel_SetChannels(handle, 2));
  EXPECT_EQ(0, Ostrel_SetChannels(handle, 2));
  SnapStubStats s = Stats(1);
  EXPECT_EQ(1, s.settings_fetches);
  EXPECT_EQ(32, s.bits);
  EXPECT_EQ(2, s.channels);
}

TEST_F(OstrelTest, FailedFetchIsReturnedAndRetried) {
  SnapStub_Configure("getsettings_result=6@1");
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_EQ(6, Ostrel_SetBitsPerSample(handle, 32));
  EXPECT_EQ(0, Stats(1).bits);
  EXPECT_EQ(0, Ostrel_SetBitsPerSample(handle, 32));
  EXPECT_EQ(0, Ostrel_SetChannels(handle, 2));
  SnapStubStats s = Stats(1);
  EXPECT_EQ(2, s.settings_fetches);
  EXPECT_EQ(32, s.bits);
}

TEST_F(OstrelTest, EachHandleFetchesItsOwnSettings) {
  OstrelHandle second = nullptr;
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &second));
  EXPECT_EQ(0, Ostrel_SetBitsPerSample(handle, 16));
  EXPECT_EQ(0, Ostrel_SetBitsPerSample(second, 24));
  EXPECT_EQ(16, Stats(1).bits);
  EXPECT_EQ(24, Stats(2).bits);
  EXPECT_EQ(1, Stats(2).settings_fetches);
  EXPECT_EQ(0, Ostrel_DestroySnapLiveAudioEmbedder(&second));
}

TEST_F(OstrelTest, FailedFetchIsNotKeptEvenWhenTheSdkFilledTheValue) {
  SnapStub_Configure("getsettings_result=6@1\ngetsettings_fill_on_failure=1");
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_EQ(6, Ostrel_SetChannels(handle, 2));
  EXPECT_EQ(0, Ostrel_SetChannels(handle, 2));
  EXPECT_EQ(2, Stats(1).settings_fetches);
}
