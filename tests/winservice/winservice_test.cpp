// pelorin.exe as "TARVEL Watermarking" under Wine's service manager, in a
// prefix of its own (see CMakeLists.txt): install, the stored values, start,
// stop, parameters, restart, a second install, a failed start, uninstall, and
// the dependency lists of the frame. The steps build on each other and run in
// the order written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/paths.h"
#include "support/poll.h"
#include "tvlib/service/win_service.h"
#include "tvlib/win.h"

namespace {

const char kProgram[] = "C:\\pelorin\\pelorin.exe";
const char kServiceName[] = "TARVEL Watermarking";
const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVEL Watermarking";
const char kServiceLog[] = "C:\\svc\\Pelorin.log";
const char kBlankLog[] = "C:\\svc dir\\Pelorin.log";
const DWORD kServiceWaitMs = 60000;

struct Result {
  int code;
  std::string out;  // standard output and standard error
};

Result Pelorin(const std::string& args) {
  std::string out = testsupport::TempPath("svc_out");
  std::string err = out + ".err";
  testsupport::ChildProcess child;
  Result r = {testsupport::kChildFailed, ""};
  if (child.Start(kProgram, args, out, err)) r.code = child.Wait(120000);
  r.out = testsupport::StripCR(testsupport::ReadBytes(out) + testsupport::ReadBytes(err));
  ::DeleteFileA(out.c_str());
  ::DeleteFileA(err.c_str());
  return r;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// State and process id of the service; state 0 when it is not installed.
struct Status {
  DWORD state = 0;
  DWORD pid = 0;
};

Status Query() {
  Status s;
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return s;
  SC_HANDLE service = ::OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (service != nullptr) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                               sizeof(status), &needed)) {
      s.state = status.dwCurrentState;
      s.pid = status.dwProcessId;
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return s;
}

bool WaitForState(DWORD state) {
  return WaitUntil([&] { return Query().state == state; }, kServiceWaitMs, 100);
}

// Changes one item of the service's configuration (null: unchanged).
bool ChangeConfig(const char* binaryPath, const char* account) {
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? ::OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
  bool ok = service && ::ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                              SERVICE_NO_CHANGE, binaryPath, nullptr, nullptr, nullptr,
                                              account, account ? "" : nullptr, nullptr);
  if (service) ::CloseServiceHandle(service);
  if (manager) ::CloseServiceHandle(manager);
  return ok;
}

// A registry value's type and exact bytes; type 0 when it is missing.
struct Value {
  DWORD type = 0;
  std::string bytes;
};

Value ReadValue(const char* keyPath, const char* name) {
  Value v;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
  DWORD size = 0;
  DWORD type = 0;
  if (::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<char> data(size + 1);
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
        ERROR_SUCCESS) {
      v.type = type;
      v.bytes.assign(data.data(), size);
    }
  }
  ::RegCloseKey(key);
  return v;
}

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

DWORD Dword(const Value& v) {
  DWORD d = 0;
  if (v.bytes.size() == sizeof(d)) memcpy(&d, v.bytes.data(), sizeof(d));
  return d;
}

bool KeyExists(const char* keyPath) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

bool LogHas(const char* path, const std::string& part) {
  return testsupport::WaitForLineContaining(path, part, kServiceWaitMs);
}

class WinService : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    // An auto-start service of an earlier run comes back with its server.
    Pelorin("--uninstall-service");
    ::CreateDirectoryA("C:\\svc", nullptr);
    ::CreateDirectoryA("C:\\svc dir", nullptr);
  }
  static void TearDownTestSuite() { Pelorin("--uninstall-service"); }
};

