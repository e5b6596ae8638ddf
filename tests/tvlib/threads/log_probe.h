// Sends this process's log lines to a temp file so that a test can assert
// that an operation logged nothing (a marker line proves the writer caught up).
#pragma once

#include <string>

#include "test_support.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"

class LogProbe {
 public:
  LogProbe() : m_path(testsupport::TempPath("probe") + ".log") {
    SetLogConsoleEcho(false);
    GetLogger()->Open(m_path.c_str(), false, false, false);
    // Identical texts fold process-wide: a fresh line starts the window, so a
    // repeat count owed to earlier lines shows up before it.
    m_start = testsupport::UniqueName("probe_start");
    LogError("%s", m_start.c_str());
  }
  ~LogProbe() {
    GetLogger()->Open(nullptr, true, false, false);
    SetLogConsoleEcho(true);
    ::DeleteFileA(m_path.c_str());
  }
  // Lines logged since the probe started, up to a fresh marker.
  std::vector<std::string> LinesUntilMarker() {
    std::string marker = testsupport::UniqueName("marker");
    LogError("%s", marker.c_str());
    testsupport::WaitForLineContaining(m_path, marker);
    std::vector<std::string> lines;
    bool started = false;
    for (const std::string& l : testsupport::ReadLines(m_path)) {
      if (l.find(marker) != std::string::npos) break;
      if (started) lines.push_back(l);
      if (l.find(m_start) != std::string::npos) started = true;
    }
    return lines;
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  std::string m_start;
};
