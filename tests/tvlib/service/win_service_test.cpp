// The service frame's rules that need no service manager: the argument vector
// rebuilt from the stored command line, the status records it reports, and
// operations on a frame without a name. Installing and running a real service
// is the service test's job, in a Wine prefix of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "tvlib/files/files.h"
#include "tvlib/service/win_service.h"

namespace {

std::vector<std::string> Args(const char* text) {
  BuildServiceArgs(text);
  std::vector<std::string> args;
  for (int i = 0; i < GetServiceArgCount(); ++i) args.push_back(GetServiceArgVector()[i]);
  FreeServiceArgs();
  return args;
}

using Words = std::vector<std::string>;

TEST(ServiceArgs, SplitAtBlanksWithQuotedRunsKeptWhole) {
  struct Case {
    const char* text;
    Words words;
  } cases[] = {
      {"TARVEL Watermarking -vv -l D:\\x.log ", {"TARVEL", "Watermarking", "-vv", "-l", "D:\\x.log"}},
      {" \t -v   -l\tx \t ", {"-v", "-l\tx"}},
      {"", {}},
      {" \t ", {}},
      {"a", {"a"}},
      {"-l \"C:\\svc dir\\Pelorin.log\" -vv", {"-l", "C:\\svc dir\\Pelorin.log", "-vv"}},
      {"x\"a b\"y z", {"xa by", "z"}},
      {"\"\" next", {"", "next"}},
      {"-l \"C:\\open end ", {"-l", "C:\\open end"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.words, Args(c.text)) << c.text;
  EXPECT_EQ(0, GetServiceArgCount());
  EXPECT_EQ(nullptr, GetServiceArgVector());
}

TEST(ServiceStatus, ReportsFollowTheControlAndCheckPointRules) {
  // No dispatcher runs here, so SetServiceStatus fails; the record is what
  // the service manager would get.
  CWinService::ReportStatus(SERVICE_START_PENDING, 0, 3000);
  SERVICE_STATUS starting = CWinService::GetReportedStatus();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), starting.dwServiceType);
  EXPECT_EQ(0u, starting.dwControlsAccepted);
  EXPECT_EQ(3000u, starting.dwWaitHint);
  EXPECT_NE(0u, starting.dwCheckPoint);

  CWinService::ReportStatus(SERVICE_RUNNING, 0, 0);
  SERVICE_STATUS running = CWinService::GetReportedStatus();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), running.dwControlsAccepted);
  EXPECT_EQ(0u, running.dwCheckPoint);

  CWinService::ControlHandler(SERVICE_CONTROL_STOP);
  SERVICE_STATUS stopping = CWinService::GetReportedStatus();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), stopping.dwCurrentState);
  EXPECT_EQ(starting.dwCheckPoint + 1, stopping.dwCheckPoint);
  CWinService::ControlHandler(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(stopping.dwCheckPoint + 1, CWinService::GetReportedStatus().dwCheckPoint);

  CWinService::ReportStatus(SERVICE_STOPPED, ERROR_TIMEOUT, 0);
  SERVICE_STATUS stopped = CWinService::GetReportedStatus();
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), stopped.dwWin32ExitCode);
  EXPECT_EQ(0u, stopped.dwCheckPoint);
}

TEST(ServiceFrame, WithoutANameEveryOperationRefusesAndSaysSo) {
  LogCapture log;
  CWinService frame;
  EXPECT_FALSE(frame.IsInstalled());
  EXPECT_FALSE(frame.Install("-v "));
  EXPECT_FALSE(frame.Execute(CWinService::eRUN_AS_SERVICE, nullptr));
  EXPECT_TRUE(frame.Execute(99, nullptr));
  EXPECT_EQ("", frame.ReadParameters());
  EXPECT_FALSE(frame.SetStatus(SERVICE_RUNNING, 5));
  EXPECT_TRUE(log.Has("Install Service service not initialize!"));
}

TEST(ServiceFrame, ProgramDirectoryAndWideTexts) {
  std::string before = GetCurrentDir();
  SetDirectoryOfProgram();
  std::string exe = GetExecutablePath();
  EXPECT_EQ(exe.substr(0, exe.find_last_of('\\')), GetCurrentDir());
  ::SetCurrentDirectoryA(before.c_str());

  UNICODE_STRING record;
  EXPECT_TRUE(AnsiToUnicodeString(record, "TARVEL"));
  EXPECT_EQ(12, record.Length);
  EXPECT_EQ(14, record.MaximumLength);
  EXPECT_EQ(std::wstring(L"TARVEL"), record.Buffer);
  delete[] record.Buffer;
  EXPECT_TRUE(AnsiToUnicodeString(record, nullptr));
  EXPECT_EQ(0, record.Length);
  EXPECT_EQ(nullptr, record.Buffer);
}

}  // namespace
