#include "tvlib/log/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// A line is built in one buffer: [stream flag][head][text][line feed]. The
// text is formatted first, kHeadRoom bytes in, so that the head (known only
// once the text is past the folding) goes in front of it without a copy.
const size_t kHeadRoom = 1 + logsettings::kLineHeadMax;
// On the caller's stack (some threads have 16 KiB): most lines fit.
const size_t kStackLine = 1024;

struct FoldState {
  FoldState() { last.reserve(kStackLine); }
  std::string last;
  int count = 0;
};

// A critical section, so that folding makes no kernel call unless two threads
// meet there; recursive for the fold line posted while it is held. Created
// race-free on first use and never deleted: logging from static destructors
// must still find it.
CRITICAL_SECTION& FoldingLock() {
  static CRITICAL_SECTION* lock = [] {
    CRITICAL_SECTION* cs = new CRITICAL_SECTION;
    ::InitializeCriticalSection(cs);
    return cs;
  }();
  return *lock;
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

// The head's fields, written by hand: a printf call costs a few microseconds
// on a thread whose caches went cold while it waited for its period.
char* Put(char* p, const char* text) {
  while (*text != '\0') *p++ = *text++;
  return p;
}

// v in decimal, at least `width` characters, padded in front with `pad`.
char* PutDecimal(char* p, unsigned long v, int width, char pad) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < width; ++i) *p++ = pad;
  while (n > 0) *p++ = digits[--n];
  return p;
}

// v in upper-case hexadecimal, at least `width` characters, padded with spaces.
char* PutHex(char* p, unsigned long v, int width) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[v & 15];
    v >>= 4;
  } while (v != 0);
  for (int i = n; i < width; ++i) *p++ = ' ';
  while (n > 0) *p++ = digits[--n];
  return p;
}

// "%02i:%02i:%02i.%03i"
char* PutClock(char* p, const SYSTEMTIME& t) {
  p = PutDecimal(p, t.wHour, 2, '0');
  p = PutDecimal(Put(p, ":"), t.wMinute, 2, '0');
  p = PutDecimal(Put(p, ":"), t.wSecond, 2, '0');
  return PutDecimal(Put(p, "."), t.wMilliseconds, 3, '0');
}

size_t Clamped(int n, size_t cap) { return n <= 0 ? 0 : static_cast<size_t>(n) < cap ? n : cap - 1; }

// Posts the line whose text (n bytes) stands kHeadRoom bytes into `buffer`,
// which has one byte of room after it: adds the line feed and the head.
void PostLine(int level, char* buffer, size_t n) {
  char* text = buffer + kHeadRoom;
  if (n == 0 || text[n - 1] != '\n') text[n++] = '\n';
  char head[logsettings::kLineHeadMax];
  const size_t h = logsettings::FormatLineHead(head);
  char* record = text - h - 1;
  std::memcpy(record + 1, head, h);
  record[0] = level <= 2 ? 1 : 0;
  if (CLogger* logger = GetLogger()) logger->Post(record, 1 + h + n);
}

// Repeat folding of a text about to be logged: true when it repeats the last
// one and is only counted. Otherwise a pending count is logged first, at
// level 0 whatever the folded message's level (so on standard error).
bool Folded(const char* text, size_t n) {
  CCriticalSectionLocker guard(FoldingLock());
  FoldState& fold = Folding();
  if (n == fold.last.size() && std::memcmp(text, fold.last.data(), n) == 0) {
    ++fold.count;
    return true;
  }
  if (fold.count >= 1) {
    const int repeats = fold.count;
    fold.last.clear();
    fold.count = 0;
    char line[kHeadRoom + 64];
    const int m = snprintf(line + kHeadRoom, sizeof line - kHeadRoom - 1,
                           "... (previous message repeated %d times)", repeats);
    PostLine(0, line, Clamped(m, sizeof line - kHeadRoom - 1));
  }
  fold.last.assign(text, n);
  return false;
}

// The text formatted `offset` bytes into a buffer with one spare byte after
// it: `stack` when it fits, else one from the heap that the caller frees.
struct Formatted {
  char* buffer;
  size_t length;
  char* heap;
};

