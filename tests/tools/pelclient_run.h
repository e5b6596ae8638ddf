// Shared by the tool's tests: one pelclient run with its output, and the
// library pipe server in a helper process.
#pragma once

#include <string>

#include "support/child_process.h"
#include "support/paths.h"
#include "support/poll.h"

struct ToolRun {
  int code;
  std::string out, err;
};

// Files of their own, not a TestTempDir: that would share its folder with
// the calling test's and remove it under the test.
inline ToolRun Pelclient(const std::string& args) {
  const std::string out = testsupport::TempPath("pelclient_out"),
                    err = testsupport::TempPath("pelclient_err");
  ToolRun r;
  r.code = testsupport::RunChild("pelclient.exe", args, out, err);
  r.out = testsupport::StripCR(testsupport::ReadBytes(out));
  r.err = testsupport::StripCR(testsupport::ReadBytes(err));
  ::DeleteFileA(out.c_str());
  ::DeleteFileA(err.c_str());
  return r;
}

// The echo server runs in a process of its own: the tool, a child of the
// test, would inherit an in-process server's pipe handles. mode: "",
// "silent", or "board BOARD BLOCK" (helper_echo_pipe.cpp).
class EchoProcess {
 public:
  explicit EchoProcess(const std::string& mode = std::string()) : m_part3(testsupport::UniqueName("tool")) {
    m_child.Start("helper_echo_pipe.exe",
                  std::to_string(::GetCurrentProcessId()) + " " + m_part3 + " " + mode);
    std::string name = Name();
    WaitUntil([&] { return ::WaitNamedPipeA(name.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND; },
              30000);
  }
  std::string Name() const {
    return "\\\\.\\pipe\\pelorintest\\" + std::to_string(::GetCurrentProcessId()) + "\\" + m_part3;
  }

 private:
  std::string m_part3;
  testsupport::ChildProcess m_child;
};
