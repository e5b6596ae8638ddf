// Process-wide settings shared by the posting side (log.cpp) and the writer
// (logger.cpp). Plain flags read without locks: a line prefixed or echoed with
// the previous setting while Open or SetLogConsoleEcho runs is acceptable.
#pragma once

#include <atomic>

namespace logsettings {

extern std::atomic<bool> consoleEcho;  // read by the logger thread at write time
extern std::atomic<bool> timeStamps;
extern std::atomic<bool> utc;
extern std::atomic<bool> threadId;

}  // namespace logsettings
