// Log levels and the process-wide asynchronous logger's posting functions.
//
// Any thread may call these. Formatting, prefixing and repeat folding run on
// the caller's thread; the finished line is posted into the global logger's
// queue without waiting (a record that does not fit is dropped and counted).
// The logger's own thread writes the lines (see logger.h).
//
// Real-time callers: a line is formatted in a buffer on the caller's stack
// (the heap only for lines of more than about 900 bytes), the folding state is
// guarded by a critical section, and the post makes no kernel call unless the
// logger thread waits. Every function here leaves the caller's GetLastError()
// as it found it. A suppressed level costs one comparison.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#define TVLIB_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))

// Process-wide verbosity: 4 until the program body sets it (3, or 5..9 for -v..-vvvvv).
extern volatile int LogVerbosity;

// Start-up hook of the core library: does nothing and never calls the callback.
void LibraryInit(int flag, void (*callback)());

// Console echo of written lines (read by the logger thread at write time).
void SetLogConsoleEcho(bool echo);

// Core of every level function: formats, folds, prefixes and posts; no verbosity test.
void LogMessageV(int level, const char* format, va_list args);

void LogError(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogFailure(const char* format, ...) TVLIB_PRINTF(1, 2);
int LogErrorInt(const char* format, ...) TVLIB_PRINTF(1, 2);              // always -1
std::nullptr_t LogErrorNull(const char* format, ...) TVLIB_PRINTF(1, 2);  // always null
bool LogErrorFalse(const char* format, ...) TVLIB_PRINTF(1, 2);           // always false
void LogLevel2(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogLevel3(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogLevel5(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogLevel6(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogLevel7(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogLevel8(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogLevel9(const char* format, ...) TVLIB_PRINTF(1, 2);

// Level 0: "<message>: <system text> (Err %08X)". A code of 0 means the calling
// thread's GetLastError(), read before anything else.
void LogSystemError(unsigned long code, const char* format, ...) TVLIB_PRINTF(2, 3);

// The system's text for a Windows error code, cut at its first line end; "" if unknown.
std::string GetSystemErrorText(unsigned long code);

// Unprefixed, unfolded, always posted (stream flag 0 = stdout, 1 = stderr).
void LogPrint(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogPrintError(const char* format, ...) TVLIB_PRINTF(1, 2);
void LogPrintV(const char* format, va_list args);
void LogPrintErrorV(const char* format, va_list args);

// Posts one record [flag byte][text] into the global logger's queue. "" posts
// nothing and returns true; after the global logger is gone it posts nothing.
bool LogQueuePost(const char* text, int streamFlag);

std::string FormatStringV(const char* format, va_list args);
std::string FormatString(const char* format, ...) TVLIB_PRINTF(1, 2);

// Logs the crash banner, flushes the logger and ends the process abnormally.
[[noreturn]] void CrashWanted();
