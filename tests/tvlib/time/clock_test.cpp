// Clocks, conversions, date texts and the reseeding random source.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "support/poll.h"
#include "tvlib/time/clock.h"
#include "tvlib/win.h"

namespace {

struct tm Broken(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return t;
}

TEST(ClockConversions, SystemTimeToUnixTime) {
  EXPECT_EQ(0u, SystemTimeToUnixTime(Broken(1970, 1, 1, 0, 0, 0)));
  EXPECT_EQ(1796720707u, SystemTimeToUnixTime(Broken(2026, 12, 8, 9, 5, 7)));
  EXPECT_EQ(SystemTimeToUnixTime(Broken(2026, 12, 8, 9, 5, 59)),
            SystemTimeToUnixTime(Broken(2026, 12, 8, 9, 5, 60)));
  EXPECT_EQ(0u, SystemTimeToUnixTime(Broken(2026, 13, 8, 9, 5, 7)));
  // Past 2038 the 32-bit value keeps counting as unsigned.
  EXPECT_EQ(2147483648u, SystemTimeToUnixTime(Broken(2038, 1, 19, 3, 14, 8)));
}

TEST(ClockConversions, FileTimeToUnix) {
  EXPECT_EQ(0u, FileTimeToUnix(116444736000000000ULL));
  EXPECT_EQ(1u, FileTimeToUnix(116444736000000000ULL + 19999999ULL));
  FILETIME ft;
  ft.dwLowDateTime = 0xD53E8000u;
  ft.dwHighDateTime = 0x019DB1DEu;  // 116444736000000000
  EXPECT_EQ(0u, FileTimeToUnix(ft));
}

TEST(ClockConversions, BrokenDownTimes) {
  struct tm t;
  GmTimeSafe(86400 + 3661, &t);
  EXPECT_EQ(70, t.tm_year);
  EXPECT_EQ(2, t.tm_mday);
  EXPECT_EQ(1, t.tm_hour);
  EXPECT_EQ(1, t.tm_min);
  EXPECT_EQ(1, t.tm_sec);
  GmTimeSafe(0, nullptr);
  LocalTimeSafe(0, nullptr);
  // mktime of a local broken-down time comes back to the same calendar time.
  time_t now = time(nullptr);
  struct tm local;
  LocalTimeSafe(now, &local);
  EXPECT_EQ(static_cast<uint32_t>(now), MakeTime(&local));
}

TEST(ClockTexts, FixedTimeIsZeroPadded) {
  struct tm t = Broken(2026, 12, 8, 9, 5, 7);
  time_t when = static_cast<time_t>(MakeTime(&t));
  EXPECT_EQ("2026-12-08_09-05-07", FormatLocalTime(when, "%Y-%m-%d_%H-%M-%S"));
  EXPECT_EQ("2026/12/08", FormatLocalTime(when, "%Y/%m/%d"));
  EXPECT_EQ("", FormatLocalTime(when, ""));
}

TEST(ClockTexts, NowAgreesWithGetLocalTime) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    std::string dateTime = FormatDateTime();
    std::string fileName = FormatDateTimeForFileName();
    std::string date = FormatDate();
    std::string fileDate = FormatDateForFileName();
    ::GetLocalTime(&after);
    if (before.wSecond != after.wSecond) continue;  // crossed a second: try again
    char expected[64];
    snprintf(expected, sizeof expected, "%04d/%02d/%02d %02d:%02d:%02d", before.wYear, before.wMonth,
             before.wDay, before.wHour, before.wMinute, before.wSecond);
    EXPECT_EQ(expected, dateTime);
    snprintf(expected, sizeof expected, "%04d-%02d-%02d_%02d-%02d-%02d", before.wYear, before.wMonth,
             before.wDay, before.wHour, before.wMinute, before.wSecond);
    EXPECT_EQ(expected, fileName);
    snprintf(expected, sizeof expected, "%04d/%02d/%02d", before.wYear, before.wMonth, before.wDay);
    EXPECT_EQ(expected, date);
    snprintf(expected, sizeof expected, "%04d-%02d-%02d", before.wYear, before.wMonth, before.wDay);
    EXPECT_EQ(expected, fileDate);
    EXPECT_TRUE(std::regex_match(fileName, std::regex(R"(\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2})")));
    return;
  }
  FAIL() << "clock kept crossing seconds";
}

