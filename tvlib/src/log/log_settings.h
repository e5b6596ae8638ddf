// Process-wide settings shared by the posting side (log.cpp) and the writer
// (logger.cpp). Plain flags read without locks: a line prefixed or echoed with
// the previous setting while Open or SetLogConsoleEcho runs is acceptable.
#pragma once

#include <atomic>
#include <cstddef>

#include "tvlib/win.h"

namespace logsettings {

extern std::atomic<bool> consoleEcho;  // read by the logger thread at write time
extern std::atomic<bool> timeStamps;
extern std::atomic<bool> utc;
extern std::atomic<bool> threadId;

// Room for the longest head: a day-change line (35 bytes) and the longest
// prefix (37).
const size_t kLineHeadMax = 96;

// Writes the head of a line logged now by the calling thread, as the settings
// ask (a day-change line when due, then the time stamp and thread id), into
// `head` (kLineHeadMax bytes, not terminated); returns its length. Updates the
// day-change state under the time lock.
size_t FormatLineHead(char* head);

// Puts the caller's last error back when a log function returns.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : m_error(::GetLastError()) {}
  ~LastErrorKeeper() { ::SetLastError(m_error); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD m_error;
};

}  // namespace logsettings
