#include "tvlib/log/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log_settings.h"
#include "tvlib/log/logger.h"
#include "tvlib/threads/sync.h"
#include "tvlib/time/clock.h"
#include "tvlib/win.h"

volatile int LogVerbosity = 4;

namespace logsettings {
std::atomic<bool> consoleEcho{true};
std::atomic<bool> timeStamps{true};
std::atomic<bool> utc{false};
std::atomic<bool> threadId{false};
}  // namespace logsettings

namespace {

// Formatting errors double the buffer up to this size, then give up.
const size_t kFormatErrorCap = 1u << 20;

struct FoldState {
  std::string last;
  int count = 0;
};

// Created race-free on first use and never deleted: logging from static
// destructors must still find it.
CMutex& FoldingMutex() {
  static CMutex* mutex = new CMutex();
  return *mutex;
}

FoldState& Folding() {
  static FoldState* state = new FoldState();
  return *state;
}

// Day of the last day-change line, guarded by the time lock (all zero at start,
// so the first local stamped line of the process gets one).
struct DayState {
  int year = 0;
  int month = 0;
  int day = 0;
};
DayState g_day;

// A lock that fails logs, and that log would take the same lock again: stop
// after a few levels instead of recursing without end.
thread_local int t_logDepth = 0;

std::string MakeLine(const std::string& text) {
  const char* suffix = (!text.empty() && text.back() == '\n') ? "" : "\n";
  const unsigned long tid = ::GetCurrentThreadId();
  if (!logsettings::timeStamps) {
    if (logsettings::threadId) return FormatString("(%8lu): %s%s", tid, text.c_str(), suffix);
    return text + suffix;
  }

  // One clock reading for every field, milliseconds included, so that stamps
  // never run backwards across a second boundary.
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  SYSTEMTIME st;
  ::FileTimeToSystemTime(&now, &st);

  if (logsettings::utc) {
    if (logsettings::threadId)
      return FormatString("%04i-%02i-%02iT%02i:%02i:%02i.%03iZ (%8lX): %s%s", st.wYear, st.wMonth, st.wDay,
                          st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, tid, text.c_str(), suffix);
    return FormatString("%04i-%02i-%02iT%02i:%02i:%02i.%03iZ: %s%s", st.wYear, st.wMonth, st.wDay, st.wHour,
                        st.wMinute, st.wSecond, st.wMilliseconds, text.c_str(), suffix);
  }

  SYSTEMTIME local;
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &st, &local)) local = st;

  std::string dayLine;
  {
    // Test and update together, so two threads logging the first line of a
    // day write one day-change line between them.
    CTimeLockGuard guard;
    if (g_day.year != local.wYear || g_day.month != local.wMonth || g_day.day != local.wDay) {
      g_day.year = local.wYear;
      g_day.month = local.wMonth;
      g_day.day = local.wDay;
      dayLine =
          FormatString("******** DAY CHANGED TO %04i/%02i/%02i\n", local.wYear, local.wMonth, local.wDay);
    }
  }
  if (logsettings::threadId)
    return dayLine + FormatString("%02i:%02i:%02i.%03i (%8lX): %s%s", local.wHour, local.wMinute,
                                  local.wSecond, local.wMilliseconds, tid, text.c_str(), suffix);
  return dayLine + FormatString("%02i:%02i:%02i.%03i: %s%s", local.wHour, local.wMinute, local.wSecond,
                                local.wMilliseconds, text.c_str(), suffix);
}

void LogMessage(int level, const char* format, ...) TVLIB_PRINTF(2, 3);
void LogMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMessageV(level, format, args);
  va_end(args);
}

}  // namespace

void LibraryInit(int /*flag*/, void (* /*callback*/)()) {}

void SetLogConsoleEcho(bool echo) { logsettings::consoleEcho = echo; }

std::string FormatStringV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  size_t size = 2 * strlen(format) + 1;
  for (;;) {
    char* buffer = static_cast<char*>(malloc(size));
    if (buffer == nullptr) return std::string();
    va_list attempt;
    va_copy(attempt, args);
    int n = vsnprintf(buffer, size, format, attempt);
    va_end(attempt);
    if (n >= 0 && static_cast<size_t>(n) < size) {
      std::string text(buffer, static_cast<size_t>(n));
      free(buffer);
      return text;
    }
    free(buffer);
    if (n >= 0) {
      size = static_cast<size_t>(n) + 2;
    } else {
      // A formatter that reports errors (not the needed length) gets a larger
      // buffer a bounded number of times.
      if (size >= kFormatErrorCap) return std::string();
      size = size * 2 < kFormatErrorCap ? size * 2 : kFormatErrorCap;
    }
  }
}

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatStringV(format, args);
  va_end(args);
  return text;
}

