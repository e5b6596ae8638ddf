// A board's XML configuration: plain values, the load over rotating copies
// and a forced file (with the fate of rejected files), the save format and
// its copy choice, and the save timer. Files live in a temporary folder; copy
// times are set explicitly, never waited for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/BoardConfig.h"
#include "support/log_capture.h"
#include "support/paths.h"
#include "support/temp_dir.h"
#include "tvlib/files/files.h"
#include "tvlib/files/rotating.h"
#include "tvlib/scoped_handle.h"
#include "tvlib/xml/xml.h"

namespace {

using testsupport::PathExists;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

const int32_t kBaseTime = 1600000000;

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n";

// A well-formed copy: latency and each channel's (enable, watermarking channel).
std::string Config(const char* latency, const std::vector<std::pair<const char*, int>>& channels,
                   const char* version = "1.0.14") {
  std::string s =
      std::string(kDeclaration) + "<config version=\"" + version + "\" latency=\"" + latency + "\">\n";
  for (size_t i = 0; i < channels.size(); ++i) {
    s += "    <ch" + std::to_string(i + 1) + " enable=\"" + channels[i].first + "\" watermarking_channel=\"" +
         std::to_string(channels[i].second) + "\" />\n";
  }
  return s + "</config>\n";
}

// Files in the board's configuration directory, and the names its lines use.
class BoardFiles {
 public:
  BoardFiles() {
    files_ = CBoardConfigFiles{BoardConfigBasePath(dir_.Path() + "\\"), nullptr, "00012345", "SN00012345"};
  }

  const CBoardConfigFiles& Files() const { return files_; }
  CBoardConfigFiles Forced(const std::string& path) {
    forced_ = path;
    CBoardConfigFiles f = files_;
    f.loadPath = forced_.c_str();
    return f;
  }
  std::string Copy(int index) const { return files_.basePath + "." + std::to_string(index); }
  std::string Path(const std::string& name) const { return dir_.File(name); }

  // Writes copy `index` and dates it kBaseTime + age (a greater age is newer).
  void WriteCopy(int index, const std::string& bytes, int32_t age) {
    WriteBytes(Copy(index), bytes);
    ASSERT_TRUE(testsupport::SetModificationTime(Copy(index), kBaseTime + age));
  }

  // Names in the directory that start with `prefix` and end in ".failed.xml".
  std::vector<std::string> Backups(const std::string& prefix) const {
    std::vector<std::string> out;
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA((prefix + "-*.failed.xml").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
      out.push_back(dir_.File(data.cFileName));
    } while (::FindNextFileA(h, &data));
    ::FindClose(h);
    return out;
  }
  std::vector<std::string> AllBackups() const { return Backups(files_.basePath + "*"); }