TEST_F(WinService, InstallStoresTheServiceAndStartsIt) {
  Result r = Pelorin(std::string("--install-service -vv -l ") + kServiceLog);
  EXPECT_EQ(1, r.code) << r.out;
  EXPECT_TRUE(Has(r.out, "Tarvel Watermark Service Operation Successful")) << r.out;

  EXPECT_EQ(Sz("TARVEL Watermarking Extension"), ReadValue(kServiceKey, "DisplayName").bytes);
  EXPECT_EQ(Sz("TARVEL Watermarking Extension service."), ReadValue(kServiceKey, "Description").bytes);
  std::string image = ReadValue(kServiceKey, "ImagePath").bytes;
  EXPECT_EQ(Sz("\"C:\\pelorin\\pelorin.exe\" --service"), image);
  EXPECT_EQ(2u, Dword(ReadValue(kServiceKey, "Start")));
  EXPECT_EQ(0x10u, Dword(ReadValue(kServiceKey, "Type")));
  EXPECT_EQ(1u, Dword(ReadValue(kServiceKey, "ErrorControl")));
  EXPECT_EQ(Sz("LocalSystem"), ReadValue(kServiceKey, "ObjectName").bytes);
  Value parameters = ReadValue(kServiceKey, "Parameters");
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), parameters.type);
  EXPECT_EQ(Sz("-vv -l C:\\svc\\Pelorin.log "), parameters.bytes);

  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  EXPECT_TRUE(LogHas(kServiceLog, "Starting TARVEL Watermark Extension version 1.0.14"));
  // -vv reached the service: a level-6 line of its start-up.
  EXPECT_TRUE(LogHas(kServiceLog, "Starting Watermark Server..."));
}

TEST_F(WinService, AConsoleStartBesideTheServiceFindsAnotherInstance) {
  ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().state);
  Result r = Pelorin("-v -p n");
  EXPECT_EQ(0, r.code) << r.out;
  EXPECT_TRUE(Has(r.out, "*** An Other Pelorin instance is running ***")) << r.out;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().state);
}

TEST_F(WinService, StopAndParametersOfAStoppedService) {
  Result stop = Pelorin("--stop-service");
  EXPECT_EQ(1, stop.code) << stop.out;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().state);
  EXPECT_TRUE(LogHas(kServiceLog, "Watermark Server stopped..."));

  Result set = Pelorin("--set-parameters-service -vvv");
  EXPECT_EQ(1, set.code) << set.out;
  EXPECT_EQ(Sz("-vvv "), ReadValue(kServiceKey, "Parameters").bytes);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().state);

  Result setEmpty = Pelorin("--set-parameters-service");
  EXPECT_EQ(1, setEmpty.code) << setEmpty.out;
  EXPECT_EQ(0u, ReadValue(kServiceKey, "Parameters").type);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().state);
}

TEST_F(WinService, StartRestartAndParametersOfARunningService) {
  Pelorin(std::string("--set-parameters-service -vv -l ") + kServiceLog);
  Result start = Pelorin("--start-service");
  EXPECT_EQ(1, start.code) << start.out;
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  DWORD first = Query().pid;

  Result restart = Pelorin("--restart-service");
  EXPECT_EQ(1, restart.code) << restart.out;
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  DWORD second = Query().pid;
  EXPECT_NE(first, second);

  Result set = Pelorin(std::string("--set-parameters-service -v -l ") + kServiceLog);
  EXPECT_EQ(1, set.code) << set.out;
  EXPECT_EQ(Sz("-v -l C:\\svc\\Pelorin.log "), ReadValue(kServiceKey, "Parameters").bytes);
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  EXPECT_NE(second, Query().pid);
}

TEST_F(WinService, InstallingAgainChangesNothingButTheOldAccount) {
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  DWORD pid = Query().pid;
  std::string parameters = ReadValue(kServiceKey, "Parameters").bytes;
  Result again = Pelorin("--install-service -vvvvv");
  EXPECT_EQ(1, again.code) << again.out;
  EXPECT_TRUE(Has(again.out, "Install Service \"TARVEL Watermarking Extension\" Failed : Already installed!"))
      << again.out;
  EXPECT_EQ(parameters, ReadValue(kServiceKey, "Parameters").bytes);
  EXPECT_EQ(pid, Query().pid);
  EXPECT_EQ(Sz("LocalSystem"), ReadValue(kServiceKey, "ObjectName").bytes);

  ASSERT_TRUE(ChangeConfig(nullptr, ".\\SvcTARVEL"));
  Result update = Pelorin("--install-service");
  EXPECT_EQ(1, update.code) << update.out;
  EXPECT_EQ(Sz(".\\LocalSystem"), ReadValue(kServiceKey, "ObjectName").bytes);
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
}

