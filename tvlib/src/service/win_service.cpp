#include "tvlib/service/win_service.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tvlib/files/files.h"
#include "tvlib/ipc/security_trust.h"
#include "tvlib/log/log.h"
#include "tvlib/strings/strings.h"
#include "tvlib/strings/tokenizer.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char kParametersValue[] = "Parameters";
const char kDependOnValue[] = "DependOnService";
const char kSwitchedAccount[] = ".\\SvcTARVEL";
const char kLocalSystemAccount[] = ".\\LocalSystem";
const DWORD kAcceptStopShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
const DWORD kDependOnBufferBytes = 1024;

// Process-wide state of the frame (see the header for who writes it).
CWinService* volatile g_currentService = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
volatile LONG g_checkPoint = 1;
int g_argc = 0;
char** g_argv = nullptr;

class ScopedServiceHandle {
 public:
  explicit ScopedServiceHandle(SC_HANDLE h) : m_handle(h) {}
  ~ScopedServiceHandle() {
    if (m_handle != nullptr) {
      DWORD saved = ::GetLastError();
      ::CloseServiceHandle(m_handle);
      ::SetLastError(saved);
    }
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;
  SC_HANDLE Get() const { return m_handle; }
  bool IsValid() const { return m_handle != nullptr; }

 private:
  SC_HANDLE m_handle;
};

class ScopedKey {
 public:
  ScopedKey(HKEY parent, const char* path, REGSAM access) : m_key(nullptr) {
    if (::RegOpenKeyExA(parent, path, 0, access, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~ScopedKey() {
    if (m_key != nullptr) ::RegCloseKey(m_key);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY Get() const { return m_key; }
  bool IsValid() const { return m_key != nullptr; }

 private:
  HKEY m_key;
};

SC_HANDLE OpenManager() { return ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

std::vector<std::string> SplitNames(const char* list) {
  std::vector<std::string> names;
  if (list == nullptr) return names;
  CStringTokenizer tokens(list, "|", 4);
  while (tokens.HasMoreTokens()) names.push_back(tokens.GetNextToken());
  return names;
}

// The names of a REG_MULTI_SZ value, looking only at the bytes that were read.
std::vector<std::string> SplitMultiString(const char* bytes, DWORD size) {
  std::vector<std::string> names;
  std::string current;
  for (DWORD i = 0; i < size; ++i) {
    if (bytes[i] != '\0') {
      current += bytes[i];
    } else if (!current.empty()) {
      names.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) names.push_back(current);
  return names;
}

std::string JoinMultiString(const std::vector<std::string>& names) {
  std::string value;
  for (const std::string& name : names) {
    value += name;
    value += '\0';
  }
  value += '\0';
  return value;
}

void WriteMultiString(HKEY key, const char* name, const std::vector<std::string>& names) {
  std::string value = JoinMultiString(names);
  ::RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                   static_cast<DWORD>(value.size()));
}

}  // namespace

// ---------------------------------------------------------------- CWinService

CWinService::CWinService()
    : m_hStatus(nullptr),
      m_status(),
      m_pServiceName(nullptr),
      m_pDisplayName(nullptr),
      m_pDescription(nullptr),
      m_pDependsOn(nullptr),
      m_pDependents(nullptr),
      m_failureActions(),
      m_pDataFolder(nullptr) {}

CWinService::~CWinService() {}

bool CWinService::HasName() {
  if (m_pServiceName != nullptr) return true;
  LogLevel5("Install Service service not initialize!");
  return false;
}

const char* CWinService::MessageName() const { return m_pDisplayName ? m_pDisplayName : m_pServiceName; }

std::string CWinService::KeyPath() const { return std::string(kServicesKey) + "\\" + m_pServiceName; }

bool CWinService::QueryStatus(SERVICE_STATUS_PROCESS& status) {
  ScopedServiceHandle manager(OpenManager());
  if (!manager.IsValid()) return false;
  ScopedServiceHandle service(::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS));
  if (!service.IsValid()) return false;
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed) != FALSE;
}

bool CWinService::IsInstalled() {
  if (!HasName()) return false;
  ScopedServiceHandle manager(OpenManager());
  if (!manager.IsValid()) return false;
  ScopedServiceHandle service(::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS));
  return service.IsValid();
}

bool CWinService::IsRunning() {
  if (!HasName()) return false;
  SERVICE_STATUS_PROCESS status = {};
  return QueryStatus(status) && status.dwCurrentState == SERVICE_RUNNING;
}

bool CWinService::IsPaused() {
  if (!HasName()) return false;
  SERVICE_STATUS_PROCESS status = {};
  return QueryStatus(status) &&
         (status.dwCurrentState == SERVICE_PAUSE_PENDING || status.dwCurrentState == SERVICE_PAUSED);
}

bool CWinService::Stop() {
  if (!HasName()) return false;
  if (!IsInstalled()) {
    LogLevel5("Stop Service \"%s\" Failed : service not installed!", MessageName());
    return false;
  }
  return StopService();
}

bool CWinService::StopService() {
  if (!HasName()) return false;
  ScopedServiceHandle manager(OpenManager());
  if (!manager.IsValid()) return false;
  ScopedServiceHandle service(::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS));
  if (!service.IsValid()) return false;

  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
    LogLevel5("Stop Service \"%s\" Failed : service not stopped!", MessageName());
    return false;
  }
  if (status.dwCurrentState != SERVICE_RUNNING) return true;

