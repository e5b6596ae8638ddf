#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "log_fixture.h"
#include "support/fn_thread.h"

namespace {

std::string LineWith(const std::vector<std::string>& lines, const std::string& part) {
  size_t i = testsupport::IndexOfLineContaining(lines, part);
  return i == std::string::npos ? std::string() : lines[i];
}

std::string Hex8(DWORD tid) { return FormatString("(%8lX)", static_cast<unsigned long>(tid)); }

class PrefixTest : public LogFileTest {
 protected:
  // Logs `marker` from a second thread; returns that thread's id.
  DWORD LogFromOtherThread(const std::string& marker) {
    FnThread t([&](FnThread&) {
      LogLevel3("%s", marker.c_str());
      return 0;
    });
    EXPECT_EQ(0, t.Create(2));
    DWORD id = t.GetThreadId();
    t.Wait();
    return id;
  }
};

TEST_F(PrefixTest, UtcWithThreadId) {
  OpenLog(true, true, true);
  std::string m = Unique("utc_tid");
  DWORD tid = LogFromOtherThread(m);
  std::string line = LineWith(LinesAfter(m), m);
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z \( *[0-9A-F]+\): .*)")))
      << line;
  EXPECT_EQ(" " + Hex8(tid) + ": " + m, line.substr(line.size() - m.size() - 13)) << line;
}

TEST_F(PrefixTest, UtcWithoutThreadId) {
  OpenLog(true, false, true);
  std::string m = Unique("utc");
  LogLevel3("%s", m.c_str());
  std::string line = LineWith(LinesAfter(m), m);
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z: )" + m)))
      << line;
}

TEST_F(PrefixTest, UtcStampMatchesSystemClock) {
  OpenLog(true, false, true);
  std::string m = Unique("clock");
  SYSTEMTIME before;
  ::GetSystemTime(&before);
  LogLevel3("%s", m.c_str());
  std::string line = LineWith(LinesAfter(m), m);
  ASSERT_GE(line.size(), 24u);
  // Same year and month as the system's UTC clock (the date can only move on
  // at month end, which the second reading below allows for).
  SYSTEMTIME after;
  ::GetSystemTime(&after);
  std::string y1 = FormatString("%04i-%02i", before.wYear, before.wMonth);
  std::string y2 = FormatString("%04i-%02i", after.wYear, after.wMonth);
  EXPECT_TRUE(line.compare(0, 7, y1) == 0 || line.compare(0, 7, y2) == 0) << line;
}

TEST_F(PrefixTest, StampsNeverRunBackwards) {
  // Spans more than one second boundary, where a stamp built from two clock
  // readings would jump back by up to a second.
  OpenLog(true, false, true);
  std::string tag = Unique("mono");
  for (int i = 0; i < 300; ++i) {
    LogLevel3("%s %03d", tag.c_str(), i);
    ::Sleep(5);
  }
  std::string end = Unique("mono_end");
  LogLevel3("%s", end.c_str());
  std::string previous;
  int seen = 0;
  for (const std::string& line : LinesAfter(end)) {
    if (line.find(tag) == std::string::npos) continue;
    std::string stamp = line.substr(0, 24);  // yyyy-mm-ddThh:mm:ss.mmmZ
    EXPECT_LE(previous, stamp) << line;
    previous = stamp;
    ++seen;
  }
  EXPECT_EQ(300, seen);
}

TEST_F(PrefixTest, LocalWithThreadId) {
  OpenLog(true, true, false);
  std::string m = Unique("local_tid");
  DWORD tid = LogFromOtherThread(m);
  std::string line = LineWith(LinesAfter(m), m);
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{2}:\d{2}:\d{2}\.\d{3} \( *[0-9A-F]+\): .*)"))) << line;
  EXPECT_EQ(" " + Hex8(tid) + ": " + m, line.substr(line.size() - m.size() - 13)) << line;
}

