// CDirNotify: a thread that watches one directory tree and reports every
// change of a name in it to three handlers of a derived class.
//
// Names handed to the handlers are paths relative to the watched directory
// (sub\file.txt), in narrow text. When the directory goes away (a removed
// folder, a share that disappears) the watcher closes, waits the retry delay,
// opens it again and then reports OnAdded("") for "the whole directory is
// back". A path that begins with two backslashes (a UNC path, or \\?\) is
// opened under CImpersonation with the given user, so that a service under a
// local account can watch a share. Nothing is logged.
//
// Threads: the handlers run on the watch thread and must not block for long
// (changes are read only between calls). Stop, Restart and the destructor run
// on the owner's thread. While a watch thread runs, the directory handle is
// its own: a stop sets the stop request and the stop event, and the thread
// cancels its read in flight (CancelIoEx), takes the read's completion and
// then closes the handle itself, last. The owner closes the handle only when
// no watch thread runs (after joining it, or before starting one); every
// close goes through an atomic exchange, so it happens once. The open flag is
// written by the watch thread and by Restart only while no watch thread runs.
// Stop waits for the thread without a bound: the thread's only other waits
// are the handlers and the retry delay's slices of 100 ms.
//
// Exit codes of the watch thread: 0 after a stop with the directory closed,
// -10 when the file system cannot report changes (no retry), -1 otherwise (a
// stop through RequestStop alone leaves the handle for Stop or the destructor).
//
// Derived classes: the handlers belong to the derived part, which is gone when
// ~CDirNotify runs, so a derived class calls Stop in its own destructor. With
// "start now" the thread starts inside this constructor, before a derived
// constructor has run, and an early change could reach a handler of an object
// not yet built: a derived class with state of its own passes false and calls
// Restart at the end of its own constructor.
#pragma once

#include <string>

#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CDirNotify : public CThread {
 public:
  // user and password may be null (empty). With startNow the thread starts
  // at priority 2.
  CDirNotify(const char* path, int retryDelayMs, bool startNow, const char* user = nullptr,
             const char* password = nullptr);
  ~CDirNotify() override;

  // Wakes the thread, which ends its pending read and closes the directory,
  // and waits for its end.
  void Stop() override;
  int ThreadEntry() override;

  // Stops a running thread as Stop does and starts a fresh one (also after a
  // thread that ended by itself). True when the new thread started.
  bool Restart();

  // The change buffer's next size after the system reported it too small:
  // 512 bytes more, never above 64 KiB (the limit for network directories).
  static DWORD NextChangeBufferSize(DWORD size);

  const std::string& GetPath() const { return m_strPath; }

 protected:
  virtual void OnAdded(const std::string& name) = 0;
  virtual void OnRemoved(const std::string& name) = 0;
  virtual void OnModified(const std::string& name) = 0;
  // Opens the directory handle (under impersonation for a UNC path) and sets
  // the open flag; returns it.
  virtual bool OpenDirectory();

  // Walks the FILE_NOTIFY_INFORMATION records of one completed read and calls
  // the handlers; records that do not lie wholly inside `bytesReturned` are
  // not dispatched. Touches nothing but the buffer and the handlers.
  void DispatchChanges(const void* records, DWORD bytesReturned);

 private:
  static const DWORD kFirstBufferSize = 272;

  HANDLE OpenDirectoryHandle() const;
  // Stores a handle through the atomic exchange, closing the one it replaces.
  void StoreHandle(HANDLE handle);
  void CloseDirectoryHandle();
  bool IsImpersonatedPath() const;
  bool StopWanted();
  // The retry delay in slices of 100 ms on the stop event; false on a stop.
  bool WaitRetryDelay();
  // Stop's order: request first, so that a woken thread finds the request
  // and never reopens; then the stop event; then the wait for the end.
  void StopWatching();

  HANDLE volatile m_hDirectory;  // INVALID_HANDLE_VALUE when closed
  std::string m_strPath;
  volatile LONG m_bOpen;
  int m_iRetryDelay;
  OVERLAPPED m_overlapped;  // its event is m_hReadEvent
  HANDLE m_hStopEvent;      // manual reset: wake the thread for its end
  HANDLE m_hReadEvent;      // manual reset: a change read completed
  std::string m_strUser;
  std::string m_strPassword;  // wiped when freed
  // Set first by Stop, Restart and the destructor; tells a stop through Stop
  // from one through RequestStop alone.
  volatile LONG m_bStopping;
};
