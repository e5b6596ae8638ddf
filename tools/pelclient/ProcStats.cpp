#include "tools/pelclient/ProcStats.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

#include "tvlib/scoped_handle.h"

namespace {

const ULONG kSystemProcessInformation = 5;
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The number of entries the process's handle table holds (Wine's answer in
// the system's process list; Windows gives its handle count there). 0 when
// the list cannot be read.
ULONG HandleTableSize(DWORD pid) {
  typedef LONG(WINAPI * QuerySystemFn)(ULONG, PVOID, ULONG, PULONG);
  static const QuerySystemFn query = reinterpret_cast<QuerySystemFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  std::vector<uint8_t> list(1 << 20);
  LONG status;
  for (;;) {
    ULONG needed = 0;
    status = query(kSystemProcessInformation, list.data(), static_cast<ULONG>(list.size()), &needed);
    if (status != kInfoLengthMismatch || list.size() >= (1u << 28)) break;
    list.resize(std::max<size_t>(list.size() * 2, needed + (1 << 16)));
  }
  if (status < 0) return 0;
  for (size_t at = 0; at + sizeof(SYSTEM_PROCESS_INFORMATION) <= list.size();) {
    const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data() + at);
    if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId)) == pid) return entry->HandleCount;
    if (entry->NextEntryOffset == 0) break;
    at += entry->NextEntryOffset;
  }
  return 0;
}

// Windows counts a process's handles for GetProcessHandleCount. Wine answers
// 0 there, and its server may crash when the system's handle table is listed
// while processes end, which hangs every process of that server. So under
// Wine each value the process's table can hold is tried: handle values are
// multiples of 4, allocated from the lowest free one.
DWORD CountHandles(HANDLE process, DWORD pid, uint64_t* count) {
  DWORD counted = 0;
  if (::GetProcessHandleCount(process, &counted) && counted != 0) {
    *count = counted;
    return ERROR_SUCCESS;
  }
  const ULONG size = HandleTableSize(pid);
  if (size == 0) return ERROR_GEN_FAILURE;
  const bool self = pid == ::GetCurrentProcessId();
  *count = 0;
  for (ULONG_PTR value = 4; value <= 4 * static_cast<ULONG_PTR>(size); value += 4) {
    const HANDLE probe = reinterpret_cast<HANDLE>(value);
    if (self) {
      DWORD flags = 0;
      if (::GetHandleInformation(probe, &flags)) ++*count;
    } else {
      HANDLE copy = nullptr;
      if (::DuplicateHandle(process, probe, ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        ::CloseHandle(copy);
        ++*count;
      }
    }
  }
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

DWORD CountThreads(DWORD pid, uint64_t* count) {
  // A failed snapshot is INVALID_HANDLE_VALUE, as a file.
  ScopedFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot.IsValid()) return ::GetLastError();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  *count = 0;
  for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more;
       more = ::Thread32Next(snapshot.Get(), &entry))
    if (entry.th32OwnerProcessID == pid) ++*count;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD QueryProcStats(DWORD pid, ProcStats* stats) {
  ScopedKernelHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid));
  if (!process.IsValid()) return ::GetLastError();
  DWORD error = CountHandles(process.Get(), pid, &stats->handles);
  if (error != ERROR_SUCCESS) return error;
  stats->privateBytes = PrivateBytes(process.Get());
  return CountThreads(pid, &stats->threads);
}
