// The embedder object's callbacks, called as the SDK's threads would, for a
// channel whose thread is not started; the channel's status record shows the ID.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "channel_owner.h"
#include "support/log_capture.h"

namespace {

class ChannelCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    owner.reset(new channeltest::ChannelOwner());
    ASSERT_TRUE(owner->WorldOk());
    channel.reset(new CWatermark_Channel(&owner->Board(), owner->Board().GetDriver(), 0));
    channel->SetRecords(owner->StatusRecord(0), nullptr);
    embedder.reset(new CTarvelKantar_channel(channel.get()));
  }
  void TearDown() override {
    embedder.reset();
    channel.reset();
    owner.reset();
  }
  CTarvelKantar_channel& Embedder() { return *embedder; }
  int Log(int level, const char* text, int code = 0) {
    OstrelLogEvent e{level, code, text};
    return Embedder().OnLog(&e);
  }

  std::unique_ptr<channeltest::ChannelOwner> owner;
  std::unique_ptr<CWatermark_Channel> channel;
  std::unique_ptr<CTarvelKantar_channel> embedder;
};

TEST_F(ChannelCallbacks, LogEventsKeepTheSdkLevel) {
  {
    LogCapture log(0);
    Log(2, "an error event", 61);
    Log(0, "an info event");
    EXPECT_TRUE(log.Has(channel->GetDisplayName() + ": KANTAR_SNAP: an error event (61)"));
    EXPECT_EQ(std::string::npos, log.Text().find("an info event"));
  }
  {
    LogCapture log(3);
    Log(0, "info at three");
    Log(1, "warning at three");
    Log(7, "odd level at five");
    EXPECT_TRUE(log.Has("KANTAR_SNAP: warning at three (0)"));
    EXPECT_TRUE(log.Has("KANTAR_SNAP: info at three (0)"));
    EXPECT_EQ(std::string::npos, log.Text().find("odd level at five"));
  }
}

TEST_F(ChannelCallbacks, OnlyTheExactAnnouncementSetsTheWatermarkId) {
  LogCapture log;
  struct {
    const char* text;
    uint32_t id;
  } const table[] = {
      {"Start watermarking using ID 4711", 4711},
      {" Start watermarking using ID 5", 4711},
      {"start watermarking using ID 6", 4711},
      {"Start watermarking using ID", 4711},
      {"Start watermarking using ID 4294967295", 4294967295u},
      {nullptr, 4294967295u},
  };
  for (const auto& t : table) {
    EXPECT_EQ(0, Log(0, t.text)) << (t.text ? t.text : "null");
    channel->UpdateStatus();
    EXPECT_EQ(t.id, ReadStatusRecord(owner->Block(), 0).watermarkId) << (t.text ? t.text : "null");
  }
  EXPECT_TRUE(log.Has(channel->GetDisplayName() + ": WATERMARKING: ID is 4711"));
  EXPECT_TRUE(log.Has(channel->GetDisplayName() + ": KANTAR_SNAP:  (0)"));
  EXPECT_EQ(0, Embedder().OnLog(nullptr));
}

TEST_F(ChannelCallbacks, MarkedAudioIsQueuedIntact) {
  std::vector<uint8_t> audio(4096);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = uint8_t(i * 7 + 3);
  EXPECT_EQ(0, Embedder().OnAudio(audio.data(), uint32_t(audio.size()), channel.get()));
  CBufferBase<unsigned char> out(4096);
  ASSERT_TRUE(channel->GetQueue().PopBuffer(out, false));
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), out.GetData()));
  EXPECT_EQ(-1, Embedder().ReadPendingCount());
  EXPECT_FALSE(Embedder().TakeErrorFlag());
}

TEST_F(ChannelCallbacks, EmptyOrNullAudioSetsTheErrorFlag) {
  LogCapture log;
  struct {
    const void* buffer;
    uint32_t count;
  } const cases[] = {{nullptr, 0}, {"x", 0}, {nullptr, 4096}};
  int32_t pending = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(0, Embedder().OnAudio(c.buffer, c.count, channel.get()));
    EXPECT_TRUE(Embedder().TakeErrorFlag());
    EXPECT_EQ(--pending, Embedder().ReadPendingCount());
  }
  EXPECT_EQ(0, channel->GetQueue().GetUsed());
  EXPECT_EQ(3, log.Count("CQueueBase<T>::PushBuffer of size 0 ?"));
  EXPECT_EQ(3, log.Count(channel->GetDisplayName() + ": Watermarking: Failed to push audio buffer to queue"));
}

}  // namespace
