// Open handles of a process, counted from the system's handle table
// (GetProcessHandleCount answers 0 under Wine). For leak checks that allow a
// few handles of slack, never exact counts.
#pragma once

#include <vector>

#include "tvlib/win.h"

namespace testsupport {

// -1 when the table cannot be read.
inline long CountProcessHandles(DWORD pid = ::GetCurrentProcessId()) {
  struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    USHORT process;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    PVOID object;
    ULONG access;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  typedef LONG(WINAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 20);
  for (int tries = 0; tries < 8; ++tries) {
    ULONG needed = 0;
    LONG status =
        query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(needed > buffer.size() ? needed + 65536 : buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    long n = 0;
    for (ULONG i = 0; i < table->count; ++i)
      if (table->entries[i].process == static_cast<USHORT>(pid)) ++n;
    return n;
  }
  return -1;
}

}  // namespace testsupport