  SERVICE_STATUS last = {};
  if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &last)) return false;
  // The frame reports STOP_PENDING with a wait hint of 0: poll at a minimum
  // pace, and give up on a service that never stops.
  ULONGLONG deadline = ::GetTickCount64() + kStopWaitLimitMs;
  for (;;) {
    if (last.dwCurrentState == SERVICE_STOPPED) return true;
    ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    DWORD pause = last.dwWaitHint > kStopPollMinMs ? last.dwWaitHint : kStopPollMinMs;
    if (pause > deadline - now) pause = static_cast<DWORD>(deadline - now);
    ::Sleep(pause);
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed))
      return false;
    last.dwCurrentState = status.dwCurrentState;
    last.dwWaitHint = status.dwWaitHint;
  }
}

bool CWinService::Start(const char* parameters) {
  if (!IsInstalled()) return false;
  if (parameters != nullptr) WriteParameters(parameters);
  ScopedServiceHandle manager(OpenManager());
  if (!manager.IsValid()) return false;
  ScopedServiceHandle service(::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS));
  if (!service.IsValid()) return false;
  // The status of a service whose start failed can still be queried: only a
  // start that worked, or found it running, is a success.
  BOOL started = ::StartServiceA(service.Get(), 0, nullptr);
  DWORD error = started ? ERROR_SUCCESS : ::GetLastError();
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  bool queried = ::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != FALSE;
  if (!started && error != ERROR_SERVICE_ALREADY_RUNNING) {
    ::SetLastError(error);
    return false;
  }
  return queried;
}

bool CWinService::SetParameters(const char* parameters) {
  if (!HasName()) return false;
  if (!IsInstalled()) {
    LogLevel5("Install Service \"%s\" Failed : not installed!", MessageName());
    return false;
  }
  WriteParameters(parameters);
  return true;
}

void CWinService::WriteParameters(const char* parameters) {
  if (!HasName()) return;
  ScopedKey key(HKEY_LOCAL_MACHINE, KeyPath().c_str(), KEY_SET_VALUE);
  if (!key.IsValid()) return;
  if (parameters != nullptr && parameters[0] != '\0')
    ::RegSetValueExA(key.Get(), kParametersValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(parameters),
                     static_cast<DWORD>(strlen(parameters) + 1));
  else
    ::RegDeleteValueA(key.Get(), kParametersValue);
}

