#include <gtest/gtest.h>

#include <regex>

#include "log_fixture.h"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  HANDLE h =
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ::CloseHandle(h);
}

TEST_F(LogFileTest, OpenWithEmptyPathOnlySetsPrefix) {
  EXPECT_TRUE(GetLogger()->Open("", false, false, false));
  EXPECT_TRUE(GetLogger()->Open(nullptr, true, false, false));
}

TEST_F(LogFileTest, OpenAppendsAndAnnouncesTheNewLog) {
  WriteFile(m_path, "earlier content\r\n");
  // An identical announcement right before would fold into a repeat count.
  LogError("%s", Unique("not_the_same").c_str());
  OpenLog(false, false, false);
  std::vector<std::string> lines = LinesAfter("STARTING NEW LOG");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("earlier content", lines[0]);  // appended, not replaced
  size_t i = testsupport::IndexOfLineContaining(lines, "STARTING NEW LOG");
  EXPECT_TRUE(std::regex_match(lines[i], std::regex(R"(\*{16} STARTING NEW LOG on \d{4}/\d{2}/\d{2})")))
      << lines[i];
}

TEST_F(LogFileTest, OpenOnUnwritablePathFails) {
  std::string bad = testsupport::TempPath("no_such_dir") + "\\sub\\x.log";
  EXPECT_FALSE(GetLogger()->Open(bad.c_str(), true, true, true));
}

TEST_F(LogFileTest, FilePassingTheLimitIsMovedToOld) {
  GetLogger()->SetParams(0, 1);
  OpenLog(false, false, false);
  std::string line(99, 'z');
  for (int i = 0; i < 30; ++i) LogLevel3("%02d%s", i, line.c_str());
  std::string last = Unique("last");
  LogLevel3("%s", last.c_str());
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_path, last));
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_path, "but limited to 1 kB... truncating"));
  EXPECT_TRUE(testsupport::PathExists(m_path + ".old"));
  std::string message = "Log file size of '" + m_path + "' is 2 kB but limited to 1 kB... truncating";
  EXPECT_NE(std::string::npos, testsupport::IndexOfLineContaining(testsupport::ReadLines(m_path), message));
  // The moved file holds the first lines, the new one the rest; none is lost.
  std::string old = testsupport::StripCR(testsupport::ReadBytes(m_path + ".old"));
  EXPECT_NE(std::string::npos, old.find("00zzz"));
  EXPECT_GE(old.size(), 2048u - 200u);
}

TEST_F(LogFileTest, OversizedFileIsMovedAtOpenUnchanged) {
  std::string content;
  for (int i = 0; content.size() < 600 * 1024; ++i) content += "old line " + std::to_string(i) + "\r\n";
  WriteFile(m_path, content);
  GetLogger()->SetParams(250, 500);
  OpenLog(false, false, false);
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_path, "but limited to 500 kB... truncating"));
  EXPECT_EQ(content, testsupport::ReadBytes(m_path + ".old"));
  std::string fresh = testsupport::ReadBytes(m_path);
  EXPECT_LT(fresh.size(), 1024u);
  EXPECT_NE(std::string::npos, fresh.find("is 600 kB but limited to 500 kB"));
}

// Records that do not fit are dropped without blocking, counted, and told
// once, at level 0, where they went missing: no later record gets ahead of
// the count, not even one that would fit without it.
TEST_F(LogFileTest, FullQueueDropsWithoutBlockingAndTellsHowMany) {
  OpenLog(false, false, false);
  LogError("%s", "ready");
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_path, "ready"));
  GetLogger()->LockFile();
  // The writer takes this line and blocks on the file: from the empty queue
  // on, nothing leaves the queue until the file is unlocked.
  const bool writerHeld =
      LogQueuePost("held\n", 0) && WaitUntil([] { return GetLogger()->GetQueue().GetCount() == 0; });
  // A record is [flag][text] plus a 2-byte length; the count takes 7 bytes.
  const std::string small = "small record\n";
  const std::string fill(GetLogger()->GetQueue().GetFreeSpace() - 2 - 1 - (1 + small.size() + 2) - 3, 'f');
  const bool filled = LogQueuePost((fill + "\n").c_str(), 0);  // leaves room for small, not the count too
  int refused = 0;
  for (const std::string& text : {std::string(30000, 'b') + "\n", small})
    if (!LogQueuePost(text.c_str(), 0)) ++refused;
  GetLogger()->UnlockFile();
  ASSERT_TRUE(writerHeld);
  ASSERT_TRUE(filled);
  EXPECT_EQ(2, refused);
  EXPECT_TRUE(LogQueuePost("", 0));  // nothing to post, nothing dropped
  // Posted into a queue that still holds the fill, it would be lost as well.
  ASSERT_TRUE(WaitUntil([] { return GetLogger()->GetQueue().GetCount() == 0; }));
  std::string after = Unique("after_full");
  LogError("%s", after.c_str());
  std::vector<std::string> lines = LinesAfter(after);
  const size_t told = testsupport::IndexOfLineContaining(lines, "log records dropped");
  ASSERT_NE(std::string::npos, told);
  EXPECT_EQ("... 2 log records dropped", lines[told]);
  EXPECT_EQ(told + 1, testsupport::IndexOfLineContaining(lines, after));
  EXPECT_EQ(std::string::npos, testsupport::IndexOfLineContaining(lines, "small record"));
}

