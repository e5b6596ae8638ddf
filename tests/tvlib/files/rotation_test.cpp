#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tvlib/files/files.h"
#include "tvlib/files/rotating.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tvlib/scoped_handle.h"

namespace {

const int32_t kBaseTime = 1600000000;

void SetModificationTime(const std::string& path, int32_t seconds) {
  ASSERT_TRUE(testsupport::SetModificationTime(path, seconds)) << path;
}

// Copies .1 to .5 with the given times (0 = no copy), relative to kBaseTime.
void MakeCopies(const std::string& base, const std::array<int32_t, 5>& times) {
  for (int i = 1; i <= 5; ++i) {
    if (times[i - 1] == 0) continue;
    const std::string path = base + FormatCopyIndex(i);
    testsupport::WriteBytes(path, "copy " + std::to_string(i));
    SetModificationTime(path, kBaseTime + times[i - 1]);
  }
}

struct TimeCase {
  std::array<int32_t, 5> times;
  int32_t newest;
  int32_t oldest;
};

TEST(Rotation, TimeTables) {
  const TimeCase cases[] = {
      {{100, 100, 100, 0, 0}, 3, 4},     {{100, 50, 100, 0, 0}, 1, 4},      {{500, 100, 200, 300, 400}, 1, 2},
      {{100, 200, 100, 300, 400}, 5, 3}, {{100, 100, 100, 100, 100}, 5, 1}, {{0, 0, 0, 0, 0}, 0, 1},
      {{0, 0, 7, 0, 0}, 3, 1},           {{100, 0, 300, 0, 0}, 3, 2},
  };
  int n = 0;
  for (const TimeCase& c : cases) {
    TestTempDir dir;
    const std::string base = dir.File("cfg" + std::to_string(n++) + ".xml");
    MakeCopies(base, c.times);
    std::array<int32_t, 5> got{};
    GetRotatingFileTimes(base, 5, got.data());
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(c.times[i] ? kBaseTime + c.times[i] : 0, got[i]) << "case " << n;
    }
    EXPECT_EQ(c.newest, GetNewestFileIndex(base, 5)) << "case " << n;
    EXPECT_EQ(c.oldest, GetOldestFileIndex(base, 5)) << "case " << n;
  }
}

TEST(Rotation, BadCount) {
  TestTempDir dir;
  LogCapture log;
  EXPECT_EQ(0, GetNewestFileIndex(dir.File("x"), 0));
  EXPECT_EQ(0, GetOldestFileIndex(dir.File("x"), -2));
  int32_t untouched[1] = {42};
  GetRotatingFileTimes(dir.File("x"), 0, untouched);
  EXPECT_EQ(42, untouched[0]);
  EXPECT_TRUE(log.Has("GetNewestFileIndex with bad rotate count (0)"));
  EXPECT_TRUE(log.Has("GetNewestFileIndex with bad rotate count (-2)"));
  EXPECT_TRUE(log.Has("GetRotatingFileTimes with bad count (0) !"));
}

TEST(Rotation, SevenSavesAlwaysNameTheCopyJustWritten) {
  TestTempDir dir;
  const std::string base = dir.File("watermark_config.xml");
  const int32_t expected[] = {1, 2, 3, 4, 5, 1, 2};
  for (int i = 0; i < 7; ++i) {
    const int32_t index = GetOldestFileIndex(base, 5);
    EXPECT_EQ(expected[i], index) << "save " << i;
    const std::string path = base + FormatCopyIndex(index);
    ASSERT_TRUE(FileWrite_NoCache(path, "save " + std::to_string(i)));
    SetModificationTime(path, kBaseTime + i);
    EXPECT_EQ(index, GetNewestFileIndex(base, 5)) << "save " << i;
  }
  EXPECT_EQ("save 6", testsupport::ReadBytes(base + ".2"));
  EXPECT_EQ("save 5", testsupport::ReadBytes(base + ".1"));
  EXPECT_EQ("save 4", testsupport::ReadBytes(base + ".5"));
}

TEST(Rotation, MigratesOldSingleFile) {
  TestTempDir dir;
  LogCapture log;
  const std::string base = dir.File("watermark_config.xml");
  testsupport::WriteBytes(base, "single");
  testsupport::WriteBytes(base + ".old", "backup");
  EXPECT_EQ(1, GetNewestFileIndex(base, 5));
  EXPECT_FALSE(FileExists(base));
  EXPECT_FALSE(FileExists(base + ".old"));
  EXPECT_EQ("single", testsupport::ReadBytes(base + ".1"));
  EXPECT_TRUE(log.Has("Config file " + base + ": changing to new rotating mode"));
  EXPECT_TRUE(log.Has("Config backup file " + base + ".old: removing"));
}

TEST(Rotation, NoMigrationWhenFirstCopyExists) {
  TestTempDir dir;
  const std::string base = dir.File("watermark_config.xml");
  testsupport::WriteBytes(base, "single");
  testsupport::WriteBytes(base + ".old", "backup");
  testsupport::WriteBytes(base + ".1", "copy");
  int32_t times[5];
  GetRotatingFileTimes(base, 5, times);
  EXPECT_EQ("single", testsupport::ReadBytes(base));
  EXPECT_EQ("backup", testsupport::ReadBytes(base + ".old"));
  EXPECT_EQ("copy", testsupport::ReadBytes(base + ".1"));
}

TEST(Rotation, FailedMigrationKeepsBackup) {
  TestTempDir dir;
  const std::string base = dir.File("watermark_config.xml");
  testsupport::WriteBytes(base, "single");
  testsupport::WriteBytes(base + ".old", "backup");
  // Held open without delete sharing, the base file cannot be renamed.
  ScopedFileHandle held(::CreateFileA(base.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.IsValid());
  int32_t times[5];
  GetRotatingFileTimes(base, 5, times);
  ASSERT_FALSE(FileExists(base + ".1")) << "rename unexpectedly succeeded";
  EXPECT_EQ("backup", testsupport::ReadBytes(base + ".old"));
  EXPECT_EQ(0, times[0]);
}

}  // namespace