std::string CWinService::ReadParameters() {
  if (!HasName()) return std::string();
  ScopedKey key(HKEY_LOCAL_MACHINE, KeyPath().c_str(), KEY_QUERY_VALUE);
  if (!key.IsValid()) return std::string();
  DWORD size = 0;
  if (::RegQueryValueExA(key.Get(), kParametersValue, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return std::string();
  // The stored value need not end with its NUL.
  std::vector<char> bytes(size + 1, '\0');
  if (::RegQueryValueExA(key.Get(), kParametersValue, nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()),
                         &size) != ERROR_SUCCESS)
    return std::string();
  return StringFromBuffer(bytes.data(), size);
}

void CWinService::CreateDataFolder() {
  if (m_pDataFolder == nullptr) return;
  std::string base = GetCommonAppDataPath();
  if (base.empty()) return;
  std::string path = base + "\\" + m_pDataFolder;
  if (FileExists(path)) return;
  // Made here, by an administrator, before the service can look for files in
  // it: a folder that an ordinary account made first would be that
  // account's, and the service would refuse what it holds.
  if (CreateTrustedDirectory(path))
    LogPrint("Created %s, writable by SYSTEM and Administrators only\n", path.c_str());
  else
    LogSystemError(0, "Can not create %s", path.c_str());
}

bool CWinService::Install(const char* parameters) {
  if (!HasName()) return false;
  CreateDataFolder();
  if (IsInstalled()) {
    LogLevel5("Install Service \"%s\" Failed : Already installed!", MessageName());
    return UpdateAccount();
  }
  char program[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string image = std::string("\"") + program + "\" --service";

  {
    ScopedServiceHandle manager(OpenManager());
    if (!manager.IsValid()) {
      LogLevel5("Install Service \"%s\" Failed : can not create service!", MessageName());
      return false;
    }
    ScopedServiceHandle service(::CreateServiceA(manager.Get(), m_pServiceName, m_pDisplayName,
                                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                 SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                                 nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.IsValid()) {
      LogLevel5("Install Service \"%s\" Failed : can not create service!", MessageName());
      return false;
    }
    ::ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &m_failureActions);
    if (m_pDescription != nullptr) {
      SERVICE_DESCRIPTIONA description = {const_cast<char*>(m_pDescription)};
      ::ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description);
    }
  }
  SetDependencies(true);
  if (parameters != nullptr) WriteParameters(parameters);
  return Start(nullptr);
}

bool CWinService::UpdateAccount() {
  if (!HasName()) return false;
  bool switchAccount = false;
  {
    ScopedServiceHandle manager(OpenManager());
    ScopedServiceHandle service(
        manager.IsValid() ? ::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS) : nullptr);
    DWORD needed = 0;
    if (!service.IsValid() || (!::QueryServiceConfigA(service.Get(), nullptr, 0, &needed) &&
                               ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)) {
      LogSystemError(0, "Failed to update '%s'", m_pServiceName);
      return false;
    }
    QUERY_SERVICE_CONFIGA* config = static_cast<QUERY_SERVICE_CONFIGA*>(::LocalAlloc(LPTR, needed));
    if (config == nullptr || !::QueryServiceConfigA(service.Get(), config, needed, &needed)) {
      LogSystemError(0, "Failed to update '%s'", m_pServiceName);
      if (config != nullptr) ::LocalFree(config);
      return false;
    }
    // Only the account that older installations used is switched; one that an
    // operator chose stays, so that a repeated install changes nothing.
    const char* account = config->lpServiceStartName;
    switchAccount = account != nullptr && StringEquals(account, kSwitchedAccount, false);
    ::LocalFree(config);
  }
  if (!switchAccount) return true;

  bool wasRunning = IsRunning();
  if (wasRunning && !Stop()) {
    LogSystemError(0, "Failed to update '%s'", m_pServiceName);
    return false;
  }
  bool result = false;
  {
    ScopedServiceHandle manager(OpenManager());
    ScopedServiceHandle service(
        manager.IsValid() ? ::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS) : nullptr);
    if (service.IsValid() &&
        ::ChangeServiceConfigA(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                               nullptr, nullptr, nullptr, "", kLocalSystemAccount, "", nullptr)) {
      LogLevel3("'%s' successfully updated", m_pServiceName);
      result = true;
    } else {
      LogSystemError(0, "Failed to update '%s'", m_pServiceName);
    }
  }
  if (wasRunning) Start(nullptr);
  return result;
}