TEST_F(PrefixTest, LocalWithoutThreadId) {
  OpenLog(true, false, false);
  std::string m = Unique("local");
  LogLevel3("%s", m.c_str());
  std::string line = LineWith(LinesAfter(m), m);
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{2}:\d{2}:\d{2}\.\d{3}: )" + m))) << line;
}

TEST_F(PrefixTest, ThreadIdOnlyIsDecimal) {
  OpenLog(false, true, false);
  std::string m = Unique("tid_only");
  DWORD tid = LogFromOtherThread(m);
  std::string line = LineWith(LinesAfter(m), m);
  EXPECT_EQ(FormatString("(%8lu): ", static_cast<unsigned long>(tid)) + m, line);
}

TEST_F(PrefixTest, NoPrefixAndSuffixRule) {
  OpenLog(false, false, false);
  std::string a = Unique("ends_nl");
  std::string b = Unique("next");
  LogLevel3("%s\n", a.c_str());
  LogLevel3("%s", b.c_str());
  std::vector<std::string> lines = LinesAfter(b);
  size_t i = testsupport::IndexOfLineContaining(lines, a);
  ASSERT_NE(std::string::npos, i);
  EXPECT_EQ(a, lines[i]);
  ASSERT_LT(i + 1, lines.size());
  EXPECT_EQ(b, lines[i + 1]);  // no empty line in between
}

TEST_F(PrefixTest, EmptyMessageGivesPrefixAndLineEnd) {
  OpenLog(false, true, false);
  std::string a = Unique("before_empty");
  std::string b = Unique("after_empty");
  LogLevel3("%s", a.c_str());
  LogLevel3("%s", "");
  LogLevel3("%s", b.c_str());
  std::vector<std::string> lines = LinesAfter(b);
  size_t i = testsupport::IndexOfLineContaining(lines, a);
  ASSERT_NE(std::string::npos, i);
  ASSERT_LT(i + 2, lines.size());
  EXPECT_EQ(FormatString("(%8lu): ", static_cast<unsigned long>(::GetCurrentThreadId())), lines[i + 1]);
  EXPECT_NE(std::string::npos, lines[i + 2].find(b));
}

TEST_F(LogFileTest, RepeatsFoldIntoOneLine) {
  OpenLog(false, false, false);
  std::string a = Unique("fold_a");
  std::string b = Unique("fold_b");
  for (int i = 0; i < 5; ++i) LogLevel3("%s", a.c_str());
  LogLevel3("%s", b.c_str());
  std::vector<std::string> lines = LinesAfter(b);
  size_t i = testsupport::IndexOfLineContaining(lines, a);
  ASSERT_NE(std::string::npos, i);
  ASSERT_LT(i + 2, lines.size());
  EXPECT_EQ(a, lines[i]);
  EXPECT_EQ("... (previous message repeated 4 times)", lines[i + 1]);
  EXPECT_EQ(b, lines[i + 2]);
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), a));
}

TEST_F(LogFileTest, SuppressedRepeatsAreNotCounted) {
  OpenLog(false, false, false);
  LogVerbosity = 3;
  std::string a = Unique("shown");
  std::string b = Unique("other");
  LogLevel3("%s", a.c_str());
  for (int i = 0; i < 3; ++i) LogLevel5("%s", a.c_str());
  LogLevel3("%s", b.c_str());
  std::vector<std::string> lines = LinesAfter(b);
  size_t i = testsupport::IndexOfLineContaining(lines, a);
  ASSERT_NE(std::string::npos, i);
  ASSERT_LT(i + 1, lines.size());
  EXPECT_EQ(b, lines[i + 1]);
}

