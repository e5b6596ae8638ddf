// The process-id record of a single-instance name: the 4-byte mapping
// "Global\TARVEL_<name>_PID" that the running instance keeps.
#pragma once

#include <string>

#include "tvlib/win.h"

namespace testsupport {

// The recorded process id, or 0 when no instance holds a record.
inline DWORD RecordedPid(const std::string& instanceName) {
  HANDLE mapping =
      ::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\TARVEL_" + instanceName + "_PID").c_str());
  if (mapping == nullptr) return 0;
  DWORD pid = 0;
  if (const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(pid))) {
    pid = *static_cast<const DWORD*>(view);
    ::UnmapViewOfFile(view);
  }
  ::CloseHandle(mapping);
  return pid;
}

}  // namespace testsupport
