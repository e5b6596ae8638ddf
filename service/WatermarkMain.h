// The program body and its stop machinery.
//
// WatermarkMain runs once per process on the main thread (as a console program
// or, later, inside the service frame). The stop sources (console control
// handler, signal handler, AutoKill watchdog, service stop) run on their own
// threads: they set StopRequestFlag and broadcast StopCondition; the console
// and service handlers then wait up to 3000 ms for MainFinishedFlag, which the
// main thread sets under MainFinishedCondition's mutex once the log is flushed.
#pragma once

#include <cstdint>

#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

// Program version, written "%d.%d.%d".
const int kVersionMajor = 1;
const int kVersionMinor = 0;
const int kVersionBuild = 14;

extern volatile bool StopRequestFlag;
extern CCondition* const StopCondition;
extern volatile bool MainFinishedFlag;
extern CCondition* const MainFinishedCondition;
extern const char* LogFilePath;  // the -l value, points into argv; null when not given

class CWatermark_Server;

int WatermarkMain(int argc, char** argv);
// The process entry's body: the library start-up hook and the 1 ms timer
// resolution around WatermarkMain. main and the service's Run both call it.
int ProgramMain(int argc, char** argv);

// The main thread's supervision loop: waits on StopCondition, at most 1000 ms
// a turn, until a stop is requested or the server thread has ended, and ends
// the process with exit code 1 when the server stops ticking, or, once the
// server has begun its stop (request 20), when that stop outlasts its bound.
// Returns the result of the last turn's wait (eCOND_NO_ERROR when that turn
// did not wait): a loop that ends on a time-out has missed its wake-up.
int SuperviseServer(CWatermark_Server& server);

// How long a server stop that began at `stopTick` (a millisecond tick, read
// before `now`) may still take: the stop's bound of 30000 ms counts from the
// moment the server began stopping, whoever asked for it; 0 once it is spent.
DWORD ServerStopWaitLeftMs(uint64_t stopTick, uint64_t now);

// Sets StopRequestFlag and broadcasts StopCondition under its mutex; does not
// wait. Every stop source goes through it.
void RaiseStop();

// Sets the stop request, wakes the main thread and waits up to 3000 ms for the
// stop sequence to flush the log.
void RequestStopAndWait();
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
void OnTermSignal(int signalNumber);
void AutoKillCallback();
// --kill's request to the running instance: the stop request on its control
// pipe. True whatever happened (the caller then waits for the instance).
bool KillInstanceCallback();
// Logs "Server is not responding, killing...", waits a bounded time for the
// log to write it and ends the process with exit code 1 at once. With
// stopRequested (the server hung in its stop) a service run first reports
// SERVICE_STOPPED with ERROR_TIMEOUT.
[[noreturn]] void EndProcessNotResponding(bool stopRequested);
// Logs "*** FAILED <text>" with the system's text of `error`, read by the
// caller where the call failed (a log call in between may reset the last
// error); returns -1.
int PrintFailed(const char* text, DWORD error);

// AutoKill watchdog: counts down in steps of 100 ms, then calls its callback
// unless a stop was requested first. The owner's delete stops and joins it.
class CThreadKill : public CThread {
 public:
  // The remaining time is 64-bit: long AutoKill times (above 24.8 days in
  // milliseconds) must not wrap to an immediate expiry.
  CThreadKill(int64_t remainingMs, void (*callback)());
  int64_t GetRemainingMs() const { return m_remainingMs; }
  ~CThreadKill() override;
  int ThreadEntry() override;

 private:
  int64_t m_remainingMs;  // only the watchdog thread changes it
  void (*m_callback)();
};