TEST_F(WinService, ALogPathWithABlankReachesTheServiceWhole) {
  Result set = Pelorin(std::string("--set-parameters-service -vv -l \"") + kBlankLog + "\"");
  EXPECT_EQ(1, set.code) << set.out;
  EXPECT_EQ(Sz("-vv -l \"C:\\svc dir\\Pelorin.log\" "), ReadValue(kServiceKey, "Parameters").bytes);
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  EXPECT_TRUE(LogHas(kBlankLog, "Starting TARVEL Watermark Extension version 1.0.14"));
}

TEST_F(WinService, AStartThatFailsIsReportedAsAFailure) {
  ASSERT_EQ(1, Pelorin("--stop-service").code);
  ASSERT_TRUE(ChangeConfig("\"C:\\pelorin\\missing.exe\" --service", nullptr));
  Result start = Pelorin("--start-service");
  EXPECT_EQ(-1, start.code) << start.out;
  EXPECT_TRUE(Has(start.out, "*** FAILED Tarvel Watermark Service Operation Failed")) << start.out;
  EXPECT_FALSE(Has(start.out, "Operation Successful")) << start.out;
  ASSERT_TRUE(ChangeConfig("\"C:\\pelorin\\pelorin.exe\" --service", nullptr));
}

TEST_F(WinService, UninstallRemovesTheServiceForGood) {
  Result r = Pelorin("--uninstall-service");
  EXPECT_EQ(1, r.code) << r.out;
  EXPECT_FALSE(KeyExists(kServiceKey));
  EXPECT_EQ(0u, Query().state);

  Result start = Pelorin("--start-service");
  EXPECT_EQ(-1, start.code) << start.out;
  Result direct = Pelorin("--service");
  EXPECT_EQ(-1, direct.code) << direct.out;
  EXPECT_TRUE(Has(direct.out, "(Err 00000427)")) << direct.out;
}

// The frame's dependency lists, on made-up services whose keys the test
// writes itself.
class DependencyFrame : public CWinService {
 public:
  DependencyFrame() {
    m_pServiceName = "PelorinFrameTest";
    m_pDependsOn = "PelorinBase1|PelorinBase2";
    m_pDependents = "PelorinDependentA|PelorinDependentB|PelorinMissing";
  }
};

const char kServices[] = "SYSTEM\\CurrentControlSet\\Services\\";

void WriteMulti(const std::string& service, const std::string& bytes) {
  HKEY key = nullptr;
  ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kServices + service).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
  if (!bytes.empty())
    ::RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                     static_cast<DWORD>(bytes.size()));
  ::RegCloseKey(key);
}

std::string DependOn(const std::string& service) {
  return ReadValue((kServices + service).c_str(), "DependOnService").bytes;
}

TEST_F(WinService, DependenciesAreAddedOnceAndRemovedAgain) {
  using namespace std::string_literals;
  WriteMulti("PelorinFrameTest", "");
  WriteMulti("PelorinDependentA", "Other\0\0"s);
  WriteMulti("PelorinDependentB", "");
  DependencyFrame frame;

  frame.SetDependencies(true);
  EXPECT_EQ("Other\0PelorinFrameTest\0\0"s, DependOn("PelorinDependentA"));
  EXPECT_EQ("", DependOn("PelorinDependentB"));  // no list to add to
  EXPECT_EQ("PelorinBase1\0PelorinBase2\0\0"s, DependOn("PelorinFrameTest"));
  frame.SetDependencies(true);
  EXPECT_EQ("Other\0PelorinFrameTest\0\0"s, DependOn("PelorinDependentA"));

  frame.SetDependencies(false);
  EXPECT_EQ("Other\0\0"s, DependOn("PelorinDependentA"));
  WriteMulti("PelorinDependentA", "PelorinFrameTest\0PelorinFrameTest\0\0"s);
  frame.SetDependencies(false);
  EXPECT_EQ(0u, ReadValue((kServices + "PelorinDependentA"s).c_str(), "DependOnService").type);

  for (const char* name : {"PelorinFrameTest", "PelorinDependentA", "PelorinDependentB"})
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kServices + std::string(name)).c_str());
}

}  // namespace
