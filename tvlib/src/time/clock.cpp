#include "tvlib/time/clock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "tvlib/log/log.h"

namespace {

// Created on first use (at the latest during static initialisation, below)
// and never deleted: loggers and static destructors may still take them late
// in process exit.
struct ProcessLocks {
  CRITICAL_SECTION time;
  CRITICAL_SECTION random;
  ProcessLocks() {
    ::InitializeCriticalSection(&time);
    ::InitializeCriticalSection(&random);
  }
};

ProcessLocks& Locks() {
  static ProcessLocks* locks = new ProcessLocks;
  return *locks;
}

const struct LocksAtStart {
  LocksAtStart() { Locks(); }
} g_locksAtStart;

const uint64_t kFileTime1970 = 116444736000000000ULL;

uint64_t ToUint64(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The Windows file time of 1970-01-01 00:00:00.000, computed once; concurrent
// first calls compute the same value.
std::atomic<uint64_t> g_fileTime1970{0};

uint64_t FileTime1970() {
  uint64_t v = g_fileTime1970.load(std::memory_order_relaxed);
  if (v != 0) return v;
  SYSTEMTIME st = {};
  st.wYear = 1970;
  st.wMonth = 1;
  st.wDay = 1;
  FILETIME ft;
  v = ::SystemTimeToFileTime(&st, &ft) ? ToUint64(ft) : kFileTime1970;
  g_fileTime1970.store(v, std::memory_order_relaxed);
  return v;
}

// The performance clock keeps its own cached 1970 file time and the counter
// reading taken at its initialisation.
std::atomic<uint64_t> g_perfFileTime1970{0};
std::atomic<int64_t> g_perfFrequency{0};
std::atomic<int64_t> g_perfCounterAtInit{0};
std::atomic<bool> g_perfInitDone{false};

uint64_t UtcFileTimeNow() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return ToUint64(ft);
}

uint64_t LocalFileTimeNow() {
  FILETIME utc;
  FILETIME local;
  ::GetSystemTimeAsFileTime(&utc);
  if (!::FileTimeToLocalFileTime(&utc, &local)) return ToUint64(utc);
  return ToUint64(local);
}

uint64_t Since1970(uint64_t fileTime) {
  uint64_t base = FileTime1970();
  return fileTime > base ? fileTime - base : 0;
}

std::string FormatNow(const char* format) { return FormatLocalTime(time(nullptr), format); }

}  // namespace

void TimeLock() { ::EnterCriticalSection(&Locks().time); }
void TimeUnlock() { ::LeaveCriticalSection(&Locks().time); }

void LocalTimeSafe(time_t t, struct tm* out) {
  if (out == nullptr) return;
  CTimeLockGuard guard;
  const struct tm* r = localtime(&t);
  if (r != nullptr) {
    *out = *r;
  } else {
    std::memset(out, 0, sizeof(*out));
  }
}

void GmTimeSafe(time_t t, struct tm* out) {
  if (out == nullptr) return;
  CTimeLockGuard guard;
  const struct tm* r = gmtime(&t);
  if (r != nullptr) {
    *out = *r;
  } else {
    std::memset(out, 0, sizeof(*out));
  }
}

uint32_t MakeTime(struct tm* t) {
  CTimeLockGuard guard;  // mktime consults the same zone state as localtime
  return static_cast<uint32_t>(mktime(t));
}

uint32_t FileTimeToUnix(uint64_t fileTime) {
  int64_t seconds = static_cast<int64_t>(fileTime / 10000000ULL) - 11644473600LL;
  return static_cast<uint32_t>(seconds);
}

uint32_t FileTimeToUnix(const FILETIME& fileTime) { return FileTimeToUnix(ToUint64(fileTime)); }

