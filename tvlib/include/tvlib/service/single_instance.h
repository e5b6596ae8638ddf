// One running copy of the program per machine, and the means for a new copy
// to find and end the running one.
//
// Three named objects in the global namespace derive from the instance name
// (inserted unchanged): "Global\TARVEL_<name>_SINGLEMUTEX", whose prior
// existence means that another instance runs; "Global\TARVEL_<name>_PID", a
// 4-byte page-file mapping holding the running instance's process id (little
// endian); and "Global\TARVEL_<name>_PIDLOCKER", a mutex that orders writing
// and reading that record between processes. The record and the two mutexes
// carry descriptors of their own (tvlib/ipc/security.h) under which only
// SYSTEM and administrators may change them.
//
// Threads: one thread (the program body's) owns and uses the object; it has
// no lock of its own. The locker mutex is held only inside one LockPID or
// KillRunning call.
#pragma once

#include <cstdint>
#include <string>

#include "tvlib/win.h"

class CSingleInstance {
 public:
  // How long KillRunning gives a target whose callback asked it to stop, for
  // its orderly stop (board settings saved, devices closed, log flushed),
  // before it is terminated.
  static const DWORD kOrderlyStopWaitMs = 15000;
  // How long LockPID and KillRunning wait for the locker mutex.
  static const DWORD kLockerWaitMs = 2000;

  // Creates (or opens) the single-instance mutex; logs "CSingleInstance
  // CreateMutex failed" and empties the name when that fails.
  CSingleInstance(const char* name, const char* directory);
  ~CSingleInstance();
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;

  // The single-instance mutex (null when it could not be created) and the
  // system error read right after its creation (183: it existed before).
  HANDLE GetMutex() const { return m_hMutex; }
  uint32_t GetLastErrorCode() const { return m_ulLastError; }
  bool IsAnotherInstanceRunning() const {
    return m_hMutex != nullptr && m_ulLastError == ERROR_ALREADY_EXISTS;
  }
  const std::string& GetName() const { return m_name; }
  const std::string& GetDirectory() const { return m_directory; }

  // Records this process's id; the record lives as long as the object. False
  // when another process holds the record (or on any failure).
  bool LockPID();

  // Ends the instance whose id is recorded, when that process runs an image
  // of this program's file name (any folder, any case); otherwise logs why
  // and returns false without touching it. A given callback is asked first
  // to make it stop by itself; a target that has not ended after
  // kOrderlyStopWaitMs (or with no callback, or a callback that returned
  // false) is terminated with exit code 0. True when the target has ended.
  bool KillRunning(bool (*callback)());

  // Builds the descriptors again when missing; true when both exist.
  bool BuildSecurityDescriptor();
  void FreeSecurityDescriptor();

 private:
  // Creates or opens the locker mutex and takes it (an abandoned locker
  // counts as taken); null when it cannot be had within kLockerWaitMs.
  HANDLE TakeLocker();
  static void ReleaseLocker(HANDLE locker);
  std::string ObjectName(const char* suffix) const;

  uint32_t m_ulLastError;
  HANDLE m_hMutex;
  HANDLE m_hPIDMapping;
  uint32_t* m_pPIDView;
  std::string m_name;
  std::string m_directory;
  SECURITY_ATTRIBUTES m_securityAttributes;        // the two mutexes
  SECURITY_ATTRIBUTES m_recordSecurityAttributes;  // the process-id record
};
