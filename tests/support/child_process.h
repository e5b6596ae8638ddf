// The one way tests start child programs: a program beside the test
// executable (helper_*.cpp in a test folder becomes one), under the same
// wineserver, so named objects and Global\ names are shared with the test.
//
// Every child runs in a job object of its own that kills it on close: when the
// test process ends in any way (its watchdog, CTest's time-out, a crash), the
// system closes the job and the child goes with it, so that nothing of a test
// is left running for the next one to meet.
#pragma once

#include <string>

#include "support/paths.h"
#include "tvlib/win.h"

namespace testsupport {

// Exit code meaning "could not start" or "did not end in time".
constexpr int kChildFailed = -1000;

// A running child; the destructor terminates it if it is still running.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    if (m_process) {
      if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) ::TerminateProcess(m_process, kChildFailed);
      ::CloseHandle(m_process);
    }
    if (m_job) ::CloseHandle(m_job);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts exe (a name beside the test, or a full path) with args; stdout and
  // stderr go to the given files when not empty.
  bool Start(const std::string& exe, const std::string& args, const std::string& outPath = "",
             const std::string& errPath = "", const std::string& workDir = "") {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    auto open = [&](const std::string& p) -> HANDLE {
      if (p.empty()) return INVALID_HANDLE_VALUE;
      return ::CreateFileA(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE out = open(outPath);
    HANDLE err = open(errPath);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = INVALID_HANDLE_VALUE;
    si.hStdOutput = out;
    si.hStdError = err;
    std::string full = exe.find_first_of("\\/:") == std::string::npos ? ExeDir() + exe : exe;
    std::string cmd = "\"" + full + "\" " + args;
    PROCESS_INFORMATION pi = {};
    BOOL ok = ::CreateProcessA(full.c_str(), &cmd[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                               workDir.empty() ? nullptr : workDir.c_str(), &si, &pi);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) ::CloseHandle(err);
    if (!ok) return false;
    m_job = ::CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (m_job == nullptr ||
        !::SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) ||
        !::AssignProcessToJobObject(m_job, pi.hProcess)) {
      ::TerminateProcess(pi.hProcess, static_cast<UINT>(kChildFailed));
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
      return false;
    }
    // The job object is not inherited: only the system's close of this
    // process's handles, or the destructor, ends it.
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    m_pid = pi.dwProcessId;
    return true;
  }

  // The exit code once the child ended, or kChildFailed after timeoutMs (the
  // child is then terminated).
  int Wait(DWORD timeoutMs = 60000) {
    if (!m_process) return kChildFailed;
    DWORD code = static_cast<DWORD>(kChildFailed);
    if (::WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0)
      ::GetExitCodeProcess(m_process, &code);
    else
      ::TerminateProcess(m_process, static_cast<UINT>(kChildFailed));
    return static_cast<int>(code);
  }

  bool IsRunning() const { return m_process && ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
  HANDLE Handle() const { return m_process; }
  DWORD Pid() const { return m_pid; }

 private:
  HANDLE m_process = nullptr;
  HANDLE m_job = nullptr;
  DWORD m_pid = 0;
};

// Runs a child to its end: its exit code, or kChildFailed.
inline int RunChild(const std::string& exe, const std::string& args, const std::string& outPath = "",
                    const std::string& errPath = "", DWORD timeoutMs = 60000) {
  ChildProcess child;
  if (!child.Start(exe, args, outPath, errPath)) return kChildFailed;
  return child.Wait(timeoutMs);
}

}  // namespace testsupport
