#include "tools/pelclient/BlockView.h"

#include <cctype>

#include "service/BoardBlock.h"
#include "tvlib/ipc/shared_memory.h"

namespace {

// The section's size, through the native query the Win32 API does not
// offer; 0 when it cannot be had.
uint64_t SectionSize(HANDLE mapping) {
  struct SectionBasicInformation {
    PVOID base;
    ULONG attributes;
    LARGE_INTEGER size;
  } info = {};
  typedef LONG(WINAPI * QuerySectionFn)(HANDLE, DWORD, PVOID, SIZE_T, PSIZE_T);
  static const QuerySectionFn query = reinterpret_cast<QuerySectionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySection")));
  if (query == nullptr || query(mapping, 0, &info, sizeof info, nullptr) < 0) return 0;
  return static_cast<uint64_t>(info.size.QuadPart);
}

}  // namespace

CBlockView::~CBlockView() {
  if (m_data != nullptr) ::UnmapViewOfFile(m_data);
  if (m_mapping != nullptr) ::CloseHandle(m_mapping);
}

DWORD CBlockView::Open(const std::string& name, bool write) {
  const DWORD access = FILE_MAP_READ | (write ? FILE_MAP_WRITE : 0);
  const std::string object = CSharedMemoryBuffer::MappingObjectName(name);
  m_mapping = ::OpenFileMappingA(access | SECTION_QUERY, FALSE, object.c_str());
  if (m_mapping == nullptr) m_mapping = ::OpenFileMappingA(access, FALSE, object.c_str());
  if (m_mapping == nullptr) return ::GetLastError();
  m_data = static_cast<uint8_t*>(::MapViewOfFile(m_mapping, access, 0, 0, 0));
  if (m_data == nullptr) return ::GetLastError();
  uint64_t size = SectionSize(m_mapping);
  MEMORY_BASIC_INFORMATION region = {};
  if (::VirtualQuery(m_data, &region, sizeof region) != 0 && (size == 0 || region.RegionSize < size))
    size = region.RegionSize;
  const uint32_t known = KnownBlockSize(name);
  if (known != 0 && known < size) size = known;
  m_size = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
  return ERROR_SUCCESS;
}

bool ValidBlockName(const std::string& name, std::string* why) {
  const std::string full = CSharedMemoryBuffer::MappingObjectName("");
  if (name.empty())
    *why = "an empty block name";
  else if (name.compare(0, 7, "Global\\") == 0)
    *why = "give the block name without \"" + full + "\"";
  else if (name.find('\\') != std::string::npos)
    *why = "a block name holds no backslash";
  else if (name.size() > MAX_PATH)
    *why = "the block name is too long";
  else
    return true;
  return false;
}

uint32_t KnownBlockSize(const std::string& name) {
  const size_t prefix = sizeof kBoardBlockPrefix - 1;
  if (name.size() != prefix + 8 || name.compare(0, prefix, kBoardBlockPrefix) != 0) return 0;
  for (size_t i = prefix; i < name.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return 0;
  return kBoardBlockSize;
}
