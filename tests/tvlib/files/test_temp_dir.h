// A fresh directory per test: ctest runs tests of one executable in parallel
// processes, so names carry the process id and the test's name.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tvlib/files/files.h"
#include "tvlib/win.h"

class TestTempDir {
 public:
  TestTempDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    char name[200];
    snprintf(name, sizeof name, "pelorin_%lu_%s_%s", ::GetCurrentProcessId(),
             info ? info->test_suite_name() : "x", info ? info->name() : "y");
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

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A deterministic byte pattern that no off-by-one shift reproduces.
inline std::string PatternBytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}
