#include "WatermarkMain.h"

#include <signal.h>

#include <cstdio>
#include <string>

#include "TarvelKantar.h"
#include "WatermarkServer.h"
#include "tvlib/files/files.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"

volatile bool StopRequestFlag = false;
volatile bool MainFinishedFlag = false;
const char* LogFilePath = nullptr;

// Built at static initialisation (after the logger, which may be used by the
// conditions' constructors) and never destroyed: stop sources on other threads
// may still touch them while the process exits.
CCondition* const StopCondition = new CCondition(nullptr);
CCondition* const MainFinishedCondition = new CCondition(nullptr);

namespace {

const char kServiceDisplayName[] = "TARVEL Watermarking Extension";
const char kDefaultLogName[] = "Pelorin.log";
const int kDefaultLogLimitKb = 500;

// Owned objects deleted at the end of the body (the AutoKill slot).
struct OwnedThread {
  CThread* thread = nullptr;
  ~OwnedThread() { delete thread; }
};

}  // namespace

void RaiseStop() {
  // Flag and broadcast under the condition's mutex, under which the main loop
  // tests the flag before it waits: the stop cannot fall between that test
  // and the wait. The flag is set even when the mutex cannot be taken.
  CMutexLocker lock(*StopCondition->GetMutex());
  StopRequestFlag = true;
  StopCondition->Broadcast();
}

void RequestStopAndWait() {
  RaiseStop();
  CMutexLocker lock(*MainFinishedCondition->GetMutex());
  if (!MainFinishedFlag) MainFinishedCondition->WaitTimeout(3000);
}

BOOL WINAPI ConsoleCtrlHandler(DWORD) {
  RequestStopAndWait();
  return TRUE;
}

void OnTermSignal(int) {
  LogLevel8("Caught term request...");
  signal(SIGABRT, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  RaiseStop();
}

void AutoKillCallback() { RaiseStop(); }

int PrintFailed(const char* text, DWORD error) {
  // LogSystemError takes a code of 0 as "read the last error": hand it the
  // caller's code that way, so that 0 prints as itself.
  ::SetLastError(error);
  LogSystemError(0, "*** FAILED %s", text ? text : "");
  return -1;
}

int SuperviseServer(CWatermark_Server& server) {
  CMutex& stopMutex = *StopCondition->GetMutex();
  for (;;) {
    CMutexLocker lock(stopMutex);
    // Tested under the mutex that every stop source and the server's end
    // broadcast under: a stop raised before the wait is seen here, one raised
    // during it wakes it.
    if (StopRequestFlag || !server.IsRunning()) return CCondition::eCOND_NO_ERROR;
    int waited = StopCondition->WaitTimeout(1000);
    if (!server.IsRunning()) return waited;
    if (!server.IsAlive()) {
      LogLevel2("Server is not responding, killing...");
      // A hung server may hold any lock: leave at once, without the stop
      // sequence or static destructors.
      ::TerminateProcess(::GetCurrentProcess(), 1);
    }
    if (StopRequestFlag) return waited;
  }
}

CThreadKill::CThreadKill(int remainingMs, void (*callback)())
    : CThread(1), m_remainingMs(remainingMs), m_callback(callback) {}

CThreadKill::~CThreadKill() { Stop(); }

int CThreadKill::ThreadEntry() {
  while (!IsStopRequested() && m_remainingMs > 0) {
    CThread::Sleep(100);
    m_remainingMs -= 100;
  }
  if (!IsStopRequested() && m_callback) {
    LogLevel3("*** AutoKill expired !");
    m_callback();
  }
  return 0;
}

int WatermarkMain(int argc, char** argv) {
  LogVerbosity = 3;

  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    ::SetConsoleTitleA(kServiceDisplayName);
    ::SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  }
  SetLogConsoleEcho(true);

  // Directory settings. The configuration file will be able to set them;
  // until then RUN is the directory the program was started in and the log
  // lives there.
  CSettingsMap settings;
  settings["RUN"] = GetCurrentDir();
  settings["LOG"] = settings["RUN"];

  OwnedThread autoKill;
  CWatermark_Server server(nullptr);
  server.GetSettings() = settings;
  bool consoleEcho = false;
  int logLimitKb = kDefaultLogLimitKb;
  int autoKillSeconds = 0;
  int priorityIndex = 5;

  SetLogConsoleEcho(consoleEcho);

  if (CLogger* logger = GetLogger()) {
    std::string path = LogFilePath ? LogFilePath : settings["LOG"] + "\\" + kDefaultLogName;
    logger->SetParams(logLimitKb / 2, logLimitKb);
    logger->Open(path.c_str(), true, true, true);
  }
  LogLevel3("Starting TARVEL Watermark Extension version %d.%d.%d", kVersionMajor, kVersionMinor,
            kVersionBuild);
  fflush(stdout);

  if (autoKillSeconds > 0) {
    LogLevel5("*** AutoKill requested of %d seconds...", autoKillSeconds);
    autoKill.thread = new CThreadKill(autoKillSeconds * 1000, AutoKillCallback);
    autoKill.thread->Create(5);
  }

  if (priorityIndex == 5)
    SetProcessRealtimePriority();
  else
    SetThreadPriorityLimit(priorityIndex);

  LogLevel6("Initializing Libraries...");
  if (CTarvelKantar::LoadLibrary(server.GetSettings()["RUN"].c_str()))
    LogLevel3("KANTAR: Loaded library version %s", CTarvelKantar::GetLibraryVersion().c_str());
  else
    LogLevel3("KANTAR: dynamic library not found, so disabled");

  LogLevel6("Starting Watermark Server...");
  server.SetEndCondition(StopCondition);
  if (server.Create(2) != 0) return PrintFailed(" Watermark Server run failed", ::GetLastError());
  if (!server.IsRunning()) return PrintFailed(" Watermark Server Thread not running", ::GetLastError());

  LogLevel6("Running Watermark Server ...");
  signal(SIGABRT, OnTermSignal);
  signal(SIGINT, OnTermSignal);
  signal(SIGTERM, OnTermSignal);

  bool timerSet = ::timeBeginPeriod(1) == TIMERR_NOERROR;
  if (!timerSet) LogLevel2("Failed to set Windows scheduler to 1 ms\n");

  SuperviseServer(server);

  if (timerSet && ::timeEndPeriod(1) != TIMERR_NOERROR)
    LogLevel2("Failed to unset Windows scheduler from 1 ms\n");

  LogLevel7("Stopping Watermark Server ...");
  server.RequestStop();
  server.Stop();
  LogLevel5("Watermark Server stopped...");
  if (CTarvelKantar::IsLibraryLoaded()) {
    LogLevel8("Release Kantar Support...");
    CTarvelKantar::UnloadLibrary();
  }

  CLogger* logger = GetLogger();
  if (logger) logger->FlushAndStop();
  if (LogVerbosity > 8) printf("Watermark Server log flushed...\n");
  {
    CMutexLocker lock(*MainFinishedCondition->GetMutex());
    MainFinishedFlag = true;
    MainFinishedCondition->Broadcast();
  }
  if (LogVerbosity > 8) printf("Uninitializing Libraries...\n");
  if (logger) logger->FlushAndStop();
  if (LogVerbosity > 8) printf("Real end !\n");
  (void)argc;
  (void)argv;
  return 0;
}