Formatted FormatInto(char* stack, size_t size, size_t offset, const char* format, va_list args) {
  Formatted f = {stack, 0, nullptr};
  if (format == nullptr) return f;
  va_list attempt;
  va_copy(attempt, args);
  const size_t room = size - offset - 1;
  const int n = vsnprintf(stack + offset, room, format, attempt);
  va_end(attempt);
  if (n >= 0 && static_cast<size_t>(n) < room) {
    f.length = static_cast<size_t>(n);
    return f;
  }
  // Longer than the stack's buffer, or a formatter that reports errors.
  const std::string text = FormatStringV(format, args);
  f.heap = static_cast<char*>(malloc(offset + text.size() + 1));
  if (f.heap == nullptr) return f;  // logged as an empty text
  std::memcpy(f.heap + offset, text.data(), text.size());
  f.buffer = f.heap;
  f.length = text.size();
  return f;
}

// LogPrint and LogPrintError: the formatted text as it is, with its flag.
void PostPrintV(int streamFlag, const char* format, va_list args) {
  logsettings::LastErrorKeeper keep;
  char stack[kStackLine];
  Formatted f = FormatInto(stack, sizeof stack, 1, format, args);
  if (f.length != 0) {
    f.buffer[0] = static_cast<char>(streamFlag);
    if (CLogger* logger = GetLogger()) logger->Post(f.buffer, 1 + f.length);
  }
  free(f.heap);
}

void LogMessage(int level, const char* format, ...) TVLIB_PRINTF(2, 3);
void LogMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMessageV(level, format, args);
  va_end(args);
}

}  // namespace

namespace logsettings {

size_t FormatLineHead(char* head) {
  const unsigned long tid = ::GetCurrentThreadId();
  char* p = head;
  if (!timeStamps) {
    if (threadId) p = Put(PutDecimal(Put(p, "("), tid, 8, ' '), "): ");  // "(%8u): "
    return static_cast<size_t>(p - head);
  }

  // One clock reading for every field, milliseconds included, so that stamps
  // never run backwards across a second boundary.
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  SYSTEMTIME st;
  ::FileTimeToSystemTime(&now, &st);

  if (utc) {
    // "%04i-%02i-%02iT%02i:%02i:%02i.%03iZ"
    p = PutDecimal(p, st.wYear, 4, '0');
    p = PutDecimal(Put(p, "-"), st.wMonth, 2, '0');
    p = PutDecimal(Put(p, "-"), st.wDay, 2, '0');
    p = Put(PutClock(Put(p, "T"), st), "Z");
  } else {
    SYSTEMTIME local;
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &st, &local)) local = st;
    {
      // Test and update together, so two threads logging the first line of a
      // day write one day-change line between them.
      CTimeLockGuard guard;
      if (g_day.year != local.wYear || g_day.month != local.wMonth || g_day.day != local.wDay) {
        g_day.year = local.wYear;
        g_day.month = local.wMonth;
        g_day.day = local.wDay;
        // "******** DAY CHANGED TO %04i/%02i/%02i\n"
        p = PutDecimal(Put(p, "******** DAY CHANGED TO "), local.wYear, 4, '0');
        p = PutDecimal(Put(p, "/"), local.wMonth, 2, '0');
        p = Put(PutDecimal(Put(p, "/"), local.wDay, 2, '0'), "\n");
      }
    }
    p = PutClock(p, local);  // "%02i:%02i:%02i.%03i"
  }
  p = threadId ? Put(PutHex(Put(p, " ("), tid, 8), "): ") : Put(p, ": ");  // " (%8X): " or ": "
  return static_cast<size_t>(p - head);
}

}  // namespace logsettings

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
  logsettings::LastErrorKeeper keep;
  if (t_logDepth > 3) return;
  ++t_logDepth;
  char stack[kStackLine];
  const Formatted f = FormatInto(stack, sizeof stack, kHeadRoom, format, args);
  if (!Folded(f.buffer + kHeadRoom, f.length)) PostLine(level, f.buffer, f.length);
  free(f.heap);
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
  logsettings::LastErrorKeeper keep;
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
  logsettings::LastErrorKeeper keep;
  va_list args;
  va_start(args, format);
  std::string text = FormatStringV(format, args);
  va_end(args);
  LogMessage(0, "%s: %s (Err %08lX)", text.c_str(), GetSystemErrorText(error).c_str(), error);
}

void LogPrintV(const char* format, va_list args) { PostPrintV(0, format, args); }

void LogPrintErrorV(const char* format, va_list args) { PostPrintV(1, format, args); }

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
