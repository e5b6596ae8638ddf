// The board's and the channels' side of the XML configuration: what a load
// gives the board, its block and its channels, what a save takes from them,
// and what a rejected load leaves. The boards have no driver (serial 0); the
// block memory and the channels are the test's, lent to the board. The file
// rules themselves are board_config_test's.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "service/BoardBlock.h"
#include "service/BoardConfig.h"
#include "service/WatermarkBoard.h"
#include "service/WatermarkChannel.h"
#include "channel_owner.h"
#include "support/fn_thread.h"
#include "tvlib/threads/sync_test_access.h"
#include "support/log_capture.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/temp_dir.h"
#include "tvlib/files/files.h"
#include "tvlib/files/rotating.h"
#include "tvlib/xml/xml.h"

namespace {

using Access = CWatermarkBoardTestAccess;
using ChannelAccess = CWatermarkChannelTestAccess;
using testsupport::PathExists;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n";
const char kMark[] = "\xEF\xBB\xBF";

std::string Config(const char* latency, const std::string& channels, const char* version = "1.0.14") {
  return std::string(kDeclaration) + "<config version=\"" + version + "\" latency=\"" + latency + "\">\n" +
         channels + "</config>\n";
}
std::string Ch(int n, const char* enable, const char* channel) {
  return "    <ch" + std::to_string(n) + " enable=\"" + enable + "\" watermarking_channel=\"" + channel +
         "\" />\n";
}

// A board without a driver, with `channels` channels (never started) and,
// unless told otherwise, block memory of the test's.
class ConfigBoard {
 public:
  explicit ConfigBoard(int channels, bool block = true, const char* loadPath = nullptr)
      : board_(nullptr, dir_.Path(), nullptr, 0, loadPath), memory_(kBoardBlockSize, 0) {
    EXPECT_TRUE(CreateDirectoryPath(board_.GetConfigDirectory(), false));
    std::vector<CWatermark_Channel*> lent;
    for (int i = 0; i < channels; ++i) {
      channels_.emplace_back(new CWatermark_Channel(&board_, nullptr, i));
      channels_.back()->SetRecords(block ? memory_.data() + StatusRecordOffset(i) : nullptr,
                                   block ? memory_.data() + SettingsRecordOffset(i) : nullptr);
      lent.push_back(channels_.back().get());
    }
    Access::Lend(board_, block ? memory_.data() : nullptr, lent);
  }
  ~ConfigBoard() {
    Access::Lend(board_, nullptr, {});
    channels_.clear();
  }

