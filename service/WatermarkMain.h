// The program body and its stop machinery.
//
// WatermarkMain runs once per process on the main thread (as a console program
// or, later, inside the service frame). The stop sources (console control
// handler, signal handler, AutoKill watchdog, service stop) run on their own
// threads: they set StopRequestFlag and broadcast StopCondition; the console
// and service handlers then wait up to 3000 ms for MainFinishedFlag, which the
// main thread sets under MainFinishedCondition's mutex once the log is flushed.
#pragma once

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

int WatermarkMain(int argc, char** argv);

// Sets the stop request, wakes the main thread and waits up to 3000 ms for the
// stop sequence to flush the log.
void RequestStopAndWait();
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
void OnTermSignal(int signalNumber);
void AutoKillCallback();
int PrintFailed(const char* text);

// AutoKill watchdog: counts down in steps of 100 ms, then calls its callback
// unless a stop was requested first. The owner's delete stops and joins it.
class CThreadKill : public CThread {
 public:
  CThreadKill(int remainingMs, void (*callback)());
  ~CThreadKill() override;
  int ThreadEntry() override;

 private:
  int m_remainingMs;  // only the watchdog thread changes it
  void (*m_callback)();
};
