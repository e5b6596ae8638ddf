#include "service/WatermarkMain.h"

#include <signal.h>

#include <cstdio>
#include <string>

#include "service/Config.h"
#include "service/Options.h"
#include "service/StopRequest.h"
#include "service/TarvelKantar.h"
#include "service/WatermarkServer.h"
#include "service/WatermarkWinService.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/net/socket.h"
#include "tvlib/service/single_instance.h"
#include "tvlib/service/win_service.h"
#include "tvlib/time/clock.h"

volatile bool StopRequestFlag = false;
volatile bool MainFinishedFlag = false;
const char* LogFilePath = nullptr;

// Built at static initialisation (after the logger, which may be used by the
// conditions' constructors) and never destroyed: stop sources on other threads
// may still touch them while the process exits.
CCondition* const StopCondition = new CCondition(nullptr);
CCondition* const MainFinishedCondition = new CCondition(nullptr);

namespace {

const char kDefaultLogName[] = "Pelorin.log";
const char kInstanceName[] = ".tarvel.watermark.lock";
const char kInstanceDirectory[] = "/var/run";
// How long the server's stop may take, from the moment it began, before the
// server is taken for hung (a channel stuck in a device call keeps it for
// ever). An orderly stop saves every board and may well outlast the server's
// liveness limit.
const DWORD kServerStopWaitMs = 30000;
// How long a process that ends itself waits for its last log lines.
const DWORD kLastLinesWaitMs = 500;

// Owned objects deleted at the end of the body (the AutoKill slot).
struct OwnedThread {
  CThread* thread = nullptr;
  ~OwnedThread() { delete thread; }
};

void SignalMainFinished() {
  CMutexLocker lock(*MainFinishedCondition->GetMutex());
  // Set and broadcast even without the mutex: the waiter's wait is bounded.
  MainFinishedFlag = true;
  MainFinishedCondition->Broadcast();
}

// Every way out of the body sets the finished flag: a console event or a
// service stop that came after the handlers were set would otherwise wait
// its full time for a body that has already returned.
struct MainFinishedOnReturn {
  ~MainFinishedOnReturn() { SignalMainFinished(); }
};

// The service action chosen on the command line; 1 on success, -1 on failure.
int RunServiceAction(int action) {
  CWatermarkWinService service;
  std::string commandLine = BuildServiceCommandLine(LogVerbosity, LogFilePath);
  if (!service.Execute(action, commandLine.c_str()))
    return PrintFailed("Tarvel Watermark Service Operation Failed", ::GetLastError());
  LogPrint("Tarvel Watermark Service Operation Successful\n");
  return 1;
}

// The core library's start-up hook never calls it; kept for the hook's contract.
void AppInfoCallback() {}

// No later load, the embedder SDK's own included, searches the current
// directory or PATH, where any account may plant a DLL. Looked up by name:
// systems without it keep their search order.
void RestrictDllSearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  auto set = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(kernel ? ::GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
  if (set != nullptr) set(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

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
  if (!lock.Locked()) return;
  // Bounded: the handler returns after it whatever the body did.
  if (!MainFinishedFlag) (void)MainFinishedCondition->WaitTimeout(3000);
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

bool KillInstanceCallback() {
  SendStopRequest();
  return true;
}

void EndProcessNotResponding(bool stopRequested) {
  LogLevel2("Server is not responding, killing...");
  // A hung server may hold any lock: no stop sequence and no static
  // destructors (exit would run them, ExitProcess the SDK's detach), only a
  // bounded wait for the line that explains the end.
  if (CLogger* logger = GetLogger()) {
    logger->WaitEmpty();
    logger->WaitWritten(kLastLinesWaitMs);
  }
  // A stop that was asked for is no crash: the service manager must not
  // restart the service by its failure actions. Reported last, since the
  // dispatcher then lets the process's main thread return.
  if (stopRequested && CWinService::GetCurrentService() != nullptr)
    CWinService::ReportStatus(SERVICE_STOPPED, ERROR_TIMEOUT, 0);
  ::TerminateProcess(::GetCurrentProcess(), 1);
  for (;;) ::Sleep(INFINITE);
}

int PrintFailed(const char* text, DWORD error) {
  // LogSystemError takes a code of 0 as "read the last error": hand it the
  // caller's code that way, so that 0 prints as itself.
  ::SetLastError(error);
  LogSystemError(0, "*** FAILED %s", text ? text : "");
  return -1;
}

DWORD ServerStopWaitLeftMs(uint64_t stopTick, uint64_t now) {
  const uint64_t spent = now > stopTick ? now - stopTick : 0;
  return spent >= kServerStopWaitMs ? 0 : static_cast<DWORD>(kServerStopWaitMs - spent);
}

int SuperviseServer(CWatermark_Server& server) {
  CMutex& stopMutex = *StopCondition->GetMutex();
  for (;;) {
    CMutexLocker lock(stopMutex);
    // Without the mutex no stop can be awaited: as a failed wait, the server is stopped.
    if (!lock.Locked()) return CCondition::eCOND_MISC_ERROR;
    // Tested under the mutex that every stop source and the server's end
    // broadcast under: a stop raised before the wait is seen here, one raised
    // during it wakes it.
    if (StopRequestFlag || !server.IsRunning()) return CCondition::eCOND_NO_ERROR;
    int waited = StopCondition->WaitTimeout(1000);
    if (!server.IsRunning()) return waited;
    // Liveness first, then the stop: a stop that began in between is seen,
    // and a stopping server's tick, which no longer moves, is not held
    // against it.
    const bool alive = server.IsAlive();
    const uint64_t stopTick = server.GetStopTick();
    if (stopTick != 0) {
      if (ServerStopWaitLeftMs(stopTick, GetTickCountMs()) == 0) EndProcessNotResponding(true);
    } else if (!alive) {
      EndProcessNotResponding(false);
    }
    if (StopRequestFlag) return waited;
  }
}

CThreadKill::CThreadKill(int64_t remainingMs, void (*callback)())
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
  MainFinishedOnReturn finishedOnReturn;
  LogVerbosity = 3;
  CSocket::Startup();

  CConsole console;
  if (console.IsValid()) {
    console.SetTitle(CWatermarkWinService::kDisplayName);
    console.SetCtrlHandler(ConsoleCtrlHandler, true);
  }
  SetLogConsoleEcho(true);

  CProgramOptions options;
  int exitCode = 0;
  if (!ParseOptions(argc, argv, options, &exitCode)) return exitCode;
  if (options.serviceAction != 0) return RunServiceAction(options.serviceAction);

  CSingleInstance instance(kInstanceName, kInstanceDirectory);
  if (options.kill) {
    if (instance.IsAnotherInstanceRunning() && instance.KillRunning(KillInstanceCallback))
      printf("*** Kill running Pelorin instance ***\n");
    else
      printf("*** Failed to kill running Pelorin instance ***\n");
    return 0;
  }
  if (instance.IsAnotherInstanceRunning()) {
    LogLevel5("*** An Other Pelorin instance is running ***");
    return 0;
  }
  instance.LockPID();

  CSettingsMap settings;
  CConfigNotices configNotices;
  LoadConfiguration(options.configPath, settings, configNotices);

  CWatermark_Server server(options.loadPath);
  server.GetSettings() = settings;
  server.SetCertification(options.certification);
  OwnedThread autoKill;

  SetLogConsoleEcho(options.console);

  if (CLogger* logger = GetLogger()) {
    std::string path = LogFilePath ? LogFilePath : settings["LOG"] + "\\" + kDefaultLogName;
    logger->SetParams(options.logLimitKb / 2, options.logLimitKb);
    logger->Open(path.c_str(), true, true, true);
  }
  LogLevel3("Starting TARVEL Watermark Extension version %d.%d.%d", kVersionMajor, kVersionMinor,
            kVersionBuild);
  // Only now is there a log file for them to reach.
  for (const std::string& notice : configNotices) LogError("%s", notice.c_str());
  fflush(stdout);

  if (options.autoKillSeconds > 0) {
    LogLevel5("*** AutoKill requested of %d seconds...", options.autoKillSeconds);
    autoKill.thread = new CThreadKill(static_cast<int64_t>(options.autoKillSeconds) * 1000, AutoKillCallback);
    (void)autoKill.thread->Create(5);  // a failure has logged; no auto-kill then
  }

  if (options.priority == CProgramOptions::ePRIORITY_REALTIME)
    SetProcessRealtimePriority();
  else
    SetThreadPriorityLimit(options.priority);

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
  // A stop that began before (request 20) has already used part of its bound.
  const uint64_t stopTick = server.GetStopTick();
  if (::WaitForSingleObject(server.GetThreadHandle(), ServerStopWaitLeftMs(stopTick, GetTickCountMs())) ==
      WAIT_TIMEOUT)
    EndProcessNotResponding(true);
  // Only a server that went through its stop sequence has stopped its boards
  // and channels; after any other end they may still call into the library.
  DWORD serverExit = STILL_ACTIVE;
  bool orderlyEnd = ::GetExitCodeThread(server.GetThreadHandle(), &serverExit) && serverExit == 0;
  server.Stop();
  LogLevel5("Watermark Server stopped...");
  if (CTarvelKantar::IsLibraryLoaded() && orderlyEnd) {
    LogLevel8("Release Kantar Support...");
    CTarvelKantar::UnloadLibrary();
  }

  CLogger* logger = GetLogger();
  if (logger) logger->FlushAndStop();
  if (LogVerbosity > 8) printf("Watermark Server log flushed...\n");
  SignalMainFinished();
  if (LogVerbosity > 8) printf("Uninitializing Libraries...\n");
  if (logger) logger->FlushAndStop();
  if (LogVerbosity > 8) printf("Real end !\n");
  return 0;
}

int ProgramMain(int argc, char** argv) {
  RestrictDllSearch();
  LibraryInit(1, AppInfoCallback);
  ::timeBeginPeriod(1);
  int result = WatermarkMain(argc, argv);
  ::timeEndPeriod(1);
  return result;
}
