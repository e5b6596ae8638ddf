// A second process for the single-instance tests. Every mode sets the named
// event READY once it holds what it should, then:
//   record NAME READY [GO]       records its pid; with GO, waits for that event,
//                                lingers about 2 s and exits with 7 by itself;
//                                without it, waits to be ended
//   hold-locker NAME READY       holds the PID locker until ended
//   abandon-locker NAME READY    takes the PID locker and exits without release
//   restricted NAME READY        creates the instance mutex granting everyone
//                                only SYNCHRONIZE, keeps it until ended
#include <cstring>
#include <string>

#include "tvlib/service/single_instance.h"
#include "tvlib/win.h"
// After windows.h.
#include <sddl.h>

namespace {

void SetReady(const char* name) {
  HANDLE event = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (event != nullptr) {
    ::SetEvent(event);
    ::CloseHandle(event);
  }
}

std::string ObjectName(const char* name, const char* suffix) {
  return std::string("Global\\TARVEL_") + name + suffix;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const char* mode = argv[1];
  const char* name = argv[2];
  const char* ready = argv[3];

  if (strcmp(mode, "record") == 0) {
    CSingleInstance instance(name, "/var/run");
    if (!instance.LockPID()) return 3;
    if (argc > 4) {
      HANDLE go = ::OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
      SetReady(ready);
      if (go == nullptr || ::WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 4;
      // Longer than a plain termination grace: the caller must wait for an
      // orderly stop to see this code.
      ::Sleep(2000);
      return 7;
    }
    SetReady(ready);
    ::Sleep(120000);
    return 5;
  }
  if (strcmp(mode, "hold-locker") == 0 || strcmp(mode, "abandon-locker") == 0) {
    HANDLE locker = ::CreateMutexA(nullptr, FALSE, ObjectName(name, "_PIDLOCKER").c_str());
    if (locker == nullptr || ::WaitForSingleObject(locker, 10000) != WAIT_OBJECT_0) return 3;
    SetReady(ready);
    if (strcmp(mode, "abandon-locker") == 0) return 0;
    ::Sleep(120000);
    return 5;
  }
  if (strcmp(mode, "restricted") == 0) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;0x00100000;;;WD)", SDDL_REVISION_1,
                                                                &descriptor, nullptr))
      return 3;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    HANDLE mutex = ::CreateMutexA(&attributes, FALSE, ObjectName(name, "_SINGLEMUTEX").c_str());
    if (mutex == nullptr) return 4;
    SetReady(ready);
    ::Sleep(120000);
    return 5;
  }
  return 2;
}
