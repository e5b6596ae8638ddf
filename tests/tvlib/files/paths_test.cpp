#include <gtest/gtest.h>

#include <string>

#include "tvlib/files/files.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

std::string Normalized(std::string s) {
  NormalizeSeparators(s);
  return s;
}

TEST(Paths, NormalizeSeparators) {
  EXPECT_EQ("a\\b\\c", Normalized("a//b/c"));
  EXPECT_EQ("\\\\srv\\share", Normalized("\\\\srv\\\\share"));
  EXPECT_EQ("\\\\srv\\share", Normalized("//srv///share"));
  EXPECT_EQ("c:\\x\\", Normalized("c:\\\\\\\\x\\\\"));
  EXPECT_EQ("", Normalized(""));
  std::string empty;
  NormalizeSeparatorsIfNotEmpty(empty);
  EXPECT_EQ("", empty);
}

TEST(Paths, SplitPath) {
  std::string dir = "old", name = "old";
  EXPECT_FALSE(SplitPath("name.txt", dir, name));
  EXPECT_EQ("", dir);
  EXPECT_EQ("name.txt", name);

  EXPECT_TRUE(SplitPath("c:/x/y.txt", dir, name));
  EXPECT_EQ("c:\\x", dir);
  EXPECT_EQ("y.txt", name);

  dir = "keep";
  name = "keep";
  EXPECT_TRUE(SplitPath("", dir, name));
  EXPECT_EQ("keep", dir);
  EXPECT_EQ("keep", name);
}

TEST(Paths, ResolveRelativeDirectory) {
  EXPECT_EQ("E:\\a\\b\\d\\", ResolveRelativeDirectory("E:\\a\\b", ".\\c\\..\\d"));
  EXPECT_EQ("D:x", ResolveRelativeDirectory("E:\\a", "D:x"));
  EXPECT_EQ("E:\\a\\x\\", ResolveRelativeDirectory("E:\\a", "e:x"));
  EXPECT_EQ("\\\\srv\\s", ResolveRelativeDirectory("E:\\a", "\\\\srv\\s"));
  EXPECT_EQ("C:\\z", ResolveRelativeDirectory("E:\\a", "C:\\z"));
  EXPECT_EQ("\\root", ResolveRelativeDirectory("E:\\a", "\\root"));
  EXPECT_EQ("E:\\a", ResolveRelativeDirectory("E:\\a", ""));
  EXPECT_EQ("E:\\a\\...\\.x\\", ResolveRelativeDirectory("E:\\a\\", "...\\.x"));
  EXPECT_EQ("E:\\a\\b/c\\", ResolveRelativeDirectory("E:\\a", "b/c"));
  EXPECT_EQ("E:\\", ResolveRelativeDirectory("E:\\a\\b", "..\\.."));
}

TEST(Paths, ResolveRelativeDirectoryEmptyBaseUsesCurrentDir) {
  std::string cwd = GetCurrentDir();
  ASSERT_FALSE(cwd.empty());
  if (cwd.back() != '\\') cwd += '\\';
  EXPECT_EQ(cwd + "sub\\", ResolveRelativeDirectory("", "sub"));
}

TEST(Paths, ClimbingAboveRootLogsAndStops) {
  TestTempDir dir;
  LogCapture log;
  EXPECT_EQ("E:\\", ResolveRelativeDirectory("E:\\", ".."));
  EXPECT_TRUE(log.Has("Bad relative directory request !!!"));
}

TEST(Paths, ResolveRelativePath) {
  EXPECT_EQ("E:\\c.txt", ResolveRelativePath("E:\\a\\b.txt", "..\\c.txt"));
  EXPECT_EQ("E:\\a\\c.txt", ResolveRelativePath("E:\\a\\b.txt", "c.txt"));
  EXPECT_EQ("E:\\a\\d\\c.txt", ResolveRelativePath("E:\\a\\b.txt", "d/c.txt"));
  EXPECT_EQ("E:\\c.txt", ResolveRelativePath("E:\\b.txt", "c.txt"));
}

TEST(Paths, ResolveRelativePathKeepsFilesInARoot) {
  // The directory of such a path is the root itself, not the base directory.
  EXPECT_EQ("E:\\y.txt", ResolveRelativePath("E:\\a\\b.txt", "E:\\y.txt"));
  EXPECT_EQ("C:\\y.txt", ResolveRelativePath("E:\\a\\b.txt", "C:\\y.txt"));
  EXPECT_EQ("\\y.txt", ResolveRelativePath("E:\\a\\b.txt", "\\y.txt"));
  EXPECT_EQ("\\x\\c.txt", ResolveRelativePath("\\b.txt", "x\\c.txt"));
}

TEST(Paths, FormatCopyIndex) {
  EXPECT_EQ(".1", FormatCopyIndex(1));
  EXPECT_EQ(".-3", FormatCopyIndex(-3));
  EXPECT_EQ(".2147483647", FormatCopyIndex(2147483647));
}

TEST(Paths, SystemFolders) {
  std::string temp = GetTempDir();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ('\\', temp.back());
  EXPECT_TRUE(FileExists(temp));
  EXPECT_FALSE(GetCommonAppDataPath().empty());
  std::string exe = GetExecutablePath();
  EXPECT_TRUE(FileExists(exe));
  EXPECT_NE(std::string::npos, exe.find("tvlib_files_tests"));
  EXPECT_FALSE(GetCurrentDir().empty());
}

}  // namespace
