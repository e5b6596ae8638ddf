// Frame for a console program that installs, controls and runs itself as a
// Windows service of its own process.
//
// An owner derives from CWinService, fills the names, description, lists and
// failure actions (texts and the action array stay owned by the owner and
// must outlive the object), and either asks for one administrative action
// through Execute or, when the service control manager started the program,
// hands the process to the dispatcher (action 5). The frame then rebuilds a
// command line from the start arguments and the "Parameters" value of the
// service's key, and calls Run with it between the START_PENDING/RUNNING and
// STOPPED reports.
//
// Threads: administrative actions run on the caller's thread. While the
// dispatcher runs, ServiceMain (and with it Run) runs on a thread of the
// dispatcher's and ControlHandler (with OnStop/OnShutdown/OnPause/OnContinue)
// on the dispatcher's own thread; OnStop and OnShutdown must only signal the
// body and wait a bounded time. The process-wide status record and check
// point counter are written by both threads without a lock, each write
// followed by one SetServiceStatus call.
#pragma once

#include <string>

#include "tvlib/win.h"
// UNICODE_STRING
#include <winternl.h>

class CWinService {
 public:
  // Execute's action codes.
  enum {
    eINSTALL = 1,
    eUNINSTALL = 2,
    eSTART = 3,
    eRESTART = 4,
    eRUN_AS_SERVICE = 5,
    eSTOP = 6,
    eSET_PARAMETERS = 7,
  };
  // StopService gives up after this long, pausing at least kStopPollMinMs
  // between status queries.
  static const DWORD kStopWaitLimitMs = 30000;
  static const DWORD kStopPollMinMs = 100;

  CWinService();
  virtual ~CWinService();
  CWinService(const CWinService&) = delete;
  CWinService& operator=(const CWinService&) = delete;

  virtual void OnStop() {}
  virtual void OnShutdown() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  // The program body with the rebuilt command line; returns when it ended.
  virtual void Run(int argc, char** argv) {
    (void)argc;
    (void)argv;
  }

  bool IsInstalled();
  bool IsRunning();
  bool IsPaused();
  bool Stop();
  // Stops a running service and waits until it reports STOPPED.
  bool StopService();
  // Writes the parameters first when given. True when the service runs or
  // was already running and its status can be queried.
  bool Start(const char* parameters);
  bool SetParameters(const char* parameters);
  // A non-empty text becomes "Parameters" (REG_SZ with its NUL); null or
  // empty deletes it. Failures are silent.
  void WriteParameters(const char* parameters);
  std::string ReadParameters();
  bool Install(const char* parameters);
  // Switches the account ".\SvcTARVEL" to ".\LocalSystem"; any other account
  // is left as configured.
  bool UpdateAccount();
  // Adds this service's name to (or removes it from) the "DependOnService"
  // lists of its dependents; adding also writes its own depends-on list.
  void SetDependencies(bool add);
  bool Uninstall();
  bool Execute(int action, const char* parameters);
  // Runs the dispatcher with this object as the current service; returns
  // when the service has stopped, or false when the dispatcher cannot start.
  bool StartAs();
  // Reports through the object's own status handle (null until an owner
  // fills it); false without a handle.
  bool SetStatus(DWORD state, DWORD acceptedControls);

  // The dispatcher's entry points and the process-wide status report. The
  // report accepts no control while START_PENDING and STOP|SHUTDOWN
  // otherwise; RUNNING and STOPPED carry check point 0, other states the
  // counter's next value.
  static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
  static void WINAPI ControlHandler(DWORD control);
  static bool ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint);

  // The service whose dispatcher runs in this process, or null.
  static CWinService* GetCurrentService();
  // The record the last report carried (for checks and diagnostics).
  static SERVICE_STATUS GetReportedStatus();

  const char* GetServiceName() const { return m_pServiceName; }
  const char* GetDisplayName() const { return m_pDisplayName; }
  const char* GetDescription() const { return m_pDescription; }
  const char* GetDependsOn() const { return m_pDependsOn; }
  const char* GetDependents() const { return m_pDependents; }
  const SERVICE_FAILURE_ACTIONSA& GetFailureActions() const { return m_failureActions; }

 protected:
  SERVICE_STATUS_HANDLE m_hStatus;
  SERVICE_STATUS m_status;
  const char* m_pServiceName;
  const char* m_pDisplayName;  // may be null: messages then use the service name
  const char* m_pDescription;
  const char* m_pDependsOn;   // service names separated by '|'
  const char* m_pDependents;  // service names separated by '|'
  SERVICE_FAILURE_ACTIONSA m_failureActions;
  // May be null. The service's folder under the common application data:
  // Install creates it when missing, writable by SYSTEM and Administrators
  // only (kTrustedFolderSddl of tvlib/ipc/security_trust.h), and says so.
  const char* m_pDataFolder;

 private:
  // Creates m_pDataFolder when it is set and missing.
  void CreateDataFolder();
  // Logs the not-initialised message when the service name is missing.
  bool HasName();
  const char* MessageName() const;
  std::string KeyPath() const;
  // The current status of the installed service; false when it cannot be
  // opened or queried.
  bool QueryStatus(SERVICE_STATUS_PROCESS& status);
};

// The working directory becomes the program file's directory.
void SetDirectoryOfProgram();

// Replaces the process-wide argument vector by the words of `text`: blanks
// separate words (blanks and tabs after a word are skipped); a double quote
// opens or closes a run in which blanks do not separate, and is dropped.
void BuildServiceArgs(const char* text);
void FreeServiceArgs();
int GetServiceArgCount();
char** GetServiceArgVector();

// A new zero-filled wide copy in the current code page; the caller frees it
// with delete[].
wchar_t* AnsiToWide(const char* text);
// {length in bytes, length + 2, AnsiToWide(text)}; a null text leaves length
// 0 and a null buffer. The caller frees the buffer with delete[].
bool AnsiToUnicodeString(UNICODE_STRING& record, const char* text);

// The system console of the process, when it has one (a service has none).
class CConsole {
 public:
  CConsole();
  ~CConsole() {}
  bool IsValid() const { return m_hStdOut != nullptr && m_hStdOut != INVALID_HANDLE_VALUE; }
  void SetTitle(const char* title);
  void SetCtrlHandler(PHANDLER_ROUTINE handler, bool add);

 private:
  HANDLE m_hStdOut;
};
