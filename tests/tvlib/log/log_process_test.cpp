#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "tvlib/log/log.h"
#include "support/child_process.h"
#include "support/poll.h"

namespace {

using testsupport::IndexOfLineContaining;
using testsupport::ReadLines;
using testsupport::RunChild;
using testsupport::TempPath;

struct ChildRun {
  int code;
  std::vector<std::string> out, err;
};

ChildRun RunHelper(const std::string& args) {
  std::string out = TempPath("child_out") + ".txt", err = TempPath("child_err") + ".txt";
  ChildRun r;
  r.code = RunChild("helper_logger.exe", args, out, err);
  r.out = ReadLines(out);
  r.err = ReadLines(err);
  ::DeleteFileA(out.c_str());
  ::DeleteFileA(err.c_str());
  return r;
}

std::string LocalDate() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return FormatString("%04i/%02i/%02i", t.wYear, t.wMonth, t.wDay);
}

TEST(LoggerProcess, RunsFromStaticInitAndFlushesAtExit) {
  ChildRun r = RunHelper("static");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.err, "static-init-line"));
  // Queued by the last statement of main: only the exit-time flush writes it.
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.out, "exit-flush-line"));
}

TEST(LoggerProcess, FirstLocalLineOfTheProcessGetsTheDayChange) {
  std::string log = TempPath("day_local") + ".log";
  std::string before = LocalDate();
  ASSERT_EQ(0, RunChild("helper_logger.exe", "daychange \"" + log + "\" 0"));
  std::string after = LocalDate();
  std::vector<std::string> lines = ReadLines(log);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_TRUE(lines[0] == "******** DAY CHANGED TO " + before ||
              lines[0] == "******** DAY CHANGED TO " + after)
      << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find("STARTING NEW LOG"));
  int dayLines = 0;
  for (const std::string& l : lines)
    if (l.find("DAY CHANGED") != std::string::npos) ++dayLines;
  EXPECT_EQ(1, dayLines);
  ::DeleteFileA(log.c_str());
}

TEST(LoggerProcess, NoDayChangeInUtcMode) {
  std::string log = TempPath("day_utc") + ".log";
  ASSERT_EQ(0, RunChild("helper_logger.exe", "daychange \"" + log + "\" 1"));
  std::vector<std::string> lines = ReadLines(log);
  EXPECT_NE(std::string::npos, IndexOfLineContaining(lines, "second after open"));
  EXPECT_EQ(std::string::npos, IndexOfLineContaining(lines, "DAY CHANGED"));
  ::DeleteFileA(log.c_str());
}

TEST(LoggerProcess, FoldLineGoesToStandardError) {
  ChildRun r = RunHelper("fold-echo");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.out, ": repeated level five"));
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.out, ": different level five"));
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.err, ": ... (previous message repeated 2 times)"));
  EXPECT_EQ(std::string::npos, IndexOfLineContaining(r.out, "previous message repeated"));
}

TEST(LoggerProcess, EchoOffWithoutFileWritesNothing) {
  ChildRun r = RunHelper("silent");
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(r.err.empty());
}

TEST(LoggerProcess, FailedOpenKeepsTheLocalPrefix) {
  std::string bad = TempPath("no_such_dir") + "\\sub\\x.log";
  ChildRun r = RunHelper("bad-open \"" + bad + "\"");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.err, "Can not open " + bad + " for writing !"));
  size_t i = IndexOfLineContaining(r.out, "after failed open");
  ASSERT_NE(std::string::npos, i);
  EXPECT_TRUE(std::regex_match(r.out[i], std::regex(R"(\d{2}:\d{2}:\d{2}\.\d{3}: after failed open)")))
      << r.out[i];
}

TEST(LoggerProcess, FlushAndStopWritesEveryQueuedLineInOrder) {
  std::string log = TempPath("flush") + ".log";
  ASSERT_EQ(0, RunChild("helper_logger.exe", "flush \"" + log + "\""));
  std::map<int, int> next;  // thread -> next expected line number
  int total = 0;
  for (const std::string& l : ReadLines(log)) {
    int t = -1, n = -1;
    if (sscanf(l.c_str(), "thread %d line %d", &t, &n) != 2) continue;
    EXPECT_EQ(next[t], n) << "thread " << t;
    next[t] = n + 1;
    ++total;
  }
  EXPECT_EQ(2000, total);
  ::DeleteFileA(log.c_str());
}

// A caller that logs and then reports GetLastError() reports its own error,
// also after the process's first log call.
TEST(LoggerProcess, LogFunctionsLeaveTheCallersLastError) {
  ChildRun r = RunHelper("last-error");
  EXPECT_EQ(0, r.code) << "bit per function that changed it: first LogError, LogLevel3, LogSystemError, "
                          "LogPrint, LogPrintError";
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.err, "first line of the process"));
}

TEST(LoggerProcess, CrashWantedLogsBannerAndEndsAbnormally) {
  ChildRun r = RunHelper("crash");
  EXPECT_EQ(3, r.code);
  EXPECT_NE(std::string::npos, IndexOfLineContaining(r.err, "* PROGRAM CRASH WANTED *"));
}

}  // namespace
