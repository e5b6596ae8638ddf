// Open handles of a process, as pelclient's proc-stats counts them, for leak
// checks that allow a few handles of slack, never exact counts. Test programs
// that include this link pelclient_lib.
#pragma once

#include "tools/pelclient/ProcStats.h"
#include "tvlib/win.h"

namespace testsupport {

// -1 when the handles cannot be counted.
inline long CountProcessHandles(DWORD pid = ::GetCurrentProcessId()) {
  ProcStats stats = {};
  return QueryProcStats(pid, &stats) == ERROR_SUCCESS ? static_cast<long>(stats.handles) : -1;
}

}  // namespace testsupport
