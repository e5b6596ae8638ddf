// The one log capture of the tests: for its life the global logger writes
// plain lines (no stamps, no thread ids, no console echo) to a file of its
// own, and the test reads back what the code under test logged.
//
// Reading is deterministic: Text() posts a unique marker line and waits until
// the file holds it. The logger has one writer thread that writes records in
// queue order, so every line queued before the marker is in the file by then.
// Marker lines are left out of what the capture returns. Read markers go
// straight to the queue (LogPrint) and leave the folding of identical lines
// alone; the start marker is an ordinary line, so that repeats folded before
// the capture are released before it.
//
// One capture at a time: a second one would take the file from the first.
// A marker that never reaches the file fails the test (an absence check must
// not pass because nothing was written at all).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/paths.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/win.h"

class LogCapture {
 public:
  explicit LogCapture(int verbosity = 9) : m_savedVerbosity(LogVerbosity) {
    if (::InterlockedIncrement(&Live()) != 1) ADD_FAILURE() << "a LogCapture inside another one";
    m_path = testsupport::TempPath("logcap") + ".log";
    m_tag = testsupport::UniqueName("-=capture=-");
    LogVerbosity = verbosity;
    SetLogConsoleEcho(false);
    GetLogger()->Open(m_path.c_str(), false, false, false);
    // Lines queued before the capture (and repeats folded before it) land
    // before this marker; Text() starts after it.
    m_start = NextMarker();
    LogVerbosity = 9;
    LogError("%s", m_start.c_str());
    LogVerbosity = verbosity;
  }
  ~LogCapture() {
    Sync(NextMarker());
    GetLogger()->Open(nullptr, false, false, false);
    GetLogger()->CloseFile();
    SetLogConsoleEcho(true);
    LogVerbosity = m_savedVerbosity;
    ::DeleteFileA(m_path.c_str());
    ::InterlockedDecrement(&Live());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged since the capture began, once the writer has caught up.
  std::string Text() {
    std::string marker = NextMarker();
    std::string raw = Sync(marker);
    std::string out;
    bool started = false;
    for (const std::string& line : testsupport::SplitLines(raw)) {
      if (line.find(m_tag) != std::string::npos) {
        if (line == m_start) started = true;
        if (line == marker) break;
        continue;
      }
      if (started) out += line + "\n";
    }
    return out;
  }

  std::vector<std::string> Lines() { return testsupport::SplitLines(Text()); }

  // True when `text` was logged before this call: no waiting, for absence
  // checks once the code under test is done.
  bool Contains(const std::string& text) { return Text().find(text) != std::string::npos; }

  // True once `text` has been logged; waits (generously) for lines that other
  // threads have yet to queue.
  bool Has(const std::string& text, DWORD timeoutMs = 10000) {
    ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
      if (Text().find(text) != std::string::npos) return true;
      if (::GetTickCount64() > end) return false;
      ::Sleep(20);
    }
  }

  int Count(const std::string& text) {
    std::string t = Text();
    int n = 0;
    for (size_t p = t.find(text); p != std::string::npos; p = t.find(text, p + 1)) ++n;
    return n;
  }

  const std::string& Path() const { return m_path; }

 private:
  std::string NextMarker() { return m_tag + "#" + std::to_string(++m_markers); }

  // Posts `marker` and waits for it to reach the file; returns the file.
  std::string Sync(const std::string& marker) {
    LogPrint("%s\n", marker.c_str());
    ULONGLONG end = ::GetTickCount64() + 20000;
    for (;;) {
      std::string raw = testsupport::ReadBytes(m_path);
      if (raw.find(marker + "\r\n") != std::string::npos || raw.find(marker + "\n") != std::string::npos)
        return raw;
      if (::GetTickCount64() > end) {
        ADD_FAILURE() << "log capture: " << marker << " never reached " << m_path;
        return raw;
      }
      ::Sleep(2);
    }
  }

  static volatile LONG& Live() {
    static volatile LONG live = 0;
    return live;
  }

  std::string m_path;
  std::string m_tag;
  std::string m_start;
  int m_markers = 0;
  int m_savedVerbosity;
};