TEST_F(LogFileTest, VerbosityThresholds) {
  OpenLog(false, false, false);
  LogVerbosity = 3;
  std::string l2 = Unique("level2"), l3 = Unique("level3"), l5 = Unique("level5");
  LogLevel2("%s", l2.c_str());
  LogLevel3("%s", l3.c_str());
  LogLevel5("%s", l5.c_str());

  LogVerbosity = -1;
  std::string quiet = Unique("quiet");
  LogError("%s", quiet.c_str());
  EXPECT_EQ(-1, LogErrorInt("%s", quiet.c_str()));
  EXPECT_EQ(nullptr, LogErrorNull("%s", quiet.c_str()));
  EXPECT_FALSE(LogErrorFalse("%s", quiet.c_str()));
  ::SetLastError(5);
  LogSystemError(0, "%s", quiet.c_str());

  LogVerbosity = 4;
  std::string end = Unique("end");
  LogError("%s", end.c_str());
  std::vector<std::string> lines = LinesAfter(end);
  EXPECT_NE(std::string::npos, testsupport::IndexOfLineContaining(lines, l2));
  EXPECT_NE(std::string::npos, testsupport::IndexOfLineContaining(lines, l3));
  EXPECT_EQ(std::string::npos, testsupport::IndexOfLineContaining(lines, l5));
  EXPECT_EQ(std::string::npos, testsupport::IndexOfLineContaining(lines, quiet));
  // Results are returned even when logged.
  EXPECT_EQ(-1, LogErrorInt("%s", Unique("int").c_str()));
  EXPECT_EQ(nullptr, LogErrorNull("%s", Unique("null").c_str()));
}

TEST_F(LogFileTest, SystemErrorLines) {
  OpenLog(false, false, false);
  std::string m6 = Unique("sys6"), m5 = Unique("sys5"), mu = Unique("sysu");
  ::SetLastError(6);
  LogSystemError(0, "%s", m6.c_str());
  ::SetLastError(6);
  LogSystemError(5, "%s", m5.c_str());
  LogSystemError(0xE0001234, "%s", mu.c_str());
  std::vector<std::string> lines = LinesAfter(mu);
  std::string l6 = LineWith(lines, m6), l5 = LineWith(lines, m5), lu = LineWith(lines, mu);
  EXPECT_EQ(0u, l6.find(m6 + ": "));
  EXPECT_NE(std::string::npos, l6.find(" (Err 00000006)")) << l6;
  EXPECT_NE(std::string::npos, l5.find(" (Err 00000005)")) << l5;
  EXPECT_EQ(mu + ":  (Err E0001234)", lu);
  EXPECT_EQ("", GetSystemErrorText(0xE0001234));
  EXPECT_EQ(std::string::npos, GetSystemErrorText(5).find_first_of("\r\n"));
}

TEST_F(LogFileTest, PrintBypassesPrefixAndVerbosity) {
  OpenLog(true, true, true);
  LogVerbosity = -1;
  std::string p = Unique("print"), e = Unique("printerr");
  LogPrint("%s\n", p.c_str());
  LogPrintError("%s\n", e.c_str());
  std::vector<std::string> lines = LinesAfter(e);
  EXPECT_EQ(p, LineWith(lines, p));
  EXPECT_EQ(e, LineWith(lines, e));
}

std::string Fmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatStringV(format, args);
  va_end(args);
  return s;
}

TEST(FormatString, LengthsAroundTheFirstBuffer) {
  EXPECT_EQ("", Fmt(nullptr));
  EXPECT_EQ("", FormatString("%s", ""));
  EXPECT_EQ("x", FormatString("%s", "x"));
  EXPECT_EQ("abcd", FormatString("%s", "abcd"));    // 2 x format length
  EXPECT_EQ("abcde", FormatString("%s", "abcde"));  // one more: second attempt
  std::string big(10000, 'q');
  EXPECT_EQ(big, FormatString("%s", big.c_str()));
  EXPECT_EQ("100%", FormatString("100%%"));
  EXPECT_EQ("7% of 12", FormatString("%d%% of %u", 7, 12u));
  // The same argument list formats again for every attempt.
  EXPECT_EQ(big + "|42", Fmt("%s|%d", big.c_str(), 42));
}

}  // namespace