void LogMessageV(int level, const char* format, va_list args) {
  if (t_logDepth > 3) return;
  ++t_logDepth;
  std::string text = FormatStringV(format, args);

  CMutex& mutex = FoldingMutex();
  mutex.Lock();
  FoldState& fold = Folding();
  if (text == fold.last) {
    ++fold.count;
    mutex.Unlock();
    --t_logDepth;
    return;
  }
  if (fold.count >= 1) {
    int repeats = fold.count;
    fold.last.clear();
    fold.count = 0;
    // Level 0 whatever the folded message's level: goes to stderr.
    LogMessage(0, "... (previous message repeated %d times)", repeats);
  }
  fold.last = text;
  mutex.Unlock();

  std::string line = MakeLine(text);
  LogQueuePost(line.c_str(), level <= 2 ? 1 : 0);
  --t_logDepth;
}

#define TVLIB_LOG_AT(level, threshold)    \
  do {                                    \
    if (LogVerbosity > (threshold)) {     \
      va_list args;                       \
      va_start(args, format);             \
      LogMessageV((level), format, args); \
      va_end(args);                       \
    }                                     \
  } while (0)

void LogError(const char* format, ...) { TVLIB_LOG_AT(0, -1); }
void LogFailure(const char* format, ...) { TVLIB_LOG_AT(0, -1); }
int LogErrorInt(const char* format, ...) {
  TVLIB_LOG_AT(0, -1);
  return -1;
}
std::nullptr_t LogErrorNull(const char* format, ...) {
  TVLIB_LOG_AT(0, -1);
  return nullptr;
}
bool LogErrorFalse(const char* format, ...) {
  TVLIB_LOG_AT(0, -1);
  return false;
}
void LogLevel2(const char* format, ...) { TVLIB_LOG_AT(2, 1); }
void LogLevel3(const char* format, ...) { TVLIB_LOG_AT(3, 2); }
void LogLevel5(const char* format, ...) { TVLIB_LOG_AT(5, 4); }
void LogLevel6(const char* format, ...) { TVLIB_LOG_AT(6, 5); }
void LogLevel7(const char* format, ...) { TVLIB_LOG_AT(7, 6); }
void LogLevel8(const char* format, ...) { TVLIB_LOG_AT(8, 7); }
void LogLevel9(const char* format, ...) { TVLIB_LOG_AT(9, 8); }

#undef TVLIB_LOG_AT

std::string GetSystemErrorText(unsigned long code) {
  char* text = nullptr;
  DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result;
  if (n != 0 && text != nullptr) {
    result.assign(text, n);
    // Some message tables end lines with a bare "\n".
    size_t end = result.find_first_of("\r\n");
    if (end != std::string::npos) result.resize(end);
  }
  if (text != nullptr) ::LocalFree(text);
  return result;
}

void LogSystemError(unsigned long code, const char* format, ...) {
  // Before anything else: formatting may change the last error.
  unsigned long error = code != 0 ? code : ::GetLastError();
  if (LogVerbosity < 0) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatStringV(format, args);
  va_end(args);
  LogMessage(0, "%s: %s (Err %08lX)", text.c_str(), GetSystemErrorText(error).c_str(), error);
}

void LogPrintV(const char* format, va_list args) { LogQueuePost(FormatStringV(format, args).c_str(), 0); }

void LogPrintErrorV(const char* format, va_list args) {
  LogQueuePost(FormatStringV(format, args).c_str(), 1);
}

void LogPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogPrintV(format, args);
  va_end(args);
}

void LogPrintError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogPrintErrorV(format, args);
  va_end(args);
}

void CrashWanted() {
  LogError("************************");
  LogError("* PROGRAM CRASH WANTED *");
  LogError("************************");
  if (CLogger* logger = GetLogger()) logger->FlushAndStop();
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) ::Sleep(INFINITE);
}