  CWatermark_Board& Board() { return board_; }
  CWatermark_Channel& Channel(int i) { return *channels_[size_t(i)]; }
  uint8_t* Block() { return memory_.data(); }
  bool Load() { return board_.LoadConfig(); }
  bool Save() { return board_.SaveConfig(); }
  std::string Copy(int index) {
    return board_.GetConfigDirectory() + "watermark_config.xml." + std::to_string(index);
  }
  // Copy `index`, dated so that a greater age is newer.
  void WriteCopy(int index, const std::string& bytes, int32_t age = 0) {
    WriteBytes(Copy(index), bytes);
    ASSERT_TRUE(testsupport::SetModificationTime(Copy(index), 1600000000 + age));
  }
  std::string File(const std::string& name) { return dir_.File(name); }
  std::string BaseDirectory() { return dir_.Path(); }
  int Backups(const std::string& file) {
    int n = 0;
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA((file + "-*.failed.xml").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do ++n;
    while (::FindNextFileA(h, &data));
    ::FindClose(h);
    return n;
  }

 private:
  TestTempDir dir_;
  CWatermark_Board board_;
  std::vector<uint8_t> memory_;
  std::vector<std::unique_ptr<CWatermark_Channel>> channels_;
};

// ---------------------------------------------------------------- loading

TEST(BoardXmlLoad, NewestCopyFillsLatencyBlockAndChannels) {
  ConfigBoard b(2);
  b.WriteCopy(1, Config("512", Ch(1, "false", "0") + Ch(2, "false", "0")), 10);
  b.WriteCopy(2, Config("2560", Ch(1, "true", "3") + Ch(2, "false", "1")), 20);
  // What a client left in the area: a load replaces all of it.
  for (uint32_t at = kBlockSettingsOffset; at < kBlockSettingsOffset + kSettingsImageSize; at += 4)
    StoreU32(b.Block() + at, 0xFFFFFFFFu);
  b.Channel(0).SetConfigChanged();
  LogCapture log;

  ASSERT_TRUE(b.Load());
  EXPECT_TRUE(log.Has("00000000: Using xml config file " + b.Copy(2)));
  EXPECT_EQ(2560u, b.Board().GetLatency());
  EXPECT_EQ(1, ReadLatencyMode(b.Block()));
  const SettingsRecord first = ReadSettingsRecord(b.Block(), 0);
  const SettingsRecord second = ReadSettingsRecord(b.Block(), 1);
  EXPECT_EQ(1, first.flags);
  EXPECT_EQ(3, first.watermarkingChannel);
  EXPECT_EQ(0, second.flags);
  EXPECT_EQ(1, second.watermarkingChannel);
  for (int c = 2; c < kBlockMaxChannels; ++c) {
    EXPECT_EQ(0, ReadSettingsRecord(b.Block(), c).flags) << c;
    EXPECT_EQ(0, ReadSettingsRecord(b.Block(), c).watermarkingChannel) << c;
  }
  EXPECT_EQ(3, ChannelAccess::Cached(b.Channel(0)).watermarkingChannel);
  EXPECT_FALSE(b.Channel(0).TestAndClearConfigChanged());
}

TEST(BoardXmlLoad, LatencyReachesBoardAndBlock) {
  struct Case {
    const char* attribute;  // null: no attribute
    uint32_t frames;
    int32_t mode;
  } cases[] = {{"512", 512, 0}, {"2560", 2560, 1}, {"5120", 5120, 2}, {"1024", 2560, 1}, {nullptr, 2560, 1}};
  for (const Case& c : cases) {
    ConfigBoard b(0);
    std::string xml = std::string(kDeclaration) + "<config version=\"1.0.14\"" +
                      (c.attribute ? std::string(" latency=\"") + c.attribute + "\"" : "") + " />\n";
    b.WriteCopy(1, xml);
    ASSERT_TRUE(b.Load()) << (c.attribute ? c.attribute : "none");
    EXPECT_EQ(c.frames, b.Board().GetLatency()) << (c.attribute ? c.attribute : "none");
    EXPECT_EQ(c.mode, ReadLatencyMode(b.Block())) << (c.attribute ? c.attribute : "none");
  }
}

// A board whose driver never opened has no block; a parsable file still
// gives it its latency, which its saves keep.
TEST(BoardXmlLoad, WithoutBlockTheBoardStillTakesTheFile) {
  ConfigBoard b(0, false);
  b.WriteCopy(3, Config("5120", ""));
  ASSERT_TRUE(b.Load());
  EXPECT_EQ(5120u, b.Board().GetLatency());
  ASSERT_TRUE(b.Save());
  EXPECT_NE(std::string::npos, ReadBytes(b.Copy(1)).find("latency=\"5120\""));
}

TEST(BoardXmlLoad, NothingThatParsesLeavesTheBoardAsItWas) {
  // At start: the document stays empty, the latency 512, and the next save
  // writes a fresh document.
  {
    ConfigBoard b(1);
    for (int i = 1; i <= kBoardConfigCopies; ++i)
      b.WriteCopy(i, "<config version=\"1.0.14\" latency=\"5120\">", i);
    LogCapture log;
    EXPECT_FALSE(b.Load());
    EXPECT_EQ(1, log.Count("00000000: *** NO WAY TO RELOAD A CONFIG !"));
    EXPECT_EQ(512u, b.Board().GetLatency());
    EXPECT_EQ(0, ReadLatencyMode(b.Block()));
    ASSERT_TRUE(b.Save());
    EXPECT_EQ(Config("512", Ch(1, "false", "0")), ReadBytes(b.Copy(1)));
  }
  // A reload after the upgrade state: the good document and its latency stay.
  {
    ConfigBoard b(0);
    const std::string kept =
        std::string(kDeclaration) + "<config version=\"1.0.14\" latency=\"5120\" />\n<!-- kept -->\n";
    b.WriteCopy(1, kept, 1);
    ASSERT_TRUE(b.Load());
    ASSERT_TRUE(::DeleteFileA(b.Copy(1).c_str()));
    // Cut inside an element: TinyXML would keep the root and its latency.
    const std::string cut = Config("2560", Ch(1, "true", "1"));
    b.WriteCopy(2, cut.substr(0, cut.find("watermarking")), 2);
    EXPECT_FALSE(b.Load());
    EXPECT_EQ(5120u, b.Board().GetLatency());
    EXPECT_EQ(2, ReadLatencyMode(b.Block()));
    ASSERT_TRUE(b.Save());
    EXPECT_EQ(kept, ReadBytes(b.Copy(1)));
  }
}

TEST(BoardXmlLoad, ForcedFileIsTriedOnceAndKept) {
  // The operator's file lives outside the board's directory.
  struct Folder {
    std::string path = testsupport::TempPath("pelorin_forced");
    Folder() { ::CreateDirectoryA(path.c_str(), nullptr); }
    ~Folder() { DeleteDirectoryTree(path.c_str(), true); }
  } operatorDir;
  const std::string forced = operatorDir.path + "\\forced.xml";
  const std::string corrupt = Config("5120", "").substr(0, 80);
  WriteBytes(forced, corrupt);
  ConfigBoard b(0, true, forced.c_str());
  const std::string copy = Config("2560", "");
  b.WriteCopy(1, copy);
  LogCapture log;

  EXPECT_FALSE(b.Load());
  EXPECT_EQ(1, log.Count("Failed to reload existing xml config file"));
  EXPECT_EQ(1, log.Count("NO WAY TO RELOAD"));
  EXPECT_EQ(corrupt, ReadBytes(forced));
  EXPECT_EQ(1, b.Backups(forced));
  EXPECT_EQ(copy, ReadBytes(b.Copy(1)));
  EXPECT_EQ(512u, b.Board().GetLatency());

  // Mended by the operator: used at every load, while saves go to the copies.
  const std::string good = Config("5120", "");
  WriteBytes(forced, good);
  ASSERT_TRUE(b.Load());
  EXPECT_TRUE(log.Has("00000000: Using xml config file " + forced));
  ASSERT_TRUE(b.Save());
  EXPECT_EQ(good, ReadBytes(forced));
  EXPECT_NE(std::string::npos, ReadBytes(b.Copy(2)).find("latency=\"5120\""));
  WriteBytes(forced, Config("512", ""));
  ASSERT_TRUE(b.Load());
  EXPECT_EQ(512u, b.Board().GetLatency());
}

// ---------------------------------------------------------------- channels

TEST(ChannelXml, ShortNames) {
  ConfigBoard b(8, false);
  EXPECT_EQ("ch1", b.Channel(0).GetShortName());
  EXPECT_EQ("ch8", b.Channel(7).GetShortName());
}

TEST(ChannelXml, LoadTakesTheElementIntoCacheAndRecordAndSaveWritesTheRecord) {
  struct Case {
    const char* element;
    int32_t flags;  // the channel's flags before the load: bits other than 0 stay
    int32_t wantFlags;
    int32_t wantChannel;
    const char* saved;  // the element as the channel then saves it
  } cases[] = {
      {"<ch1 enable=\"true\" watermarking_channel=\"2\"/>", 0, 1, 2,
       "<ch1 enable=\"true\" watermarking_channel=\"2\" />"},
      {"<ch1 enable=\"TRUE\" watermarking_channel=\"2\"/>", 1, 0, 2,
       "<ch1 enable=\"false\" watermarking_channel=\"2\" />"},
      {"<ch1 enable=\"1\"/>", 1, 0, 0, "<ch1 enable=\"false\" watermarking_channel=\"0\" />"},
      {"<ch1 watermarking_channel=\"7x\"/>", 0, 0, 7, "<ch1 watermarking_channel=\"7\" enable=\"false\" />"},
      {"<ch1 enable=\"true\" watermarking_channel=\"4294967295\"/>", 0, 1, -1,
       "<ch1 enable=\"true\" watermarking_channel=\"4294967295\" />"},
      {"<ch1 enable=\"true\"/>", 6, 7, 0, "<ch1 enable=\"true\" watermarking_channel=\"0\" />"},
      {nullptr, 7, 6, 0, "<ch1 enable=\"false\" watermarking_channel=\"0\" />"},
  };
  for (const Case& c : cases) {
    const std::string what = c.element ? c.element : "no element";
    ConfigBoard b(1);
    CWatermark_Channel& channel = b.Channel(0);
    // Flags the channel holds from a client's write that its update took.
    StoreSettingsRecord(b.Block() + SettingsRecordOffset(0), SettingsRecord{c.flags, 0});
    ASSERT_TRUE(channel.LoadConfigFromRecord());
    channel.SetConfigChanged();

    TiXmlDocument document;
    if (c.element) document.Parse(c.element);
    ASSERT_TRUE(channel.LoadConfig(document.RootElement(), 0x0100000E));
    EXPECT_EQ(c.wantFlags, ChannelAccess::Cached(channel).flags) << what;
    EXPECT_EQ(c.wantChannel, ChannelAccess::Cached(channel).watermarkingChannel) << what;
    EXPECT_EQ(c.wantFlags, ReadSettingsRecord(b.Block(), 0).flags) << what;
    EXPECT_EQ(c.wantChannel, ReadSettingsRecord(b.Block(), 0).watermarkingChannel) << what;
    EXPECT_FALSE(channel.TestAndClearConfigChanged()) << what;

    TiXmlElement element("ch1");
    if (c.element) element = *document.RootElement();
    ASSERT_TRUE(channel.SaveConfig(&element));
    std::string out;
    PrintToString(&element, out, 0);
    EXPECT_EQ(c.saved, out) << what;
  }
}

// The record is newer than the document: a client's write that the old
// channel ran with, or that it never saw.
TEST(ChannelXml, RestartedChannelTakesItsRecord) {
  ConfigBoard b(2);
  b.WriteCopy(1, Config("512", Ch(1, "false", "0") + Ch(2, "false", "0")));
  ASSERT_TRUE(b.Load());
  StoreSettingsRecord(b.Block() + SettingsRecordOffset(1), SettingsRecord{5, 9});
  b.Channel(1).SetConfigChanged();

  ASSERT_TRUE(b.Channel(1).LoadConfigFromRecord());
  EXPECT_EQ(5, ChannelAccess::Cached(b.Channel(1)).flags);
  EXPECT_EQ(9, ChannelAccess::Cached(b.Channel(1)).watermarkingChannel);
  EXPECT_EQ(5, ReadSettingsRecord(b.Block(), 1).flags);
  EXPECT_EQ(9, ReadSettingsRecord(b.Block(), 1).watermarkingChannel);
  EXPECT_FALSE(b.Channel(1).TestAndClearConfigChanged());
  ASSERT_TRUE(b.Save());
  EXPECT_NE(std::string::npos, ReadBytes(b.Copy(2)).find(Ch(2, "true", "9")));
}

TEST(ChannelXml, MissingElementTakesThePreviousChannels) {
  const std::string onlyFirst = Config("512", Ch(1, "true", "4"));
  // Two channels: the second copies the first, and a save with both follows.
  {
    ConfigBoard b(2);
    b.WriteCopy(1, onlyFirst);
    LogCapture log;
    ASSERT_TRUE(b.Load());
    EXPECT_TRUE(log.Has("00000000 channel 1: using configuration of channel 0"));
    EXPECT_EQ(1, ReadSettingsRecord(b.Block(), 1).flags);
    EXPECT_EQ(4, ReadSettingsRecord(b.Block(), 1).watermarkingChannel);
    EXPECT_FALSE(b.Channel(0).TestAndClearConfigChanged());
    EXPECT_TRUE(b.Channel(1).TestAndClearConfigChanged());
  }
  // Three: nothing is left for the third to copy; the file is kept.
  {
    ConfigBoard b(3);
    b.WriteCopy(1, onlyFirst);
    EXPECT_FALSE(b.Load());
    EXPECT_EQ(onlyFirst, ReadBytes(b.Copy(1)));
    EXPECT_EQ(1, b.Backups(b.Copy(1)));
    EXPECT_EQ(512u, b.Board().GetLatency());
  }
  // One channel at a time, as CreateChannel loads it.
  {
    ConfigBoard b(3);
    EXPECT_EQ(Access::kChannelConfigDefaults, Access::LoadChannelConfig(b.Board(), b.Channel(0)));
    Access::Lend(b.Board(), b.Block(), {&b.Channel(0)});
    b.WriteCopy(1, onlyFirst);
    ASSERT_TRUE(b.Load());
    EXPECT_EQ(Access::kChannelConfigLoaded, Access::LoadChannelConfig(b.Board(), b.Channel(1)));
    EXPECT_TRUE(b.Channel(1).TestAndClearConfigChanged());
    EXPECT_EQ(4, ReadSettingsRecord(b.Block(), 1).watermarkingChannel);
    StoreSettingsRecord(b.Block() + SettingsRecordOffset(2), SettingsRecord{1, 3});
    EXPECT_EQ(Access::kChannelConfigMissing, Access::LoadChannelConfig(b.Board(), b.Channel(2)));
    EXPECT_EQ(0, ReadSettingsRecord(b.Block(), 2).flags);
    EXPECT_EQ(0, ReadSettingsRecord(b.Block(), 2).watermarkingChannel);
  }
}

// ---------------------------------------------------------------- saving

TEST(BoardXmlSave, NewDocumentForTwoChannels) {
  ConfigBoard b(2);
  ASSERT_TRUE(b.Save());
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
      "<config version=\"1.0.14\" latency=\"512\">\n"
      "    <ch1 enable=\"false\" watermarking_channel=\"0\" />\n"
      "    <ch2 enable=\"false\" watermarking_channel=\"0\" />\n"
      "</config>\n";
  EXPECT_EQ(211u, expected.size());
  EXPECT_EQ(expected, ReadBytes(b.Copy(1)));
}

TEST(BoardXmlSave, SaveTakesTheBlockRecordsAndTheLatency) {
  ConfigBoard b(3);
  b.WriteCopy(1, std::string(kDeclaration) +
                     "<!-- site 4 -->\n<config latency=\"1024\" owner=\"x\" version=\"1.0.13\">\n" +
                     Ch(2, "false", "0") + Ch(1, "false", "0") + "    <note />\n" + Ch(5, "true", "2") +
                     "</config>\n");
  ASSERT_TRUE(b.Load());
  StoreSettingsRecord(b.Block() + SettingsRecordOffset(0), SettingsRecord{1, 6});
  StoreSettingsRecord(b.Block() + SettingsRecordOffset(1), SettingsRecord{0x7FFFFFFE, 2});
  ASSERT_TRUE(b.Save());
  EXPECT_EQ(std::string(kDeclaration) +
                "<!-- site 4 -->\n<config latency=\"2560\" owner=\"x\" version=\"1.0.14\">\n" +
                Ch(2, "false", "2") + Ch(1, "true", "6") + "    <note />\n" + Ch(5, "true", "2") +
                Ch(3, "false", "0") + "</config>\n",
            ReadBytes(b.Copy(2)));
}

TEST(BoardXmlSave, ByteOrderMarkFollowsTheFileThatWasLoaded) {
  ConfigBoard b(1);
  const std::string plain = Config("512", Ch(1, "false", "0"));
  b.WriteCopy(1, kMark + plain, 1);
  ASSERT_TRUE(b.Load());
  ASSERT_TRUE(b.Save());
  EXPECT_EQ(kMark + plain, ReadBytes(b.Copy(2)));
  ASSERT_TRUE(testsupport::SetModificationTime(b.Copy(2), 1600000002));

  b.WriteCopy(3, plain, 3);
  ASSERT_TRUE(b.Load());
  ASSERT_TRUE(b.Save());
  EXPECT_EQ(plain, ReadBytes(b.Copy(4)));
}

// Copies dated a day ahead, as a clock set back since they were written
// leaves them: the save still takes the next copy in turn and becomes the one
// that the next board loads.
TEST(BoardXmlSave, AfterTheClockStepsBackTheSaveIsStillTheNewestCopy) {
  ConfigBoard b(1);
  const int32_t ahead = static_cast<int32_t>(time(nullptr)) + 86400;
  // Written in the order 3, 4, 5, 1, 2: copy 2 is the newest, 3 the next.
  const int order[] = {3, 4, 5, 1, 2};
  for (int i = 0; i < 5; ++i) {
    WriteBytes(b.Copy(order[i]), Config("512", Ch(1, "false", "0")));
    ASSERT_TRUE(testsupport::SetModificationTime(b.Copy(order[i]), ahead + i));
  }
  ASSERT_TRUE(b.Load());
  StoreSettingsRecord(b.Block() + SettingsRecordOffset(0), SettingsRecord{1, 6});
  ASSERT_TRUE(b.Save());
  EXPECT_NE(std::string::npos, ReadBytes(b.Copy(3)).find(Ch(1, "true", "6")));
  EXPECT_EQ(4, GetOldestFileIndex(b.Board().GetConfigDirectory() + "watermark_config.xml", 5));

  LogCapture log;
  CWatermark_Board next(nullptr, b.BaseDirectory(), nullptr, 0, nullptr);
  ASSERT_TRUE(next.LoadConfig());
  EXPECT_TRUE(log.Has("00000000: Using xml config file " + b.Copy(3)));
}

// ---------------------------------------------------------------- locks

// A save from SetUpgrade (server thread) while CreateChannel (board thread)
// holds the channels write lock and then wants the document: the save must
// wait for the channels without holding the document.
TEST(BoardXmlLocks, SaveTakesTheChannelsBeforeTheDocument) {
  ConfigBoard b(1);
  CReadWriteLock& channels = Access::ChannelsLock(b.Board());
  ASSERT_EQ(0, channels.Write_Start());
  std::atomic<bool> saved{false};
  FnThread saver([&](FnThread&) {
    saved = b.Board().SaveConfig();
    return 0;
  });
  ASSERT_EQ(0, saver.Create(0));
  ASSERT_TRUE(WaitUntil([&] { return SyncTestAccess::HasWaiter(channels); }, 10000));
  std::atomic<int> loaded{-1};
  FnThread creator([&](FnThread&) {
    loaded = Access::LoadChannelConfig(b.Board(), b.Channel(0));
    return 0;
  });
  ASSERT_EQ(0, creator.Create(0));
  EXPECT_TRUE(WaitUntil([&] { return loaded.load() >= 0; }, 10000));
  channels.Write_End();
  EXPECT_TRUE(WaitUntil([&] { return saved.load(); }, 10000));
  creator.Stop();
  saver.Stop();
}

}  // namespace
