// Small helpers shared by the thread and logger tests: unique temp names,
// reading files written by another thread or process, child processes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tvlib/win.h"

namespace testsupport {

inline std::string ExeDir() {
  char buf[MAX_PATH];
  DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
  std::string path(buf, n);
  return path.substr(0, path.find_last_of("\\/") + 1);
}

// A name unique to this process and call, for files and named objects.
inline std::string UniqueName(const std::string& stem) {
  static volatile LONG counter = 0;
  return stem + "_" + std::to_string(::GetCurrentProcessId()) + "_" +
         std::to_string(::InterlockedIncrement(&counter)) + "_" + std::to_string(::GetTickCount64() % 100000);
}

inline std::string TempPath(const std::string& stem) {
  char dir[MAX_PATH];
  DWORD n = ::GetTempPathA(MAX_PATH, dir);
  return std::string(dir, n) + UniqueName(stem);
}

inline bool FileExists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whole file as bytes; shares everything so that the writer may keep, move or
// truncate it meanwhile. "" when missing.
inline std::string ReadBytes(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  std::string data;
  char buf[65536];
  DWORD got = 0;
  while (::ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0) data.append(buf, got);
  ::CloseHandle(h);
  return data;
}

inline std::string StripCR(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != '\r') out += c;
  return out;
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::string text = StripCR(ReadBytes(path));
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Polls until some line satisfies pred (the writer is asynchronous).
inline bool WaitForLine(const std::string& path, const std::function<bool(const std::string&)>& pred,
                        DWORD timeoutMs = 5000) {
  ULONGLONG end = ::GetTickCount64() + timeoutMs;
  for (;;) {
    for (const std::string& line : ReadLines(path))
      if (pred(line)) return true;
    if (::GetTickCount64() > end) return false;
    ::Sleep(20);
  }
}

inline bool WaitForLineContaining(const std::string& path, const std::string& part, DWORD timeoutMs = 5000) {
  return WaitForLine(
      path, [&](const std::string& l) { return l.find(part) != std::string::npos; }, timeoutMs);
}

inline size_t IndexOfLineContaining(const std::vector<std::string>& lines, const std::string& part) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(part) != std::string::npos) return i;
  return std::string::npos;
}

// Runs exe (a file beside the test) with args; stdout/stderr go to the given
// files when not empty. Returns the exit code, or -1000 when it could not run
// or did not end in time.
inline int RunChild(const std::string& exe, const std::string& args, const std::string& outPath = "",
                    const std::string& errPath = "", DWORD timeoutMs = 60000) {
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
  std::string full = ExeDir() + exe;
  std::string cmd = "\"" + full + "\" " + args;
  PROCESS_INFORMATION pi = {};
  BOOL ok = ::CreateProcessA(full.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  if (err != INVALID_HANDLE_VALUE) ::CloseHandle(err);
  if (!ok) return -1000;
  DWORD code = static_cast<DWORD>(-1000);
  if (::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(pi.hProcess, &code);
  else
    ::TerminateProcess(pi.hProcess, static_cast<UINT>(-1000));
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

}  // namespace testsupport
