// pelorin.conf: line syntax, references, the fgets line limit, the file
// search and the directory defaults. Files live in a temporary folder; the
// search's third place is given as a folder of the test's own, so nothing is
// ever written to the prefix's ProgramData.
#include <gtest/gtest.h>

#include <string>

#include "service/Config.h"
#include "support/paths.h"
#include "support/temp_dir.h"
#include "tvlib/files/files.h"

namespace {

CSettingsMap ReadText(const TestTempDir& dir, const std::string& bytes) {
  std::string path = dir.File("pelorin.conf");
  testsupport::WriteBytes(path, bytes);
  CSettingsMap settings;
  FILE* file = OpenConfigFile(path.c_str(), dir.Path(), dir.Path());
  EXPECT_NE(nullptr, file);
  if (file != nullptr) {
    CConfigNotices notices;
    ReadConfigFile(file, settings, notices);
    EXPECT_TRUE(notices.empty());
    fclose(file);
  }
  return settings;
}

TEST(ConfigFile, LinesReferencesAndComments) {
  TestTempDir dir;
  struct {
    const char* text;
    const char* key;
    const char* value;
  } cases[] = {
      {"BASE = C:\\x\nLOG=%%BASE%%\\log\n", "LOG", "C:\\x\\log"},
      {"BASE = C:\\x\nLOG=%%BASE%%\\log\n", "BASE", "C:\\x"},
      {"A=%%B%%x\nB=y\n", "A", "x"},
      {"A=%%B%%x\nB=y\n", "B", "y"},
      {"X=a%%b\n", "X", "a%%b"},
      {"X=%%%%\n", "X", ""},
      {"X=%%%%%\n", "X", "%"},
      {"K=v # note\n", "K", "v"},
      {"K=1\r\nL=2\r\n", "K", "1"},
      {"K=1\nK=2\n", "K", "2"},
      {"K = \t spaced out \t\n", "K", "spaced out"},
      {"K=a=b\n", "K", "a=b"},
      {"K=  %%M%%  \nM=z\n", "K", ""},
      {"\xEF\xBB\xBFRUN=D:\\wm\n", "RUN", "D:\\wm"},
      {"RUN=D:\\wm\x1ALOG=hidden\n", "RUN", "D:\\wm"},
  };
  for (const auto& c : cases) {
    CSettingsMap settings = ReadText(dir, c.text);
    ASSERT_EQ(1u, settings.count(c.key)) << c.text;
    EXPECT_EQ(c.value, settings[c.key]) << c.text;
  }
}

TEST(ConfigFile, LinesThatSetNothing) {
  TestTempDir dir;
  CSettingsMap settings = ReadText(dir, "# RUN=x\n\nno equals here\nLOG=after # K=v\n\x1AHIDDEN=1\n");
  EXPECT_EQ(1u, settings.size());
  EXPECT_EQ("after", settings["LOG"]);
}

TEST(ConfigFile, ReferencesInsertWhatTheyName) {
  TestTempDir dir;
  CSettingsMap settings = ReadText(dir, "X=%%%%\nY=%%UNSET%%\n");
  EXPECT_EQ(1u, settings.count(""));
  EXPECT_EQ(1u, settings.count("UNSET"));
  EXPECT_EQ("", settings["UNSET"]);
}

TEST(ConfigFile, LongLinesAreReadIn511ByteParts) {
  TestTempDir dir;
  // 602 characters: 511 of them, then the rest as a line of its own.
  CSettingsMap settings = ReadText(dir, "K=" + std::string(509, 'a') + "R=" + std::string(89, 'b') + "\n");
  EXPECT_EQ(std::string(509, 'a'), settings["K"]);
  EXPECT_EQ(std::string(89, 'b'), settings["R"]);

  // 511 characters and the line feed: the line, then an empty line.
  settings = ReadText(dir, "K=" + std::string(509, 'c') + "\nL=1\n");
  EXPECT_EQ(std::string(509, 'c'), settings["K"]);
  EXPECT_EQ("1", settings["L"]);
  EXPECT_EQ(2u, settings.size());

  // 512 characters: the 512th begins the next part.
  settings = ReadText(dir, "K=" + std::string(509, 'd') + "e=f\n");
  EXPECT_EQ(std::string(509, 'd'), settings["K"]);
  EXPECT_EQ("f", settings["e"]);
}

TEST(ConfigFile, TheSearchTakesTheFirstFileThatOpens) {
  TestTempDir dir;
  std::string option = dir.File("option.conf");
  std::string cwd = dir.File("cwd");
  std::string appData = dir.File("appdata");
  ::CreateDirectoryA(cwd.c_str(), nullptr);
  CreateDirectoryPath(appData + "\\tarvel", false);
  testsupport::WriteBytes(option, "WHERE=option\n");
  testsupport::WriteBytes(cwd + "\\pelorin.conf", "WHERE=cwd\n");
  testsupport::WriteBytes(appData + "\\tarvel\\pelorin.conf", "WHERE=appdata\n");

  auto where = [&](const char* optionPath) {
    CSettingsMap settings;
    FILE* file = OpenConfigFile(optionPath, cwd, appData);
    if (file == nullptr) return std::string("none");
    CConfigNotices notices;
    ReadConfigFile(file, settings, notices);
    fclose(file);
    return settings["WHERE"];
  };
  EXPECT_EQ("option", where(option.c_str()));
  EXPECT_EQ("cwd", where(dir.File("missing.conf").c_str()));
  EXPECT_EQ("cwd", where(""));
  EXPECT_EQ("cwd", where(nullptr));
  ::DeleteFileA((cwd + "\\pelorin.conf").c_str());
  EXPECT_EQ("appdata", where(nullptr));
  ::DeleteFileA((appData + "\\tarvel\\pelorin.conf").c_str());
  EXPECT_EQ("none", where(nullptr));
}

TEST(ConfigFile, DirectoryDefaultsComeFromRunAfterTheFile) {
  CSettingsMap fromRun = {{"RUN", "D:\\wm"}};
  CompleteDirectorySettings(fromRun, "C:\\cwd");
  EXPECT_EQ("D:\\wm\\cfg\\Watermark", fromRun["CFG"]);
  EXPECT_EQ("D:\\wm\\Products\\Watermark", fromRun["PRODUCTS"]);
  EXPECT_EQ("D:\\wm", fromRun["LOG"]);

  CSettingsMap none;
  CompleteDirectorySettings(none, "C:\\cwd");
  EXPECT_EQ("C:\\cwd", none["RUN"]);
  EXPECT_EQ("C:\\cwd\\cfg\\Watermark", none["CFG"]);

  // Present but empty stays empty.
  CSettingsMap empty = {{"RUN", ""}, {"LOG", "L"}, {"OTHER", "o"}};
  CompleteDirectorySettings(empty, "C:\\cwd");
  EXPECT_EQ("", empty["RUN"]);
  EXPECT_EQ("\\cfg\\Watermark", empty["CFG"]);
  EXPECT_EQ("L", empty["LOG"]);
  EXPECT_EQ("o", empty["OTHER"]);
}

TEST(ConfigFile, TheDirectoriesAreCreatedAndExistingOnesAreNoFailure) {
  TestTempDir dir;
  CSettingsMap settings = {{"RUN", dir.File("run")}, {"LOG", dir.File("logs\\deep")}};
  ::CreateDirectoryA(dir.File("run").c_str(), nullptr);
  CompleteDirectorySettings(settings, "C:\\unused");
  CreateDirectorySettings(settings);
  for (const char* key : {"RUN", "CFG", "PRODUCTS", "LOG"})
    EXPECT_TRUE(testsupport::PathExists(settings[key])) << key;
  CreateDirectorySettings(settings);
  EXPECT_TRUE(testsupport::PathExists(dir.File("run\\Products\\Watermark")));
}

}  // namespace