uint32_t SystemTimeToUnixTime(const struct tm& t) {
  SYSTEMTIME st;
  st.wYear = static_cast<WORD>(t.tm_year + 1900);
  st.wMonth = static_cast<WORD>(t.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st.wDay = static_cast<WORD>(t.tm_mday);
  st.wHour = static_cast<WORD>(t.tm_hour);
  st.wMinute = static_cast<WORD>(t.tm_min);
  // A leap second is legal in struct tm but refused by Windows.
  st.wSecond = static_cast<WORD>(t.tm_sec == 60 ? 59 : t.tm_sec);
  st.wMilliseconds = 0;
  FILETIME ft;
  if (!::SystemTimeToFileTime(&st, &ft)) return 0;
  return FileTimeToUnix(ft);
}

uint64_t GetLocalTimeMs() { return Since1970(LocalFileTimeNow()) / 10000; }
uint64_t GetLocalTimeUs() { return Since1970(LocalFileTimeNow()) / 10; }
uint64_t GetUtcTimeUs() { return Since1970(UtcFileTimeNow()) / 10; }
uint64_t GetUtcTimeMs() { return Since1970(UtcFileTimeNow()) / 10000; }

uint64_t LocalWallMsToUtcMs(uint64_t localMs) {
  time_t seconds = static_cast<time_t>(localMs / 1000);
  uint64_t fraction = localMs % 1000;
  struct tm broken;
  GmTimeSafe(seconds, &broken);
  // gmtime leaves tm_isdst at 0, which would make mktime read summer wall
  // clock as standard time; let it decide.
  broken.tm_isdst = -1;
  time_t utc;
  {
    CTimeLockGuard guard;
    utc = mktime(&broken);
  }
  return static_cast<uint64_t>(static_cast<int64_t>(utc)) * 1000 + fraction;
}

uint64_t GetLocalTimeMsCorrected() { return LocalWallMsToUtcMs(GetLocalTimeMs()); }

int32_t GetUtcOffset() {
  time_t now = time(nullptr);
  struct tm local;
  LocalTimeSafe(now, &local);
  uint32_t localAsUtc = SystemTimeToUnixTime(local);
  return static_cast<int32_t>(localAsUtc - static_cast<uint32_t>(now));
}

uint64_t PerformanceCounterInit() {
  if (g_perfFileTime1970.load() == 0) g_perfFileTime1970.store(FileTime1970());
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  if (::QueryPerformanceFrequency(&frequency) && ::QueryPerformanceCounter(&counter) &&
      frequency.QuadPart != 0) {
    g_perfFrequency.store(frequency.QuadPart);
    g_perfCounterAtInit.store(counter.QuadPart);
    LogLevel9("System counter performance is %lld Hz", static_cast<long long>(frequency.QuadPart));
  } else {
    g_perfFrequency.store(0);
    LogLevel9("System has no performance counter");
  }
  g_perfInitDone.store(true);
  return ::GetTickCount64();
}

int64_t GetPerformanceFrequency() { return g_perfFrequency.load(); }

uint64_t GetTickCountMs() { return ::GetTickCount64(); }

uint64_t GetTickCountUs() {
  if (!g_perfInitDone.load()) PerformanceCounterInit();
  return ::GetTickCount64() * 1000;
}

std::string FormatLocalTime(time_t t, const char* format) {
  struct tm local;
  LocalTimeSafe(t, &local);
  char text[100];
  size_t n = strftime(text, sizeof(text), format, &local);
  return n == 0 ? std::string() : std::string(text, n);
}

std::string FormatDateTime() { return FormatNow("%Y/%m/%d %H:%M:%S"); }
std::string FormatDateTimeForFileName() { return FormatNow("%Y-%m-%d_%H-%M-%S"); }
std::string FormatDate() { return FormatNow("%Y/%m/%d"); }
std::string FormatDateForFileName() { return FormatNow("%Y-%m-%d"); }

uint32_t CRandom::RandomNumber(uint32_t n) {
  uint32_t value;
  ::EnterCriticalSection(&Locks().random);
  // The runtime keeps its generator state per thread; reseeding under the
  // lock makes the sequence depend on this object's last value only.
  srand(m_last);
  m_last = static_cast<uint32_t>(rand());
  value = m_last;
  ::LeaveCriticalSection(&Locks().random);
  if (n == 0xFFFFFFFFu) return value;  // n + 1 would be 0: nothing to reduce
  return value % (n + 1);
}
