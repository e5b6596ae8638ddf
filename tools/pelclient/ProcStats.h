// Resource figures of another process, for soak runs that want them flat.
// Both work under Wine, where GetProcessHandleCount gives 0 and the private
// usage of the memory counters is 0.
#pragma once

#include <cstdint>

#include "tvlib/win.h"

struct ProcStats {
  uint64_t handles;       // the system handle table's entries of the process
  uint64_t privateBytes;  // committed private regions of its address space
};

// ERROR_SUCCESS or the Win32 code of the failed step. The handle table names
// processes by the low 16 bits of their id, as the system's own table does.
DWORD QueryProcStats(DWORD pid, ProcStats* stats);
