#include <gtest/gtest.h>

#include <string>

#include "tvlib/files/files.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tvlib/scoped_handle.h"

namespace {

TEST(Directories, ParentOnlyStopsBeforeLastComponent) {
  TestTempDir dir;
  const std::string path = dir.Path() + "\\a\\b\\c";
  const std::string copy = path;
  EXPECT_TRUE(CreateDirectoryPath(path, true));
  EXPECT_EQ(copy, path);
  EXPECT_TRUE(FileExists(dir.Path() + "\\a\\b"));
  EXPECT_FALSE(FileExists(path));
}

TEST(Directories, WholePathWithForwardSlashesAndTrailingBackslash) {
  TestTempDir dir;
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + "\\kantar_record/ch1", false));
  EXPECT_TRUE(FileExists(dir.Path() + "\\kantar_record\\ch1"));
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + "\\cfg\\0000ABCD\\", false));
  EXPECT_TRUE(FileExists(dir.Path() + "\\cfg\\0000ABCD"));
  // Existing directories are fine.
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + "\\cfg\\0000ABCD\\", false));
}

TEST(Directories, ParentOnlyWithoutSeparator) {
  EXPECT_TRUE(CreateDirectoryPath("plainname", true));
  EXPECT_FALSE(FileExists("plainname"));
}

TEST(Directories, DeleteTreeRemovesEverything) {
  TestTempDir dir;
  const std::string root = dir.Path() + "\\tree";
  ASSERT_TRUE(CreateDirectoryPath(root + "\\x\\y", false));
  testsupport::WriteBytes(root + "\\f1", "1");
  testsupport::WriteBytes(root + "\\x\\f2", "2");
  testsupport::WriteBytes(root + "\\x\\y\\f3", "3");
  EXPECT_TRUE(DeleteDirectoryTree(root.c_str(), true));
  EXPECT_FALSE(FileExists(root));
}

TEST(Directories, DeleteWithoutRecursionKeepsFullDirectory) {
  TestTempDir dir;
  const std::string root = dir.Path() + "\\full";
  ASSERT_TRUE(CreateDirectoryPath(root, false));
  testsupport::WriteBytes(root + "\\f", "1");
  EXPECT_TRUE(DeleteDirectoryTree(root.c_str(), false));
  EXPECT_TRUE(FileExists(root + "\\f"));
  EXPECT_FALSE(DeleteDirectoryTree(nullptr, true));
}

TEST(Directories, DeleteTreeWithLockedFileRemovesTheRest) {
  TestTempDir dir;
  LogCapture log;
  const std::string root = dir.Path() + "\\tree";
  ASSERT_TRUE(CreateDirectoryPath(root + "\\x\\y", false));
  testsupport::WriteBytes(root + "\\f1", "1");
  testsupport::WriteBytes(root + "\\x\\locked", "2");
  testsupport::WriteBytes(root + "\\x\\y\\f3", "3");
  {
    ScopedFileHandle held(::CreateFileA((root + "\\x\\locked").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.IsValid());
    EXPECT_TRUE(DeleteDirectoryTree(root.c_str(), true));
    EXPECT_TRUE(FileExists(root + "\\x\\locked"));
  }
  EXPECT_FALSE(FileExists(root + "\\f1"));
  EXPECT_FALSE(FileExists(root + "\\x\\y"));
  EXPECT_TRUE(log.Has("Failed to delete " + root + "\\x\\locked"));
}

}  // namespace
