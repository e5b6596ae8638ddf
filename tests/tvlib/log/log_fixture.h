// Opens the process's logger on a temp file (echo off) for one test and puts
// the defaults back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "support/child_process.h"
#include "support/poll.h"

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = testsupport::TempPath("logtest") + ".log";
    SetLogConsoleEcho(false);
  }
  void TearDown() override {
    GetLogger()->Open(nullptr, true, false, false);
    GetLogger()->SetParams(200, 500);
    SetLogConsoleEcho(true);
    LogVerbosity = 4;
    ::DeleteFileA(m_path.c_str());
    ::DeleteFileA((m_path + ".old").c_str());
  }
  void OpenLog(bool stamps, bool tid, bool utc) {
    ASSERT_TRUE(GetLogger()->Open(m_path.c_str(), stamps, tid, utc));
  }
  // Lines of the file once `marker` has been written (up to 5 s).
  std::vector<std::string> LinesAfter(const std::string& marker) {
    EXPECT_TRUE(testsupport::WaitForLineContaining(m_path, marker)) << marker;
    return testsupport::ReadLines(m_path);
  }
  std::string Unique(const char* stem) { return testsupport::UniqueName(stem); }

  std::string m_path;
};
