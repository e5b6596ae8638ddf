// Base of every long-lived activity: a thread object that runs its body once.
//
// A derived class overrides ThreadEntry (the body) and usually RequestStop (to
// wake the body after setting the flag). Owners call RequestStop/Stop, which
// waits, and then delete the object. A class whose body needs more than the
// flag to wake (or that owns anything the body touches) must stop its thread in
// its own destructor: ~CThread can only set the flag and wait.
//
// Threads: Create, Stop, Wait and the destructor are called by the owner;
// EntryPoint runs on the new thread. m_stopRequest, m_running, m_finished and
// m_joined are changed with Interlocked operations and read without locks;
// m_lock orders the end-of-thread broadcast against SetEndCondition.
#pragma once

#include "tvlib/win.h"
#include "tvlib/threads/sync.h"

class CObject {};

class CThread : public CObject {
 public:
  // Stack class 1..5 -> 16 KiB, 64 KiB, 128 KiB, 256 KiB, 1 MiB; other -> default.
  explicit CThread(int stackClass = 0);
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Priority index 0..5 ("Lowest".."Realtime"), lowered to the process-wide
  // limit. Returns 0 started, 1 cannot create (the calling thread's last error
  // then holds the system's reason), 2 the object already has a thread. The
  // new thread runs only once its handle and id are stored.
  [[nodiscard]] int Create(int priority);

  // The condition (not owned, may be null) is broadcast under its mutex when
  // the body returns. Never take this thread's lock while holding that mutex.
  void SetEndCondition(CCondition* condition);

  // Requests the stop (through RequestStop) and waits for the thread's end.
  virtual void Stop();
  virtual void RequestStop();
  // The body; its result is the exit code. Never return 259 (STILL_ACTIVE).
  // The base body returns 0: an object destroyed before its thread reached the
  // derived body then ends quietly instead of calling a pure slot.
  virtual int ThreadEntry();
  virtual bool IsStopRequested();

  bool IsRunning();
  // Waits for the end and returns the exit code; 0 when the thread was not
  // running (or already finished), 32768 when the code cannot be read.
  int Wait();

  DWORD GetThreadId() const { return m_threadId; }
  HANDLE GetThreadHandle() const { return m_handle; }
  int GetPriority() const { return m_priority; }

  static void Sleep(DWORD milliseconds);
  static void SleepMicro(DWORD microseconds);
  static DWORD MicroToMilli(DWORD microseconds);  // (us + 999) / 1000, no overflow
  static void Yield();
  [[noreturn]] static void Exit(int exitCode);

  // Stack size in bytes for a stack class (0 = the system default).
  static unsigned StackSizeOf(int stackClass);

 protected:
  // For the one class that restarts its thread: once the body has ended,
  // joins it, closes and forgets the handle and clears the run state, so that
  // Create may start a new thread on this object. False while the body still
  // runs and on the thread itself. Every other thread object runs once.
  bool ReleaseEndedThread();

 private:
  static unsigned __stdcall EntryPoint(void* arg);
  bool ExitCodeIsStillActive();
  // Waits for the handle once per object; reports the exit code (0x8000 when
  // it cannot be read).
  int JoinHandle();

  int m_stackClass;
  int m_priority;
  volatile LONG m_stopRequest;
  CRITICAL_SECTION m_lock;  // guards m_endCondition and the end broadcast
  CCondition* m_endCondition;
  volatile LONG m_finished;  // set at the end, only with an end condition
  volatile LONG m_running;   // 1 from Create until Stop has waited
  volatile LONG m_joined;    // the handle has been waited for
  HANDLE m_handle;
  unsigned m_threadId;
};

// Process-wide priority limit (an index, 5 at start). Logs a level-2 warning
// when the value changes; applies to threads created afterwards. Returns true.
bool SetThreadPriorityLimit(int index);
int GetThreadPriorityLimit();
// "Lowest".."Realtime" for 0..5, "" otherwise.
const char* GetThreadPriorityName(int index);
// Windows thread priority for an index (0 outside 0..5).
int GetWindowsThreadPriority(int index);

// Sets the process priority class to real time; on success the flag that
// IsProcessRealtimePriority reads becomes true.
bool SetProcessRealtimePriority();
bool IsProcessRealtimePriority();
// Time-critical priority for the calling thread, regardless of the limit.
bool SetThreadRealtimePriority();
