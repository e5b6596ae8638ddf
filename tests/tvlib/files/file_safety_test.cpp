#include <gtest/gtest.h>

#include <string>

#include "tvlib/files/files.h"
#include "support/temp_dir.h"

namespace {

TEST(FileSafety, MoveReplaceOverwritesTarget) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("src"), "new");
  testsupport::WriteBytes(dir.File("dst"), "old contents");
  EXPECT_TRUE(FileMoveReplace(dir.File("src"), dir.File("dst")));
  EXPECT_FALSE(FileExists(dir.File("src")));
  EXPECT_EQ("new", testsupport::ReadBytes(dir.File("dst")));
}

TEST(FileSafety, MoveReplaceWithoutTarget) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("src"), "x");
  EXPECT_TRUE(FileMoveReplace(dir.File("src"), dir.File("dst")));
  EXPECT_EQ("x", testsupport::ReadBytes(dir.File("dst")));
  EXPECT_FALSE(FileMoveReplace(dir.File("missing"), dir.File("other")));
}

TEST(FileSafety, MoveReplaceOntoReadOnlyTargetKeepsBoth) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("src"), "new");
  testsupport::WriteBytes(dir.File("dst"), "old");
  ASSERT_TRUE(::SetFileAttributesA(dir.File("dst").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(FileMoveReplace(dir.File("src"), dir.File("dst")));
  EXPECT_EQ("new", testsupport::ReadBytes(dir.File("src")));
  EXPECT_EQ("old", testsupport::ReadBytes(dir.File("dst")));
  ::SetFileAttributesA(dir.File("dst").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileSafety, DeleteAndExists) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("f"), "x");
  EXPECT_TRUE(FileExists(dir.File("f")));
  EXPECT_TRUE(FileExistsW(L"C:\\"));
  EXPECT_TRUE(FileDelete(dir.File("f")));
  EXPECT_FALSE(FileExists(dir.File("f")));
  EXPECT_FALSE(FileDelete(dir.File("f")));
}

}  // namespace