 private:
  TestTempDir dir_;
  CBoardConfigFiles files_;
  std::string forced_;
};

// What a board keeps of a load: its document, the mark flag and the parse.
struct Loaded {
  TiXmlDocument document;
  bool mark = false;
  CBoardConfigParse parsed;
  bool From(const CBoardConfigFiles& files, int channels) {
    return LoadBoardConfig(document, mark, files, channels, &parsed);
  }
};

const char* LatencyOf(const TiXmlDocument& document) {
  const TiXmlElement* config = FindConfigRoot(document);
  return config != nullptr ? config->Attribute("latency") : nullptr;
}

// Saves like the board: every channel writes (flags, watermarking channel).
bool Save(TiXmlDocument& document, bool mark, uint32_t latency,
          const std::vector<CChannelConfigValues>& channels, const CBoardConfigFiles& files) {
  TiXmlElement* config = PrepareBoardConfigSave(document, latency);
  if (config == nullptr) return false;
  const bool saved = SaveChannelConfigs(
      config, static_cast<int>(channels.size()), files.serialString, [&](int index, TiXmlElement* element) {
        WriteChannelConfigElement(element, channels[index].flags, channels[index].watermarkingChannel);
        return true;
      });
  return saved && WriteBoardConfigCopies(document, mark, files);
}

// ---------------------------------------------------------------- plain values

TEST(BoardConfigValues, NamesAndPaths) {
  EXPECT_EQ("ch1", ChannelConfigName(0));
  EXPECT_EQ("ch8", ChannelConfigName(7));
  EXPECT_EQ("1.0.14", ConfigVersionText());
  EXPECT_EQ("C:\\cfg\\00012345\\watermark_config.xml", BoardConfigBasePath("C:\\cfg\\00012345\\"));
  const std::string backup = FailedConfigBackupPath("D:\\a\\watermark_config.xml.2", 1600000000);
  ASSERT_EQ(std::string("D:\\a\\watermark_config.xml.2-2020-09-13_12-26-40.failed.xml").size(),
            backup.size());
  EXPECT_EQ(0u, backup.find("D:\\a\\watermark_config.xml.2-2020-09-1"));
  EXPECT_EQ(backup.size() - 11, backup.find(".failed.xml"));
}

TEST(BoardConfigValues, LatencyFromTheFile) {
  const struct {
    const char* text;
    uint32_t frames;
    int32_t mode;
  } cases[] = {{"512", 512, 0},  {"2560", 2560, 1}, {"5120", 5120, 2}, {"1024", 2560, 1},
               {"abc", 2560, 1}, {"", 2560, 1},     {nullptr, 2560, 1}};
  for (const auto& c : cases) {
    uint32_t frames = 0;
    EXPECT_EQ(c.mode, LatencyModeFromConfig(c.text, &frames)) << (c.text ? c.text : "none");
    EXPECT_EQ(c.frames, frames) << (c.text ? c.text : "none");
  }
}

TEST(BoardConfigValues, OlderVersions) {
  const struct {
    const char* text;
    bool older;
  } cases[] = {{"1.0", true},   {nullptr, true},   {"1.0.13", true}, {"1", true},    {"", true},
               {"x.1.0", true}, {"1.0.14", false}, {"2.0", false},   {"1.1", false}, {"1.0.15", false}};
  for (const auto& c : cases) EXPECT_EQ(c.older, IsOlderConfigVersion(c.text)) << (c.text ? c.text : "none");
  uint32_t value = 0;
  ASSERT_TRUE(ParseConfigVersion("1.0.14", &value));
  EXPECT_EQ(0x0100000Eu, value);
}

TEST(BoardConfigValues, ChannelElementReadsItsTwoSettings) {
  const struct {
    const char* element;
    int32_t flagsBefore;
    int32_t flags;
    int32_t channel;
  } cases[] = {
      {"<ch1 enable=\"true\" watermarking_channel=\"3\" />", 0, 1, 3},
      {"<ch1 enable=\"TRUE\" watermarking_channel=\"3\" />", 1, 0, 3},
      {"<ch1 enable=\"1\" />", 1, 0, 0},
      {"<ch1 watermarking_channel=\"7x\" />", 1, 0, 7},
      {"<ch1 enable=\"true\" watermarking_channel=\"4294967295\" />", 0, 1, -1},
      // Bits other than the enable bit stay the caller's.
      {"<ch1 enable=\"true\" />", 0x06, 0x07, 0},
      {"<ch1 enable=\"false\" />", 0x07, 0x06, 0},
  };
  for (const auto& c : cases) {
    TiXmlDocument document;
    document.Parse(c.element);
    const CChannelConfigValues values = ReadChannelConfigElement(document.FirstChildElement(), c.flagsBefore);
    EXPECT_EQ(c.flags, values.flags) << c.element;
    EXPECT_EQ(c.channel, values.watermarkingChannel) << c.element;
  }
  const CChannelConfigValues defaults = ReadChannelConfigElement(nullptr, 0x05);
  EXPECT_EQ(0x04, defaults.flags);
  EXPECT_EQ(0, defaults.watermarkingChannel);
}

TEST(BoardConfigValues, ChannelElementWritesOnlyTheEnableBit) {
  TiXmlElement fresh("ch1");
  WriteChannelConfigElement(&fresh, 0x06, -1);
  std::string text;
  PrintToString(&fresh, text, 0);
  EXPECT_EQ("<ch1 enable=\"false\" watermarking_channel=\"4294967295\" />", text);

  // An existing element keeps its attribute order and its other attributes.
  TiXmlDocument document;
  document.Parse("<ch2 watermarking_channel=\"1\" note=\"x\" enable=\"false\" />");
  WriteChannelConfigElement(document.FirstChildElement(), 0x05, 2);
  text.clear();
  PrintToString(document.FirstChildElement(), text, 0);
  EXPECT_EQ("<ch2 watermarking_channel=\"2\" note=\"x\" enable=\"true\" />", text);
}

TEST(BoardConfigValues, ChannelTakesThePreviousElementOnlyOneStepBack) {
  TiXmlDocument document;
  document.Parse("<config><ch1 enable=\"true\" /><ch3 enable=\"false\" /></config>");
  const TiXmlElement* config = FindConfigRoot(document);
  LogCapture log;
  const CChannelConfigChoice own = ChooseChannelConfig(config, 0, "00012345");
  EXPECT_EQ(config->FirstChildElement("ch1"), own.element);
  EXPECT_FALSE(own.copied);
  const CChannelConfigChoice copied = ChooseChannelConfig(config, 1, "00012345");
  EXPECT_EQ(config->FirstChildElement("ch1"), copied.element);
  EXPECT_TRUE(copied.copied);
  EXPECT_EQ(config->FirstChildElement("ch3"), ChooseChannelConfig(config, 2, "00012345").element);
  const CChannelConfigChoice none = ChooseChannelConfig(config, 4, "00012345");
  EXPECT_EQ(nullptr, none.element);
  EXPECT_FALSE(none.copied);
  EXPECT_EQ(1, log.Count("00012345 channel 1: using configuration of channel 0"));
  EXPECT_EQ(1, log.Count("using configuration"));
}

TEST(BoardConfigValues, ParseCopiesForwardAndFailsWhereNothingIsLeftToCopy) {
  TiXmlDocument document;
  document.Parse(Config("5120", {{"true", 2}}).c_str());
  BoardFiles board;
  LogCapture log;
  CBoardConfigParse two;
  ASSERT_TRUE(ParseBoardConfig(document, 2, board.Files(), &two));
  EXPECT_EQ(5120u, two.latency);
  EXPECT_EQ(2, two.latencyMode);
  EXPECT_EQ(0x0100000Eu, two.version);
  ASSERT_EQ(2u, two.channels.size());
  EXPECT_FALSE(two.channels[0].copied);
  EXPECT_TRUE(two.channels[1].copied);
  EXPECT_EQ(two.channels[0].element, two.channels[1].element);
  EXPECT_TRUE(log.Has("00012345 channel 1: using configuration of channel 0"));

  CBoardConfigParse three;
  EXPECT_FALSE(ParseBoardConfig(document, 3, board.Files(), &three));
  // No channel to load: only the latency counts.
  CBoardConfigParse none;
  EXPECT_TRUE(ParseBoardConfig(document, 0, board.Files(), &none));
  EXPECT_TRUE(none.channels.empty());

  TiXmlDocument noConfig;
  noConfig.Parse("<!-- config --><settings latency=\"512\" />");
  EXPECT_FALSE(ParseBoardConfig(noConfig, 0, board.Files(), &none));
}

TEST(BoardConfigValues, OlderVersionOnlyLogs) {
  BoardFiles board;
  for (const char* version : {"1.0", "1.0.13", "1.0.14", "2.0"}) {
    TiXmlDocument document;
    document.Parse(Config("2560", {{"true", 1}}, version).c_str());
    LogCapture log;
    CBoardConfigParse parsed;
    ASSERT_TRUE(ParseBoardConfig(document, 1, board.Files(), &parsed)) << version;
    EXPECT_EQ(2560u, parsed.latency);
    const bool older = std::string(version) == "1.0" || std::string(version) == "1.0.13";
    EXPECT_EQ(older ? 1 : 0, log.Count("SN00012345: getting config from older version")) << version;
  }
  TiXmlDocument unversioned;
  unversioned.Parse("<config latency=\"512\" />");
  LogCapture log;
  CBoardConfigParse parsed;
  ASSERT_TRUE(ParseBoardConfig(unversioned, 0, board.Files(), &parsed));
  EXPECT_EQ(0u, parsed.version);
  EXPECT_TRUE(log.Has("getting config from older version"));
}

// ---------------------------------------------------------------- loading

TEST(BoardConfigLoad, NewestCopyWins) {
  BoardFiles board;
  const char* latencies[] = {"512", "2560", "5120", "512", "2560"};
  const int32_t ages[] = {10, 30, 50, 40, 20};
  for (int i = 1; i <= 5; ++i)
    board.WriteCopy(i, Config(latencies[i - 1], {{"true", i}, {"false", 0}}), ages[i - 1]);
  LogCapture log;
  Loaded loaded;
  ASSERT_TRUE(loaded.From(board.Files(), 2));
  EXPECT_EQ(board.Copy(3), loaded.parsed.file);
  EXPECT_EQ(5120u, loaded.parsed.latency);
  EXPECT_EQ(2, loaded.parsed.latencyMode);
  EXPECT_FALSE(loaded.mark);
  ASSERT_EQ(2u, loaded.parsed.channels.size());
  // The choices point into the board's document, not into a scratch copy.
  EXPECT_EQ(FindConfigRoot(loaded.document)->FirstChildElement("ch1"), loaded.parsed.channels[0].element);
  EXPECT_EQ(3, ReadChannelConfigElement(loaded.parsed.channels[0].element, 0).watermarkingChannel);
  EXPECT_TRUE(log.Has("00012345: Using xml config file " + board.Copy(3)));
  EXPECT_TRUE(board.AllBackups().empty());
}

TEST(BoardConfigLoad, CopiesThatAreNotXmlLeaveTheRotation) {
  const std::string good = Config("512", {{"false", 0}, {"false", 0}});
  const std::string whole = Config("5120", {{"true", 4}, {"true", 4}});
  const std::string cut = whole.substr(0, whole.find("<ch1 enable=\"true\" watermark") + 28);
  const std::string garbage = std::string("\x89PNG\r\n\x1a\n", 8) + testsupport::PatternBytes(300);
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {{"cut inside an element", cut}, {"binary garbage", garbage}, {"empty", ""}};
  for (const auto& c : cases) {
    BoardFiles board;
    board.WriteCopy(1, good, 10);
    board.WriteCopy(2, c.bytes, 20);
    LogCapture log;
    Loaded loaded;
    ASSERT_TRUE(loaded.From(board.Files(), 2)) << c.what;
    EXPECT_EQ(board.Copy(1), loaded.parsed.file) << c.what;
    EXPECT_FALSE(PathExists(board.Copy(2))) << c.what;
    const std::vector<std::string> backups = board.Backups(board.Copy(2));
    ASSERT_EQ(1u, backups.size()) << c.what;
    EXPECT_EQ(c.bytes, ReadBytes(backups[0])) << c.what;
    // Nothing of the rejected file reached the document.
    EXPECT_STREQ("512", LatencyOf(loaded.document)) << c.what;
    EXPECT_STREQ("false", FindConfigRoot(loaded.document)->FirstChildElement("ch1")->Attribute("enable"))
        << c.what;
    EXPECT_TRUE(log.Has("00012345: Failed to reload existing xml config file " + board.Copy(2) +
                        " (backup in " + backups[0] + ")"))
        << c.what;
    EXPECT_TRUE(log.Has("LoadConfig Xml parse error: ")) << c.what;
    EXPECT_EQ(1, log.Count("Using xml config file")) << c.what;
  }
}

TEST(BoardConfigLoad, CopyThatCannotBeBackedUpIsKept) {
  // A reader that shares only reading: the copy loads, but it can neither be
  // moved nor copied away, so it must stay where it is.
  BoardFiles board;
  board.WriteCopy(1, Config("512", {{"false", 0}}), 10);
  const std::string cut = "<config version=\"1.0.14\" latency=\"5120\"><ch1 enable=\"tr";
  board.WriteCopy(2, cut, 20);
  ScopedFileHandle holder(::CreateFileA(board.Copy(2).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder.IsValid());
  LogCapture log;
  Loaded loaded;
  ASSERT_TRUE(loaded.From(board.Files(), 1));
  EXPECT_EQ(board.Copy(1), loaded.parsed.file);
  holder.Reset();
  EXPECT_EQ(cut, ReadBytes(board.Copy(2)));
  EXPECT_TRUE(board.AllBackups().empty());
  EXPECT_TRUE(
      log.Has("00012345: Failed to reload existing xml config file " + board.Copy(2) + " (no backup, kept)"));
}

TEST(BoardConfigLoad, XmlWithoutConfigIsBackedUpAndKept) {
  BoardFiles board;
  board.WriteCopy(1, Config("2560", {{"true", 1}}), 10);
  const std::string foreign = std::string(kDeclaration) + "<settings latency=\"5120\" />\n";
  board.WriteCopy(2, foreign, 20);
  LogCapture log;
  Loaded loaded;
  ASSERT_TRUE(loaded.From(board.Files(), 1));
  EXPECT_EQ(board.Copy(1), loaded.parsed.file);
  EXPECT_EQ(foreign, ReadBytes(board.Copy(2)));
  const std::vector<std::string> backups = board.Backups(board.Copy(2));
  ASSERT_EQ(1u, backups.size());
  EXPECT_EQ(foreign, ReadBytes(backups[0]));
  EXPECT_TRUE(log.Has("00012345: Failed to reload xml config file " + board.Copy(2) + " (backup in " +
                      backups[0] + ")"));
  EXPECT_STREQ("2560", LatencyOf(loaded.document));
}

TEST(BoardConfigLoad, CopyWithoutAChannelElementToUseIsKeptAndTheNextOlderIsUsed) {
  BoardFiles board;
  board.WriteCopy(1, Config("512", {{"true", 0}, {"true", 1}, {"false", 2}}), 10);
  const std::string onlyFirst = Config("5120", {{"true", 5}});
  board.WriteCopy(2, onlyFirst, 20);
  LogCapture log;
  Loaded loaded;
  ASSERT_TRUE(loaded.From(board.Files(), 3));
  EXPECT_EQ(board.Copy(1), loaded.parsed.file);
  EXPECT_EQ(512u, loaded.parsed.latency);
  EXPECT_EQ(onlyFirst, ReadBytes(board.Copy(2)));
  EXPECT_EQ(1u, board.Backups(board.Copy(2)).size());
  EXPECT_TRUE(log.Has("Failed to reload xml config file " + board.Copy(2)));
}

TEST(BoardConfigLoad, CopiesThatCannotBeOpenedAreLeftAlone) {
  const std::string bytes = Config("5120", {{"true", 1}});
  const struct {
    const char* what;
    DWORD share;  // the holder's sharing; ~0u: a directory of that name
  } cases[] = {{"held without sharing", 0},
               {"held with delete sharing only", FILE_SHARE_DELETE},
               {"a directory", ~0u}};
  for (const auto& c : cases) {
    BoardFiles board;
    board.WriteCopy(1, Config("512", {{"false", 0}}), 10);
    ScopedFileHandle holder;
    if (c.share == ~0u) {
      ASSERT_TRUE(::CreateDirectoryA(board.Copy(2).c_str(), nullptr));
      ASSERT_TRUE(testsupport::SetModificationTime(board.Copy(2), kBaseTime + 20));
    } else {
      board.WriteCopy(2, bytes, 20);
      holder.Reset(::CreateFileA(board.Copy(2).c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(holder.IsValid()) << c.what;
    }
    LogCapture log;
    Loaded loaded;
    ASSERT_TRUE(loaded.From(board.Files(), 1)) << c.what;
    EXPECT_EQ(board.Copy(1), loaded.parsed.file) << c.what;
    EXPECT_TRUE(log.Has("00012345: Can not open xml config file " + board.Copy(2) + ", kept")) << c.what;
    EXPECT_EQ(0, log.Count("Failed to reload")) << c.what;
    holder.Reset();
    EXPECT_TRUE(board.AllBackups().empty()) << c.what;
    EXPECT_TRUE(PathExists(board.Copy(2))) << c.what;
    EXPECT_EQ(kBaseTime + 20, GetFileModificationTime(board.Copy(2))) << c.what;
    if (c.share != ~0u) {
      EXPECT_EQ(bytes, ReadBytes(board.Copy(2))) << c.what;
    }
  }
}

TEST(BoardConfigLoad, NoCopyAtAllLeavesTheDocumentEmpty) {
  BoardFiles board;
  LogCapture log;
  Loaded loaded;
  EXPECT_FALSE(loaded.From(board.Files(), 2));
  EXPECT_EQ(1, log.Count("00012345: *** NO WAY TO RELOAD A CONFIG !"));
  EXPECT_EQ(0, log.Count("does not exists"));
  EXPECT_EQ(nullptr, loaded.document.FirstChild());
}

TEST(BoardConfigLoad, FiveFailuresKeepWhatTheDocumentHeld) {
  // At start: nothing loads, the document stays empty, and the next save
  // writes a fresh document into the first copy.
  {
    BoardFiles board;
    for (int i = 1; i <= 5; ++i) board.WriteCopy(i, "<config latency=\"5120\"><ch1", 10 * i);
    LogCapture log;
    Loaded loaded;
    EXPECT_FALSE(loaded.From(board.Files(), 1));
    EXPECT_EQ(5, log.Count("LoadConfig Xml parse error"));
    EXPECT_EQ(1, log.Count("*** NO WAY TO RELOAD A CONFIG !"));
    EXPECT_EQ(nullptr, loaded.document.FirstChild());
    EXPECT_EQ(5u, board.AllBackups().size());
    ASSERT_TRUE(Save(loaded.document, loaded.mark, 512, {{0, 0}}, board.Files()));
    EXPECT_EQ(std::string(kDeclaration) +
                  "<config version=\"1.0.14\" latency=\"512\">\n    <ch1 enable=\"false\" "
                  "watermarking_channel=\"0\" />\n</config>\n",
              ReadBytes(board.Copy(1)));
  }
  // A reload after the upgrade state: the good document stays, with its mark.
  {
    BoardFiles board;
    board.WriteCopy(1, "\xEF\xBB\xBF" + Config("2560", {{"true", 1}}), 10);
    Loaded loaded;
    ASSERT_TRUE(loaded.From(board.Files(), 1));
    EXPECT_TRUE(loaded.mark);
    ::DeleteFileA(board.Copy(1).c_str());
    for (int i = 1; i <= 5; ++i)
      board.WriteCopy(i, i == 3 ? std::string("<settings/>") : std::string("junk"), 10 * i);
    LogCapture log;
    EXPECT_FALSE(loaded.From(board.Files(), 1));
    EXPECT_EQ(1, log.Count("NO WAY TO RELOAD"));
    EXPECT_STREQ("2560", LatencyOf(loaded.document));
    EXPECT_TRUE(loaded.mark);
  }
}

TEST(BoardConfigLoad, ForcedFileIsTriedOnceAndNeverMoved) {
  BoardFiles board;
  const std::string copy = Config("2560", {{"true", 1}});
  board.WriteCopy(1, copy, 10);
  const std::string forcedPath = board.Path("operator.xml");
  const std::string corrupt = "<config version=\"1.0.14\" latency=\"5120\"><ch1 enable=";
  WriteBytes(forcedPath, corrupt);
  const CBoardConfigFiles files = board.Forced(forcedPath);
  {
    LogCapture log;
    Loaded loaded;
    EXPECT_FALSE(loaded.From(files, 1));
    EXPECT_EQ(1, log.Count("LoadConfig Xml parse error"));
    EXPECT_EQ(
        1, log.Count("00012345: Failed to reload existing xml config file " + forcedPath + " (backup in "));
    EXPECT_EQ(1, log.Count("*** NO WAY TO RELOAD A CONFIG !"));
    EXPECT_EQ(nullptr, loaded.document.FirstChild());
    EXPECT_EQ(corrupt, ReadBytes(forcedPath));
    const std::vector<std::string> backups = board.Backups(forcedPath);
    ASSERT_EQ(1u, backups.size());
    EXPECT_EQ(corrupt, ReadBytes(backups[0]));
    // The rotating copies are not the load's business then.
    EXPECT_EQ(copy, ReadBytes(board.Copy(1)));
    EXPECT_TRUE(board.AllBackups().empty());
  }
  // A good forced file serves every load; saves still go to the copies.
  const std::string good = Config("5120", {{"true", 2}});
  WriteBytes(forcedPath, good);
  for (int round = 0; round < 2; ++round) {
    Loaded loaded;
    ASSERT_TRUE(loaded.From(files, 1));
    EXPECT_EQ(forcedPath, loaded.parsed.file);
    EXPECT_EQ(5120u, loaded.parsed.latency);
    ASSERT_TRUE(Save(loaded.document, loaded.mark, loaded.parsed.latency, {{1, 2}}, files));
  }
  EXPECT_EQ(good, ReadBytes(forcedPath));
  EXPECT_EQ(good, ReadBytes(board.Copy(2)));
  EXPECT_EQ(good, ReadBytes(board.Copy(3)));
}

TEST(BoardConfigLoad, BaseFileBecomesTheFirstCopy) {
  BoardFiles board;
  const std::string old = Config("5120", {{"true", 0}}, "1.0");
  WriteBytes(board.Files().basePath, old);
  LogCapture log;
  Loaded loaded;
  ASSERT_TRUE(loaded.From(board.Files(), 1));
  EXPECT_EQ(board.Copy(1), loaded.parsed.file);
  EXPECT_FALSE(PathExists(board.Files().basePath));
  EXPECT_EQ(old, ReadBytes(board.Copy(1)));
  EXPECT_TRUE(log.Has("SN00012345: getting config from older version"));
}

TEST(BoardConfigLoad, ZeroPaddingAfterTheXmlIsGood) {
  // What an interrupted unbuffered write leaves: the text, then zeros.
  BoardFiles board;
  board.WriteCopy(1, Config("2560", {{"true", 6}}) + std::string(4096, '\0'), 10);
  Loaded loaded;
  ASSERT_TRUE(loaded.From(board.Files(), 1));
  EXPECT_EQ(6, ReadChannelConfigElement(loaded.parsed.channels[0].element, 0).watermarkingChannel);
  EXPECT_TRUE(board.AllBackups().empty());
}

// ---------------------------------------------------------------- saving

TEST(BoardConfigSave, NewDocumentFormat) {
  BoardFiles board;
  TiXmlDocument document;
  LogCapture log;
  ASSERT_TRUE(Save(document, false, 512, {{0, 0}, {0, 0}}, board.Files()));
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n<config version=\"1.0.14\" "
      "latency=\"512\">\n    <ch1 enable=\"false\" watermarking_channel=\"0\" />\n    <ch2 enable=\"false\" "
      "watermarking_channel=\"0\" />\n</config>\n";
  ASSERT_EQ(211u, expected.size());
  EXPECT_EQ(expected, ReadBytes(board.Copy(1)));
  const std::vector<std::string> lines = log.Lines();
  const size_t changes =
      testsupport::IndexOfLineContaining(lines, "00012345: Changes detected, saving xml config !");
  const size_t saved =
      testsupport::IndexOfLineContaining(lines, "00012345: Saved xml config file " + board.Copy(1));
  ASSERT_NE(std::string::npos, changes);
  ASSERT_NE(std::string::npos, saved);
  EXPECT_LT(changes, saved);
}

TEST(BoardConfigSave, LoadedDocumentKeepsItsOwnContent) {
  const std::string body =
      "<!-- edited by hand -->\n<config latency=\"2560\" site=\"north\" version=\"1.0.9\">\n"
      "    <ch2 watermarking_channel=\"1\" enable=\"true\" gain=\"3\" />\n"
      "    <notes>keep me</notes>\n"
      "    <ch1 enable=\"false\" watermarking_channel=\"0\" />\n"
      "    <ch5 enable=\"true\" watermarking_channel=\"9\" />\n"
      "</config>\n";
  const std::string expected =
      "<!-- edited by hand -->\n<config latency=\"5120\" site=\"north\" version=\"1.0.14\">\n"
      "    <ch2 watermarking_channel=\"4\" enable=\"false\" gain=\"3\" />\n"
      "    <notes>keep me</notes>\n"
      "    <ch1 enable=\"true\" watermarking_channel=\"2\" />\n"
      "    <ch5 enable=\"true\" watermarking_channel=\"9\" />\n"
      "    <ch3 enable=\"true\" watermarking_channel=\"0\" />\n"
      "</config>\n";
  for (const bool mark : {false, true}) {
    BoardFiles board;
    const std::string prefix = mark ? "\xEF\xBB\xBF" : "";
    board.WriteCopy(1, prefix + body, 10);
    Loaded loaded;
    loaded.mark = !mark;
    ASSERT_TRUE(loaded.From(board.Files(), 2));
    EXPECT_EQ(mark, loaded.mark);
    ASSERT_TRUE(Save(loaded.document, loaded.mark, 5120, {{0x03, 2}, {0x00, 4}, {0x01, 0}}, board.Files()));
    EXPECT_EQ(prefix + expected, ReadBytes(board.Copy(2))) << mark;
    EXPECT_EQ(prefix + body, ReadBytes(board.Copy(1))) << mark;
  }
}

TEST(BoardConfigSave, DocumentWithoutConfigIsNotWritten) {
  BoardFiles board;
  TiXmlDocument document;
  document.Parse("<settings latency=\"512\" />");
  EXPECT_EQ(nullptr, PrepareBoardConfigSave(document, 512));
  EXPECT_EQ(nullptr, FindConfigRoot(document));
  EXPECT_EQ(nullptr, document.FirstChildElement()->Attribute("version"));
  EXPECT_FALSE(Save(document, false, 512, {{1, 0}}, board.Files()));
  EXPECT_FALSE(PathExists(board.Copy(1)));
}

TEST(BoardConfigSave, ChannelThatFailsEndsTheSave) {
  TiXmlDocument document;
  TiXmlElement* config = PrepareBoardConfigSave(document, 512);
  ASSERT_NE(nullptr, config);
  LogCapture log;
  std::vector<int> asked;
  EXPECT_FALSE(SaveChannelConfigs(config, 3, "00012345", [&](int index, TiXmlElement*) {
    asked.push_back(index);
    return index != 1;
  }));
  EXPECT_EQ((std::vector<int>{0, 1}), asked);
  EXPECT_EQ(nullptr, config->FirstChildElement("ch3"));
  EXPECT_TRUE(log.Has("00012345: Failed to save xml config !"));
}

TEST(BoardConfigSave, HeldCopyPassesTheSaveToTheNextIndex) {
  BoardFiles board;
  const std::string old = Config("512", {{"false", 0}});
  for (int i = 1; i <= 5; ++i) board.WriteCopy(i, old, i == 2 ? 5 : 10 * i);
  // Copy 2 is the oldest: the save goes there, or on to copy 3 while it is held.
  {
    ScopedFileHandle holder(::CreateFileA(board.Copy(2).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.IsValid());
    LogCapture log;
    TiXmlDocument document;
    ASSERT_TRUE(Save(document, false, 2560, {{1, 0}}, board.Files()));
    EXPECT_TRUE(log.Has("00012345: Failed to save xml config to " + board.Copy(2) + " !"));
    EXPECT_TRUE(log.Has("00012345: Saved xml config file " + board.Copy(3)));
  }
  EXPECT_EQ(old, ReadBytes(board.Copy(2)));
  EXPECT_NE(std::string::npos, ReadBytes(board.Copy(3)).find("latency=\"2560\""));

  // With every copy held nothing can be written, and nothing changes.
  std::vector<std::string> before;
  std::vector<ScopedFileHandle*> holders;
  for (int i = 1; i <= 5; ++i) {
    before.push_back(ReadBytes(board.Copy(i)));
    holders.push_back(new ScopedFileHandle(::CreateFileA(board.Copy(i).c_str(), GENERIC_READ, 0, nullptr,
                                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    ASSERT_TRUE(holders.back()->IsValid());
  }
  LogCapture log;
  TiXmlDocument document;
  EXPECT_FALSE(Save(document, false, 5120, {{1, 0}}, board.Files()));
  EXPECT_EQ(5, log.Count("Failed to save xml config to"));
  for (ScopedFileHandle* h : holders) delete h;
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(before[i - 1], ReadBytes(board.Copy(i))) << i;
}

// ---------------------------------------------------------------- save timer

TEST(ConfigSaveTimer, TenSecondsAfterTheLastChange) {
  CConfigSaveTimer timer;
  EXPECT_FALSE(timer.IsDue(50000));
  timer.Change(0);
  timer.Change(5000);
  EXPECT_FALSE(timer.IsDue(14999));
  EXPECT_FALSE(timer.IsDue(15000));
  EXPECT_TRUE(timer.IsDue(15001));
}

TEST(ConfigSaveTimer, ThirtyMinutesAfterTheFirstChangeAtMost) {
  CConfigSaveTimer timer;
  const uint64_t first = 1000000;
  uint64_t now = first;
  bool dueEarly = false;
  for (; now <= first + 1800000; now += 5000) {
    dueEarly = dueEarly || timer.IsDue(now);
    timer.Change(now);
  }
  EXPECT_FALSE(dueEarly);
  EXPECT_FALSE(timer.IsDue(first + 1800000));
  EXPECT_TRUE(timer.IsDue(first + 1800001));

  // After a save (failed or not) the next change starts a new cap.
  timer.Clear();
  EXPECT_FALSE(timer.IsDue(first + 1800001));
  EXPECT_EQ(0u, timer.GetSaveCap());
  timer.Change(first + 1900000);
  EXPECT_EQ(first + 1900000 + 1800000, timer.GetSaveCap());
  EXPECT_EQ(first + 1910000, timer.GetSaveTime());
}

}  // namespace
