// Names and file reads shared by every test: the executable's folder, names
// unique to this process (CTest runs tests in parallel processes that share one
// wineserver, hence one namespace for files and kernel objects).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tvlib/win.h"

namespace testsupport {

// The folder of the running executable, with a trailing backslash. Helpers,
// DLLs and tools are built beside the tests.
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

inline bool PathExists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whole file as bytes; shares everything so that a writer may keep, move or
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

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD put = 0;
  if (!bytes.empty()) ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  ::CloseHandle(h);
}

// Console and log files are text mode: lines end in "\r\n".
inline std::string StripCR(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != '\r') out += c;
  return out;
}

inline std::vector<std::string> SplitLines(const std::string& raw) {
  std::string text = StripCR(raw);
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

inline std::vector<std::string> ReadLines(const std::string& path) { return SplitLines(ReadBytes(path)); }

inline size_t IndexOfLineContaining(const std::vector<std::string>& lines, const std::string& part) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(part) != std::string::npos) return i;
  return std::string::npos;
}

// Sets the modification time of a file or directory to `seconds` since 1970.
// Wine keeps whole seconds: tests order files this way, never by sleeping.
inline bool SetModificationTime(const std::string& path, int32_t seconds) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ULARGE_INTEGER t;
  t.QuadPart = static_cast<uint64_t>(seconds) * 10000000ULL + 116444736000000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = t.LowPart;
  ft.dwHighDateTime = t.HighPart;
  const bool ok = ::SetFileTime(h, nullptr, nullptr, &ft) != FALSE;
  ::CloseHandle(h);
  return ok;
}

// A deterministic byte pattern that no off-by-one shift reproduces.
inline std::string PatternBytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

}  // namespace testsupport
