// Creation and destruction: a refused create leaves nothing behind and the
// caller's variable untouched; destroy clears the caller's handle; the
// listener outlives the SDK's destroy; the stand-in forgets old embedders.
#include "ostrel_fixture.h"

TEST_F(OstrelTest, RefusedCreateReturnsTheSdkCodeAndLeavesTheOutVariable) {
  SnapStub_Configure("create_result=5");
  OstrelHandle sentinel = reinterpret_cast<OstrelHandle>(uintptr_t(0x5EB71E1));
  OstrelHandle out = sentinel;
  EXPECT_EQ(5, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &out));
  EXPECT_EQ(sentinel, out);
  SnapStubStats s = Stats();
  EXPECT_NE(0, s.last_listener);  // the SDK did see a listener
  EXPECT_EQ(1, s.create_refusals);
  EXPECT_EQ(0, s.live);
  EXPECT_EQ(0, s.log_callbacks + s.audio_callbacks);
}

TEST_F(OstrelTest, RefusalOnlyAtTheNthCreateThenSucceeds) {
  SnapStub_Configure("create_result=6@1");
  EXPECT_EQ(6, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_NE(nullptr, handle);
}

TEST_F(OstrelTest, DestroyClearsTheHandleAndASecondDestroyGivesTwo) {
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  ASSERT_NE(nullptr, handle);
  EXPECT_EQ(1, Stats().live);
  EXPECT_EQ(0, Ostrel_DestroySnapLiveAudioEmbedder(&handle));
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(0, Stats().live);
  EXPECT_EQ(2, Ostrel_DestroySnapLiveAudioEmbedder(&handle));
  EXPECT_EQ(1, Stats().destroys);
}

TEST_F(OstrelTest, TheStandInKeepsTheStatsOfOnlyTheLatestDestroyedEmbedders) {
  // A long run re-creates embedders for ever: their stats must not pile up.
  int first = 0, last = 0;
  for (int i = 0; i < 257; ++i) {
    ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
    last = int(Stats().serial);
    if (i == 0) first = last;
    ASSERT_EQ(0, Ostrel_DestroySnapLiveAudioEmbedder(&handle));
  }
  SnapStubStats gone{};
  EXPECT_EQ(3, SnapStub_GetStats(first, &gone, int(sizeof gone)));
  EXPECT_EQ(1, Stats(first + 1).destroys);
  EXPECT_EQ(1, Stats(last).destroys);
}

TEST_F(OstrelTest, ListenerStillAnswersDuringTheSdksDestroy) {
  SnapStub_Configure("callback_in_destroy=1");
  CreateReady();
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  EXPECT_EQ(0, Ostrel_DestroySnapLiveAudioEmbedder(&handle));
  std::lock_guard<std::mutex> g(sink.m);
  ASSERT_FALSE(sink.logs.empty());
  EXPECT_EQ("Embedder is being destroyed", sink.logs.back().text);
}

TEST_F(OstrelTest, DestroyOfAnInitialisedEmbedderStopsItsThreads) {
  CreateReady();
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  int32_t period[512 * 2] = {};
  ASSERT_EQ(0, Ostrel_AddAudioBuffer(handle, period, sizeof period, nullptr));
  EXPECT_EQ(0, Ostrel_DestroySnapLiveAudioEmbedder(&handle));
  size_t after;
  {
    std::lock_guard<std::mutex> g(sink.m);
    after = sink.audio.size() + sink.logs.size();
  }
  Sleep(100);  // a straggling callback would land here and be counted
  std::lock_guard<std::mutex> g(sink.m);
  EXPECT_EQ(after, sink.audio.size() + sink.logs.size());
}
