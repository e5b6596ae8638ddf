// Clocks and time texts.
//
// Every function may be called from any thread. The runtime library's
// localtime/gmtime keep their result in shared static storage, so every
// broken-down conversion of the process runs under the process-wide time lock
// (TimeLock/TimeUnlock, or CTimeLockGuard). The time lock and the random lock
// exist from static initialisation on and are never deleted, so that logging
// from static destructors stays safe.
//
// Seconds since 1970 are 32-bit: keep them unsigned and subtract with wrapping
// arithmetic (they pass 2^31 in January 2038). Milliseconds and microseconds
// since 1970 and the tick counts are 64-bit.
//
// Liveness checks: read the stored tick first, then GetTickCountMs(); the other
// order can make "now - tick" underflow when the ticking thread stores a newer
// value in between.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "tvlib/win.h"

// The process-wide time lock (a recursive critical section).
void TimeLock();
void TimeUnlock();

class CTimeLockGuard {
 public:
  CTimeLockGuard() { TimeLock(); }
  ~CTimeLockGuard() { TimeUnlock(); }
  CTimeLockGuard(const CTimeLockGuard&) = delete;
  CTimeLockGuard& operator=(const CTimeLockGuard&) = delete;
};

// Local / UTC broken-down time of t, copied into out (null out: nothing).
void LocalTimeSafe(time_t t, struct tm* out);
void GmTimeSafe(time_t t, struct tm* out);

// The runtime library's mktime (broken-down local time to seconds), as 32 bits.
uint32_t MakeTime(struct tm* t);

// File time (100 ns since 1601) to seconds since 1970, kept to 32 bits.
uint32_t FileTimeToUnix(uint64_t fileTime);
uint32_t FileTimeToUnix(const FILETIME& fileTime);

// Broken-down time read as UTC to seconds since 1970 (second 60 is taken as
// 59); 0 when Windows refuses the date.
uint32_t SystemTimeToUnixTime(const struct tm& t);

// Milliseconds / microseconds since 1970.
uint64_t GetLocalTimeMsCorrected();  // true UTC derived from the local wall clock
uint64_t GetLocalTimeMs();           // local wall clock counted as if it were UTC
uint64_t GetLocalTimeUs();
uint64_t GetUtcTimeUs();
uint64_t GetUtcTimeMs();

// The rule behind GetLocalTimeMsCorrected: local wall-clock milliseconds
// (counted as if they were UTC) to true UTC milliseconds, with the runtime
// library's zone and daylight-saving rules.
uint64_t LocalWallMsToUtcMs(uint64_t localMs);

// Local time minus UTC in seconds (positive east of Greenwich).
int32_t GetUtcOffset();

// Reads the performance counter's frequency (0 when there is none) and logs it
// at level 9; returns GetTickCount64().
uint64_t PerformanceCounterInit();
// Performance counter frequency in Hz as read by PerformanceCounterInit (0
// before it ran or when the system has none).
int64_t GetPerformanceFrequency();

// Milliseconds since the system started.
uint64_t GetTickCountMs();
// GetTickCount64() * 1000: millisecond resolution despite the unit.
uint64_t GetTickCountUs();

// Local now: "%Y/%m/%d %H:%M:%S", "%Y-%m-%d_%H-%M-%S", "%Y/%m/%d", "%Y-%m-%d".
std::string FormatDateTime();
std::string FormatDateTimeForFileName();
std::string FormatDate();
std::string FormatDateForFileName();

// The same texts for a given calendar time (local).
std::string FormatLocalTime(time_t t, const char* format);

// Small reseeding random source: each call seeds the runtime's generator with
// the last value and keeps its next output, so a given first value always
// yields the same sequence (0 for a new object). The lock is process-wide.
class CRandom {
 public:
  explicit CRandom(uint32_t last = 0) : m_last(last) {}

  // 0..n inclusive.
  uint32_t RandomNumber(uint32_t n);

  uint32_t GetLast() const { return m_last; }
  void SetLast(uint32_t last) { m_last = last; }

 private:
  uint32_t m_last;
};
