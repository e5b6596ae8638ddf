#include <gtest/gtest.h>

#include <string>

#include "tvlib/files/files.h"
#include "tvlib/files/rotating.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tvlib/scoped_handle.h"

namespace {

const size_t kSizes[] = {1, 1023, 1024, 1025, 4095, 4096, 4097, 5000, 8192, 70000};

TEST(UnbufferedWrite, ExactSizeAndContent) {
  TestTempDir dir;
  for (size_t n : kSizes) {
    const std::string path = dir.File("w" + std::to_string(n));
    const std::string data = testsupport::PatternBytes(n);
    EXPECT_TRUE(FileWrite_NoCache(path, data)) << n;
    const std::string written = testsupport::ReadBytes(path);
    EXPECT_EQ(n, written.size());
    EXPECT_TRUE(data == written) << n;
  }
}

TEST(UnbufferedWrite, ReplacesLongerFile) {
  TestTempDir dir;
  const std::string path = dir.File("f");
  ASSERT_TRUE(FileWrite_NoCache(path, testsupport::PatternBytes(9000)));
  ASSERT_TRUE(FileWrite_NoCache(path, std::string("short")));
  EXPECT_EQ("short", testsupport::ReadBytes(path));
}

TEST(UnbufferedWrite, EmptyDataFailsAndLeavesEmptyFile) {
  TestTempDir dir;
  LogCapture log;
  const std::string path = dir.File("empty");
  testsupport::WriteBytes(path, "previous");
  EXPECT_FALSE(FileWrite_NoCache(path, std::string()));
  EXPECT_TRUE(log.Has("FileWrite_NoCache " + path + " with size 0"));
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ("", testsupport::ReadBytes(path));
}

TEST(UnbufferedWrite, MissingDirectoryFails) {
  TestTempDir dir;
  LogCapture log;
  const std::string path = dir.File("no_such_dir\\f.xml");
  EXPECT_FALSE(FileWrite_NoCache(path, std::string("x")));
  EXPECT_TRUE(log.Has("FileWrite_NoCache: can not create file " + path));
}

TEST(UnbufferedCopy, ByteExactForAllSizes) {
  TestTempDir dir;
  for (size_t n : kSizes) {
    const std::string source = dir.File("s" + std::to_string(n));
    const std::string target = dir.File("t" + std::to_string(n));
    const std::string data = testsupport::PatternBytes(n);
    testsupport::WriteBytes(source, data);
    EXPECT_TRUE(FileCopyNoBuffering(source, target)) << n;
    const std::string copied = testsupport::ReadBytes(target);
    EXPECT_EQ(n, copied.size());
    EXPECT_TRUE(data == copied) << n;
    EXPECT_TRUE(data == testsupport::ReadBytes(source)) << n;
  }
}

TEST(UnbufferedCopy, EmptySourceIsFalse) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("s"), "");
  EXPECT_FALSE(FileCopyNoBuffering(dir.File("s"), dir.File("t")));
}

TEST(UnbufferedCopy, MissingSourceCreatesNoTarget) {
  TestTempDir dir;
  EXPECT_FALSE(FileCopyNoBuffering(dir.File("missing"), dir.File("t")));
  EXPECT_FALSE(FileExists(dir.File("t")));
}

TEST(UnbufferedCopy, LockedSourceIsFalse) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("s"), "data");
  ScopedFileHandle held(::CreateFileA(dir.File("s").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.IsValid());
  EXPECT_FALSE(FileCopyNoBuffering(dir.File("s"), dir.File("t")));
  EXPECT_FALSE(FileExists(dir.File("t")));
}

TEST(UnbufferedCopy, ReplacesExistingTarget) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("s"), "abc");
  testsupport::WriteBytes(dir.File("t"), testsupport::PatternBytes(10000));
  EXPECT_TRUE(FileCopyNoBuffering(dir.File("s"), dir.File("t")));
  EXPECT_EQ("abc", testsupport::ReadBytes(dir.File("t")));
}

}  // namespace
