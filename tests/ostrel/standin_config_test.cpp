// The stand-in's fault injection, which the channel tests build on: the
// configuration file with its sections, and the audio faults.
#include "ostrel_fixture.h"

#include <cstdio>

namespace {

std::string WriteConfigFile(const char* text) {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%ssnapstub_%lu.conf", base, GetCurrentProcessId());
  FILE* f = fopen(path, "wb");
  fputs(text, f);
  fclose(f);
  return path;
}

}  // namespace

TEST_F(OstrelTest, ConfigFileSectionsScopeKeysToOneCreateOrOneName) {
  std::string path =
      WriteConfigFile("watermark_id=100\n[create:2]\ncreate_result=9\n[name:STANDIN_B]\nwatermark_id=42\n");
  SetEnvironmentVariableA("SNAPSTUB_CONFIG", path.c_str());
  OstrelHandle second = nullptr;
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  EXPECT_EQ(9, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &second));
  EXPECT_EQ(0, Ostrel_SetChannelName(handle, "STANDIN_A"));
  EXPECT_EQ(100, Stats(1).watermark_id);
  EXPECT_EQ(0, Ostrel_SetChannelName(handle, "STANDIN_B"));
  EXPECT_EQ(42, Stats(1).watermark_id);
  SetEnvironmentVariableA("SNAPSTUB_CONFIG", nullptr);
  DeleteFileA(path.c_str());
}

TEST_F(OstrelTest, NullAudioEveryKthChunkAndDropAfterN) {
  SnapStub_Configure("audio_null_every=2\naudio_drop_after=3");
  CreateReady();
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  int32_t period[64 * 2] = {};
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(0, Ostrel_AddAudioBuffer(handle, period, sizeof period, nullptr));
    if (i < 3) {
      ASSERT_TRUE(sink.WaitFor([&] { return sink.AudioBytes() >= sizeof period * (i + 1); }));
    }
  }
  ASSERT_EQ(0, Ostrel_Finalize(handle));
  std::lock_guard<std::mutex> g(sink.m);
  int nulls = 0, real = 0;
  for (auto& c : sink.audio) (c.null ? nulls : real)++;
  EXPECT_EQ(3, real);   // chunks 4 and 5 are withheld
  EXPECT_EQ(1, nulls);  // before chunk 2
}

TEST_F(OstrelTest, ChunksSplitTheOutputAndKeepTheirInputsContext) {
  SnapStub_Configure("chunk_frames=300");
  CreateReady();
  ASSERT_EQ(0, Ostrel_Initialize(handle));
  std::vector<int32_t> period(512 * 2, 0x1c);
  int one = 0, two = 0;
  ASSERT_EQ(0, Ostrel_AddAudioBuffer(handle, period.data(), uint32_t(period.size() * 4), &one));
  ASSERT_EQ(0, Ostrel_AddAudioBuffer(handle, period.data(), uint32_t(period.size() * 4), &two));
  ASSERT_EQ(0, Ostrel_Finalize(handle));
  std::lock_guard<std::mutex> g(sink.m);
  ASSERT_EQ(4u, sink.audio.size());
  EXPECT_EQ(300u * 8, sink.audio[0].bytes.size());
  EXPECT_EQ(212u * 8, sink.audio[1].bytes.size());
  EXPECT_EQ(&one, sink.audio[1].context);
  EXPECT_EQ(&two, sink.audio[2].context);
  EXPECT_EQ(0xAc, reinterpret_cast<const int32_t*>(sink.audio[3].bytes.data())[0]);
}