void CWinService::SetDependencies(bool add) {
  if (!HasName()) return;
  ScopedKey services(HKEY_LOCAL_MACHINE, kServicesKey, KEY_ALL_ACCESS);
  if (!services.IsValid()) return;

  for (const std::string& dependent : SplitNames(m_pDependents)) {
    ScopedKey key(services.Get(), dependent.c_str(), KEY_ALL_ACCESS);
    if (!key.IsValid()) continue;
    char bytes[kDependOnBufferBytes];
    DWORD size = sizeof(bytes);
    if (::RegQueryValueExA(key.Get(), kDependOnValue, nullptr, nullptr, reinterpret_cast<BYTE*>(bytes),
                           &size) != ERROR_SUCCESS)
      continue;
    std::vector<std::string> names = SplitMultiString(bytes, size);
    if (add) {
      bool present = false;
      for (const std::string& name : names) present = present || name == m_pServiceName;
      if (!present) names.push_back(m_pServiceName);
    } else {
      std::vector<std::string> kept;
      for (const std::string& name : names)
        if (name != m_pServiceName) kept.push_back(name);
      names.swap(kept);
    }
    if (!add && names.empty())
      ::RegDeleteValueA(key.Get(), kDependOnValue);
    else
      WriteMultiString(key.Get(), kDependOnValue, names);
  }

  if (add && m_pDependsOn != nullptr) {
    ScopedKey own(services.Get(), m_pServiceName, KEY_ALL_ACCESS);
    if (own.IsValid()) WriteMultiString(own.Get(), kDependOnValue, SplitNames(m_pDependsOn));
  }
}

bool CWinService::Uninstall() {
  if (!HasName()) return false;
  if (!IsInstalled()) {
    LogLevel5("Uninstall Service \"%s\" Failed : service not installed!", MessageName());
    return false;
  }
  if (!Stop()) return false;
  SetDependencies(false);
  ScopedServiceHandle manager(OpenManager());
  ScopedServiceHandle service(
      manager.IsValid() ? ::OpenServiceA(manager.Get(), m_pServiceName, SERVICE_ALL_ACCESS) : nullptr);
  if (!service.IsValid() || !::DeleteService(service.Get())) {
    LogLevel5("Uninstall Service \"%s\" Failed : can not delete service!", MessageName());
    return false;
  }
  return true;
}

bool CWinService::Execute(int action, const char* parameters) {
  switch (action) {
    case eINSTALL: return Install(parameters);
    case eUNINSTALL: Stop(); return Uninstall();
    case eSTART: return Start(nullptr);
    case eRESTART: Stop(); return Start(nullptr);
    case eRUN_AS_SERVICE: return HasName() && StartAs();
    case eSTOP: return Stop();
    case eSET_PARAMETERS: {
      if (!IsRunning()) return SetParameters(parameters);
      Stop();
      bool result = SetParameters(parameters);
      Start(nullptr);
      return result;
    }
    default: return true;
  }
}

bool CWinService::StartAs() {
  if (!HasName()) return false;
  g_currentService = this;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), &CWinService::ServiceMain}, {nullptr, nullptr}};
  BOOL ok = ::StartServiceCtrlDispatcherA(table);
  DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  g_currentService = nullptr;
  if (!ok) {
    LogSystemError(error, "CWinService::StartAs failed");
    // The caller reports the failure with the same code.
    ::SetLastError(error);
    return false;
  }
  return true;
}

bool CWinService::SetStatus(DWORD state, DWORD acceptedControls) {
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = state;
  m_status.dwControlsAccepted = acceptedControls;
  m_status.dwWin32ExitCode = 0;
  m_status.dwServiceSpecificExitCode = 0;
  m_status.dwCheckPoint = 0;
  m_status.dwWaitHint = 100;
  if (m_hStatus == nullptr) return false;
  return ::SetServiceStatus(m_hStatus, &m_status) != FALSE;
}

CWinService* CWinService::GetCurrentService() { return g_currentService; }

SERVICE_STATUS CWinService::GetReportedStatus() { return g_status; }

bool CWinService::ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwServiceSpecificExitCode = 0;
  g_status.dwWaitHint = waitHint;
  g_status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptStopShutdown;
  if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
    g_status.dwCheckPoint = 0;
  else
    g_status.dwCheckPoint = static_cast<DWORD>(::InterlockedIncrement(&g_checkPoint) - 1);
  return ::SetServiceStatus(g_statusHandle, &g_status) != FALSE;
}

