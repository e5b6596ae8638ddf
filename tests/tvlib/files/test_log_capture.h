// Sends the global logger's output to a private file for the life of the
// object, so that a test can check the messages a function produced.
#pragma once

#include <string>

#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/win.h"

class TestLogCapture {
 public:
  explicit TestLogCapture(const std::string& path) : path_(path), savedVerbosity_(LogVerbosity) {
    ::DeleteFileA(path_.c_str());
    LogVerbosity = 9;
    GetLogger()->Open(path_.c_str(), false, false, false);
  }
  ~TestLogCapture() {
    GetLogger()->WaitEmpty();
    GetLogger()->CloseFile();
    LogVerbosity = savedVerbosity_;
    ::DeleteFileA(path_.c_str());
  }
  TestLogCapture(const TestLogCapture&) = delete;
  TestLogCapture& operator=(const TestLogCapture&) = delete;

  // Waits (generously) for `text` to reach the file.
  bool Contains(const std::string& text) {
    for (int i = 0; i < 100; ++i) {
      GetLogger()->WaitEmpty();
      if (Text().find(text) != std::string::npos) return true;
      ::Sleep(50);
    }
    return false;
  }

  std::string Text() const {
    HANDLE h =
        ::CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    ::CloseHandle(h);
    return text;
  }

 private:
  std::string path_;
  int savedVerbosity_;
};