TEST(ClockSources, MillisecondAndMicrosecondClocksAgree) {
  uint64_t us = GetUtcTimeUs();
  uint64_t ms = GetUtcTimeMs();
  EXPECT_LE(us / 1000, ms);
  EXPECT_LT(ms - us / 1000, 1000u);
  // The local clocks differ from UTC by the zone offset.
  int64_t localMinusUtc = static_cast<int64_t>(GetLocalTimeMs()) - static_cast<int64_t>(GetUtcTimeMs());
  EXPECT_LT(std::llabs(localMinusUtc - static_cast<int64_t>(GetUtcOffset()) * 1000), 2000);
  int64_t localUs = static_cast<int64_t>(GetLocalTimeUs() / 1000) - static_cast<int64_t>(GetLocalTimeMs());
  EXPECT_LT(std::llabs(localUs), 1000);
  // Derived back from the local wall clock, the result is UTC again.
  int64_t corrected = static_cast<int64_t>(GetLocalTimeMsCorrected()) - static_cast<int64_t>(GetUtcTimeMs());
  EXPECT_LT(std::llabs(corrected), 2000);
  // Seconds since 1970 from the millisecond clock agree with time().
  EXPECT_LT(std::llabs(static_cast<int64_t>(ms / 1000) - static_cast<int64_t>(time(nullptr))), 2);
}

// Runs a helper program beside this test and returns its standard output.
std::string RunHelper(const char* name) {
  char self[MAX_PATH];
  DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self, n);
  dir = dir.substr(0, dir.find_last_of("\\/") + 1);
  std::string command = "\"" + dir + name + "\"";
  FILE* pipe = _popen(command.c_str(), "r");
  if (pipe == nullptr) return std::string();
  std::string out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  _pclose(pipe);
  return out;
}

TEST(ClockConversions, LocalWallClockToUtcHonoursSummerTime) {
  // CET/CEST through the runtime library's TZ rules, so that summer time is
  // visible even when the host zone has none: noon on the wall clock is
  // 10:00 UTC in July and 11:00 UTC in January.
  std::string out = RunHelper("helper_summer_time.exe");
  EXPECT_EQ("10.00000 11.00000", out.substr(0, out.find_first_of("\r\n")));
}

TEST(ClockSources, UtcOffsetMatchesTheTimeZone) {
  TIME_ZONE_INFORMATION tz;
  DWORD mode = ::GetTimeZoneInformation(&tz);
  int32_t offset = GetUtcOffset();
  int32_t standard = -(tz.Bias + tz.StandardBias) * 60;
  int32_t daylight = -(tz.Bias + tz.DaylightBias) * 60;
  if (mode == TIME_ZONE_ID_DAYLIGHT) {
    EXPECT_EQ(daylight, offset);
  } else {
    EXPECT_EQ(standard, offset);
  }
}

TEST(ClockSources, TickCountsAdvance) {
  uint64_t before = GetTickCountMs();
  ASSERT_TRUE(WaitUntil([&] { return GetTickCountMs() > before; }));
  uint64_t after = GetTickCountMs();
  uint64_t us = GetTickCountUs();
  EXPECT_EQ(0u, us % 1000);
  EXPECT_GE(us / 1000, after);
  EXPECT_GE(PerformanceCounterInit(), after);  // returns the tick count
  LARGE_INTEGER f;
  if (::QueryPerformanceFrequency(&f)) {
    EXPECT_EQ(f.QuadPart, GetPerformanceFrequency());
  }
}

TEST(Random, SequencesFromANewObject) {
  CRandom r100;
  EXPECT_EQ(38u, r100.RandomNumber(100));
  EXPECT_EQ(61u, r100.RandomNumber(100));
  EXPECT_EQ(62u, r100.RandomNumber(100));
  CRandom r255;
  EXPECT_EQ(38u, r255.RandomNumber(255));
  EXPECT_EQ(162u, r255.RandomNumber(255));
  EXPECT_EQ(55u, r255.RandomNumber(255));
}

TEST(Random, ZeroAndTheFullRange) {
  CRandom r;
  for (int i = 0; i < 100; ++i) EXPECT_EQ(0u, r.RandomNumber(0));
  CRandom full;
  EXPECT_EQ(38u, full.RandomNumber(0xFFFFFFFFu));  // no reduction, no division by zero
  EXPECT_EQ(38u, full.GetLast());
  EXPECT_EQ(162u, full.RandomNumber(0xFFFFFFFFu));
}

TEST(Random, SequenceDoesNotDependOnTheThread) {
  CRandom here;
  uint32_t mine[3];
  for (auto& v : mine) v = here.RandomNumber(255);
  uint32_t theirs[3] = {};
  std::thread other([&] {
    srand(12345);  // another thread's generator state must not matter
    CRandom there;
    for (auto& v : theirs) v = there.RandomNumber(255);
  });
  other.join();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mine[i], theirs[i]);
  CRandom seeded(1000);
  CRandom same(1000);
  EXPECT_EQ(seeded.RandomNumber(100), same.RandomNumber(100));
}

}  // namespace