// A reader holding the old copy open makes the move fail: the log keeps
// growing, says so once, and moves at the first size check after the reader
// let go.
TEST_F(LogFileTest, FailedRotationKeepsTheLogAndTriesAgain) {
  const std::string old = m_path + ".old";
  WriteFile(old, "held\r\n");
  HANDLE held = ::CreateFileA(old.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  GetLogger()->SetParams(0, 1);
  OpenLog(false, false, false);
  std::string line(99, 'y');
  for (int i = 0; i < 30; ++i) LogLevel3("%02d%s", i, line.c_str());
  std::string whileHeld = Unique("while_held");
  LogLevel3("%s", whileHeld.c_str());
  const std::string failure = "' cannot be moved to '" + old + "', still appending";
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_path, failure));
  std::vector<std::string> lines = LinesAfter(whileHeld);
  EXPECT_NE(std::string::npos, testsupport::IndexOfLineContaining(lines, "00" + line));  // nothing was cut
  EXPECT_EQ("held\r\n", testsupport::ReadBytes(old));

  ::CloseHandle(held);
  // Lines after the reader let go, one at a time, each written before the
  // next: every line tries the move again (this test's own reads of the old
  // copy may make one fail), and no burst of lines queued behind a slow writer
  // can fill the new file up to a second move over the first.
  const std::string afterRelease = Unique("after_release");
  int n = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        LogLevel3("%s %d", afterRelease.c_str(), n++);
        return GetLogger()->WaitWritten(10000) &&
               testsupport::ReadBytes(old).find(whileHeld) != std::string::npos;
      },
      10000, 20));
  std::string moved = testsupport::ReadBytes(old);
  EXPECT_NE(std::string::npos, moved.find("00" + line));
  EXPECT_NE(std::string::npos, moved.find(whileHeld));
  std::string current = testsupport::ReadBytes(m_path);
  EXPECT_EQ(std::string::npos, current.find(line));
  int failures = 0;
  for (const std::string& text : {moved, current})
    for (size_t p = text.find(failure); p != std::string::npos; p = text.find(failure, p + 1)) ++failures;
  EXPECT_EQ(1, failures);  // said once, however many checks tried again
}

TEST_F(LogFileTest, WaitWrittenWaitsForTheRecordTheWriterIsStillWriting) {
  OpenLog(false, false, false);
  std::string ready = Unique("ready");
  LogError("%s", ready.c_str());
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_path, ready));
  std::string line = Unique("last_words");
  GetLogger()->LockFile();  // the writer takes the record, then blocks writing it
  LogError("%s", line.c_str());
  bool taken = WaitUntil([] { return GetLogger()->GetQueue().GetCount() == 0; });
  bool early = GetLogger()->WaitWritten(50);
  GetLogger()->UnlockFile();
  ASSERT_TRUE(taken);
  EXPECT_FALSE(early);
  EXPECT_TRUE(GetLogger()->WaitWritten(20000));
  // Written by now: read once, no polling.
  EXPECT_NE(std::string::npos, testsupport::ReadBytes(m_path).find(line));
  EXPECT_TRUE(GetLogger()->WaitWritten(20000));
}

TEST(LogQueuePost, RecordLongerThanTheQueueIsRefused) {
  std::string huge(70000, 'h');
  EXPECT_FALSE(LogQueuePost(huge.c_str(), 0));
}

}  // namespace
