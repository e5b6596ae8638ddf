// Resource figures of a process, for soak runs and leak tests that want them
// flat. Both work under Wine, where GetProcessHandleCount gives 0 and the
// private usage of the memory counters is 0.
#pragma once

#include <cstdint>

#include "tvlib/win.h"

struct ProcStats {
  uint64_t handles;       // its open handles
  uint64_t privateBytes;  // committed private regions of its address space
  // Its threads. Under Wine every thread stack is committed whole (the
  // image's 2 MiB reservation, and a 1 MiB kernel stack beside it), so a
  // thread that comes or goes moves privateBytes by megabytes: a soak reads
  // the two together.
  uint64_t threads;
};

// ERROR_SUCCESS or the Win32 code of the failed step. Another process is
// opened with PROCESS_DUP_HANDLE: under Wine its handles are counted by
// duplicating each one (and closing the copy at once).
DWORD QueryProcStats(DWORD pid, ProcStats* stats);