void WINAPI CWinService::ControlHandler(DWORD control) {
  CWinService* service = g_currentService;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ReportStatus(SERVICE_STOP_PENDING, 0, 0);
      if (service != nullptr) service->OnStop();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      ReportStatus(SERVICE_STOP_PENDING, 0, 0);
      if (service != nullptr) service->OnShutdown();
      break;
    case SERVICE_CONTROL_PAUSE:
      if (service != nullptr) service->OnPause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      if (service != nullptr) service->OnContinue();
      break;
    default: ReportStatus(g_status.dwCurrentState, 0, 0); break;
  }
}

void WINAPI CWinService::ServiceMain(DWORD argc, LPSTR* argv) {
  memset(&g_status, 0, sizeof(g_status));
  g_statusHandle = ::RegisterServiceCtrlHandlerA(argc > 0 ? argv[0] : "", &CWinService::ControlHandler);
  if (g_statusHandle == nullptr) return;
  ReportStatus(SERVICE_START_PENDING, 0, 3000);

  SetDirectoryOfProgram();
  std::string commandLine;
  for (DWORD i = 0; i < argc; ++i) commandLine += std::string(argv[i]) + " ";
  CWinService* service = g_currentService;
  if (service != nullptr) commandLine += service->ReadParameters();
  if (StringLastChar(commandLine) != ' ') commandLine += ' ';
  BuildServiceArgs(commandLine.c_str());

  ReportStatus(SERVICE_RUNNING, 0, 0);
  if (service != nullptr) service->Run(g_argc, g_argv);
  ReportStatus(SERVICE_STOPPED, 0, 0);
  FreeServiceArgs();
}

// ---------------------------------------------------------------- free functions

void SetDirectoryOfProgram() {
  char program[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  char* last = strrchr(program, '\\');
  if (last == nullptr) return;
  *last = '\0';
  ::SetCurrentDirectoryA(program);
}

void BuildServiceArgs(const char* text) {
  FreeServiceArgs();
  std::string rest = text ? text : "";
  StringTrim(rest, " \t");
  rest += ' ';

  // Blanks end a word, except inside a double-quoted run; the quotes are
  // dropped. Text without quotes splits exactly at its blanks.
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (c == ' ' && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      while (i + 1 < rest.size() && (rest[i + 1] == ' ' || rest[i + 1] == '\t')) ++i;
    } else {
      word += c;
      inWord = true;
    }
  }
  // An unclosed quote runs to the end of the text, without the blank added above.
  if (inWord) {
    if (!word.empty() && word.back() == ' ') word.pop_back();
    words.push_back(word);
  }

  g_argc = static_cast<int>(words.size());
  g_argv = new char*[words.size() + 1];
  for (size_t i = 0; i < words.size(); ++i) {
    g_argv[i] = new char[words[i].size() + 1];
    memcpy(g_argv[i], words[i].c_str(), words[i].size() + 1);
  }
  g_argv[words.size()] = nullptr;
}

void FreeServiceArgs() {
  if (g_argv != nullptr) {
    for (int i = 0; i < g_argc; ++i) delete[] g_argv[i];
    delete[] g_argv;
  }
  g_argc = 0;
  g_argv = nullptr;
}

int GetServiceArgCount() { return g_argc; }

char** GetServiceArgVector() { return g_argv; }

wchar_t* AnsiToWide(const char* text) {
  size_t length = text ? strlen(text) : 0;
  wchar_t* wide = new wchar_t[length + 1]();
  if (length > 0) mbstowcs(wide, text, length);
  return wide;
}

bool AnsiToUnicodeString(UNICODE_STRING& record, const char* text) {
  record.Length = 0;
  record.MaximumLength = 2;
  record.Buffer = nullptr;
  if (text == nullptr) return true;
  record.Buffer = AnsiToWide(text);
  record.Length = static_cast<USHORT>(wcslen(record.Buffer) * sizeof(wchar_t));
  record.MaximumLength = static_cast<USHORT>(record.Length + 2);
  return true;
}

// ---------------------------------------------------------------- CConsole

CConsole::CConsole() : m_hStdOut(::GetStdHandle(STD_OUTPUT_HANDLE)) {}

void CConsole::SetTitle(const char* title) {
  if (IsValid()) ::SetConsoleTitleA(title);
}

void CConsole::SetCtrlHandler(PHANDLER_ROUTINE handler, bool add) {
  if (IsValid()) ::SetConsoleCtrlHandler(handler, add ? TRUE : FALSE);
}
