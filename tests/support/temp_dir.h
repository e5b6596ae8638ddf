// A fresh directory per test, removed afterwards: CTest runs the tests of one
// executable in parallel processes, so names carry the process id and the
// test's name.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/paths.h"
#include "tvlib/files/files.h"
#include "tvlib/win.h"

class TestTempDir {
 public:
  TestTempDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    char name[200];
    snprintf(name, sizeof name, "pelorin_%lu_%s_%s", ::GetCurrentProcessId(),
             info ? info->test_suite_name() : "x", info ? info->name() : "y");
    for (char* p = name; *p; ++p)
      if (*p == '/') *p = '_';
    path_ = GetTempDir() + name;
    DeleteDirectoryTree(path_.c_str(), true);
    ::CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TestTempDir() { DeleteDirectoryTree(path_.c_str(), true); }
  TestTempDir(const TestTempDir&) = delete;
  TestTempDir& operator=(const TestTempDir&) = delete;

  // Without a trailing backslash.
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};
