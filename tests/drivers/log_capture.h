// Reads back what the code under test logged: the global logger writes to a
// file of this capture's own, without line prefixes and console echo.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/win.h"

// Sends the global logger's lines, without prefixes, to a file of its own so
// that a test can read back exactly what was logged (console echo off).
class LogCapture {
 public:
  LogCapture() {
    static int n = 0;
    char name[MAX_PATH];
    char dir[MAX_PATH];
    ::GetTempPathA(MAX_PATH, dir);
    std::snprintf(name, sizeof(name), "%sdrv_log_%lu_%d.txt", dir, ::GetCurrentProcessId(), n++);
    path_ = name;
    ::DeleteFileA(path_.c_str());
    // Lines of an earlier capture must not land in this one.
    GetLogger()->WaitEmpty();
    GetLogger()->LockFile();
    GetLogger()->UnlockFile();
    LogVerbosity = 9;
    SetLogConsoleEcho(false);
    GetLogger()->Open(path_.c_str(), false, false, false);
    // Repeats folded before this capture are released by the next line; the
    // marker takes that place, and Text() starts after it.
    marker_ = FormatString("---- capture %d of %lu ----", n, ::GetCurrentProcessId());
    LogError("%s", marker_.c_str());
  }
  ~LogCapture() {
    GetLogger()->WaitEmpty();
    GetLogger()->Open(nullptr, false, false, false);
    ::DeleteFileA(path_.c_str());
  }
  // Everything logged so far, once the logger has written it. An empty queue
  // is not enough: the writer pops a record before it takes the file lock, so
  // the last line may still be on its way. The file is read until it stays
  // the same over a quiet pause.
  std::string Text() {
    std::string text = ReadOnce();
    for (int round = 0; round < 50; ++round) {
      ::Sleep(20);
      std::string again = ReadOnce();
      if (again == text) break;
      text = again;
    }
    return text;
  }
  // A line that is not there yet is waited for (generously), so a slow writer
  // thread under a loaded machine does not fail the test.
  bool Has(const std::string& s) {
    for (int round = 0;; ++round) {
      if (Text().find(s) != std::string::npos) return true;
      if (round >= 20) return false;
      ::Sleep(50);
    }
  }
  int Count(const std::string& s) {
    std::string t = Text();
    int n = 0;
    for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1)) ++n;
    return n;
  }
  // The lines logged since the capture began.
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    std::istringstream in(Text());
    std::string l;
    while (std::getline(in, l))
      if (!l.empty()) out.push_back(l);
    return out;
  }

 private:
  std::string ReadOnce() {
    GetLogger()->WaitEmpty();
    GetLogger()->LockFile();
    GetLogger()->UnlockFile();
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    size_t at = text.find(marker_ + "\n");
    return at == std::string::npos ? text : text.substr(at + marker_.size() + 1);
  }

  std::string path_;
  std::string marker_;
};
