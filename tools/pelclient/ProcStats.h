// Resource figures of a process, for soak runs and leak tests that want them
// flat. Both work under Wine, where GetProcessHandleCount gives 0 and the
// private usage of the memory counters is 0.
#pragma once

#include <cstdint>

#include "tvlib/win.h"

struct ProcStats {
  uint64_t handles;       // its open handles
  uint64_t privateBytes;  // committed private regions of its address space
};

// ERROR_SUCCESS or the Win32 code of the failed step. Another process is
// opened with PROCESS_DUP_HANDLE: under Wine its handles are counted by
// duplicating each one (and closing the copy at once).
DWORD QueryProcStats(DWORD pid, ProcStats* stats);
