#include <gtest/gtest.h>

#include "support/fn_thread.h"
#include "support/child_process.h"
#include "support/poll.h"
#include "tvlib/threads/thread.h"

namespace {

// Priority the body saw on its own thread.
int PriorityOfBodyCreatedWith(int index) {
  FnThread t([](FnThread&) { return ::GetThreadPriority(::GetCurrentThread()); });
  if (t.Create(index) != 0) return -1000;
  return t.Join();
}

class LimitRestore : public ::testing::Test {
 protected:
  void TearDown() override { SetThreadPriorityLimit(5); }
};

TEST_F(LimitRestore, IndexMapsToWindowsPriority) {
  EXPECT_EQ(THREAD_PRIORITY_LOWEST, PriorityOfBodyCreatedWith(0));
  EXPECT_EQ(THREAD_PRIORITY_NORMAL, PriorityOfBodyCreatedWith(2));
  EXPECT_EQ(THREAD_PRIORITY_HIGHEST, PriorityOfBodyCreatedWith(4));
  EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, PriorityOfBodyCreatedWith(5));
}

TEST_F(LimitRestore, OutOfRangeIndexRunsAtNormal) {
  EXPECT_EQ(0, PriorityOfBodyCreatedWith(-1));
  // Above the limit (5) is clamped to it...
  EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, PriorityOfBodyCreatedWith(7));
  // ...unless the limit itself is out of range.
  SetThreadPriorityLimit(7);
  EXPECT_EQ(0, PriorityOfBodyCreatedWith(7));
}

TEST_F(LimitRestore, LimitLowersLaterThreads) {
  SetThreadPriorityLimit(2);
  EXPECT_EQ(2, GetThreadPriorityLimit());
  EXPECT_EQ(0, PriorityOfBodyCreatedWith(5));
  EXPECT_EQ(THREAD_PRIORITY_LOWEST, PriorityOfBodyCreatedWith(0));
}

TEST_F(LimitRestore, RealtimeThreadPriorityIgnoresLimit) {
  SetThreadPriorityLimit(1);
  FnThread t([](FnThread&) {
    if (!SetThreadRealtimePriority()) return -1;
    return ::GetThreadPriority(::GetCurrentThread());
  });
  ASSERT_EQ(0, t.Create(5));
  EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, t.Join());
}

TEST(PriorityNames, Table) {
  EXPECT_STREQ("Lowest", GetThreadPriorityName(0));
  EXPECT_STREQ("Realtime", GetThreadPriorityName(5));
  EXPECT_STREQ("", GetThreadPriorityName(7));
  EXPECT_STREQ("", GetThreadPriorityName(-1));
}

// The warning goes through the process-wide logger: a child process logs into
// its own file.
TEST(PriorityLimitWarning, OnlyWhenTheLimitChanges) {
  std::string log = testsupport::TempPath("prio_limit") + ".log";
  ASSERT_EQ(0, testsupport::RunChild("helper_threads.exe", "priority-limit \"" + log + "\""));
  std::vector<std::string> lines = testsupport::ReadLines(log);
  int warnings = 0;
  for (const std::string& l : lines)
    if (l.find("Warning: All thread priorities are limited to") != std::string::npos) ++warnings;
  // Limit 5 (unchanged) logs nothing, 3 logs "High", 3 again nothing, 7 logs ''.
  EXPECT_EQ(2, warnings);
  EXPECT_NE(std::string::npos, testsupport::IndexOfLineContaining(lines, "limited to 'High'!"));
  EXPECT_NE(std::string::npos, testsupport::IndexOfLineContaining(lines, "limited to ''!"));
  ::DeleteFileA(log.c_str());
}

}  // namespace
