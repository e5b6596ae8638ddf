// The program body end to end in a child process: start-up, log file, stop on
// a console control event, exit code.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tvlib/win.h"

namespace {

std::string ExeDir() {
  char path[MAX_PATH];
  DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of('\\'));
}

std::string MakeRunDir(const std::string& name) {
  char tmp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, tmp);
  std::string dir =
      std::string(tmp) + "pelorin_spine_" + name + "_" + std::to_string(::GetCurrentProcessId());
  ::CreateDirectoryA(dir.c_str(), nullptr);
  ::DeleteFileA((dir + "\\Pelorin.log").c_str());
  return dir;
}

// Runs helper_spine.exe <mode> in dir; returns its exit code, or -1000 on a hang.
int RunHelper(const std::string& mode, const std::string& dir) {
  std::string cmd = "\"" + ExeDir() + "\\helper_spine.exe\" " + mode;
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi))
    return -2000;
  DWORD wait = ::WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 0;
  if (wait != WAIT_OBJECT_0) {
    ::TerminateProcess(pi.hProcess, 99);
    code = (DWORD)-1000;
  } else {
    ::GetExitCodeProcess(pi.hProcess, &code);
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return (int)code;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

TEST(ProgramSpine, ConsoleStopEndsTheRunWithCodeZeroAndAUtcLog) {
  std::string dir = MakeRunDir("ctrlc");
  ASSERT_EQ(0, RunHelper("ctrl-c", dir));
  auto lines = ReadLines(dir + "\\Pelorin.log");
  ASSERT_FALSE(lines.empty());
  // Every line: UTC stamp with milliseconds, the thread id space-padded to 8.
  std::regex stamp(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z \([ 0-9A-F]{8}\): .*)");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, stamp)) << l;
  EXPECT_TRUE(Contains(lines, "**************** STARTING NEW LOG on "));
  EXPECT_TRUE(Contains(lines, "Starting TARVEL Watermark Extension version 1.0.14"));
}

TEST(ProgramSpine, StopBeforeTheLoopStillRunsTheStopSequence) {
  std::string dir = MakeRunDir("early");
  EXPECT_EQ(0, RunHelper("early", dir));
  EXPECT_TRUE(
      Contains(ReadLines(dir + "\\Pelorin.log"), "Starting TARVEL Watermark Extension version 1.0.14"));
}

TEST(ProgramSpine, ConsoleHandlerReturnsOnlyAfterTheMainThreadFinished) {
  std::string dir = MakeRunDir("wait");
  EXPECT_EQ(0, RunHelper("wait", dir));
}

}  // namespace
