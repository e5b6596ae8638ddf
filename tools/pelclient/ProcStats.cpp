#include "ProcStats.h"

#include <algorithm>
#include <vector>

#include "tvlib/scoped_handle.h"

namespace {

// The entries of the system's handle table (information class 16), x64 layout.
struct HandleEntry {
  USHORT processId;
  USHORT creatorBackTraceIndex;
  UCHAR objectTypeIndex;
  UCHAR attributes;
  USHORT value;
  PVOID object;
  ULONG grantedAccess;
};
static_assert(sizeof(HandleEntry) == 24, "the table's x64 entry");

const ULONG kSystemHandleInformation = 16;
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

DWORD CountHandles(DWORD pid, uint64_t* count) {
  typedef LONG(WINAPI * QuerySystemFn)(ULONG, PVOID, ULONG, PULONG);
  static const QuerySystemFn query = reinterpret_cast<QuerySystemFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return ERROR_PROC_NOT_FOUND;
  std::vector<uint8_t> table(1 << 20);
  LONG status;
  for (;;) {
    ULONG needed = 0;
    status = query(kSystemHandleInformation, table.data(), static_cast<ULONG>(table.size()), &needed);
    if (status != kInfoLengthMismatch || table.size() >= (1u << 30)) break;
    // The table grows between two calls: ask for more than it said.
    table.resize(std::max<size_t>(table.size() * 2, needed + (1 << 16)));
  }
  if (status < 0) return ERROR_GEN_FAILURE;
  const ULONG entries = *reinterpret_cast<const ULONG*>(table.data());
  const size_t first = sizeof(ULONG_PTR);  // the count, padded to the entries' alignment
  const size_t fit = (table.size() - first) / sizeof(HandleEntry);
  const HandleEntry* entry = reinterpret_cast<const HandleEntry*>(table.data() + first);
  *count = 0;
  for (size_t i = 0; i < entries && i < fit; ++i)
    if (entry[i].processId == static_cast<USHORT>(pid)) ++*count;
  return ERROR_SUCCESS;
}

uint64_t PrivateBytes(HANDLE process) {
  uint64_t sum = 0;
  MEMORY_BASIC_INFORMATION region;
  for (uintptr_t at = 0;
       ::VirtualQueryEx(process, reinterpret_cast<LPCVOID>(at), &region, sizeof region) != 0;) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) sum += region.RegionSize;
    const uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return sum;
}

}  // namespace

DWORD QueryProcStats(DWORD pid, ProcStats* stats) {
  ScopedKernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process.IsValid()) return ::GetLastError();
  DWORD error = CountHandles(pid, &stats->handles);
  if (error != ERROR_SUCCESS) return error;
  stats->privateBytes = PrivateBytes(process.Get());
  return ERROR_SUCCESS;
}
