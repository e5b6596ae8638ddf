#include "tvlib/files/file_copy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/fn_thread.h"
#include "support/paths.h"
#include "support/temp_dir.h"

namespace {

using testsupport::PatternBytes;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

// Every entry under `dir` by relative path: a file's bytes, or "<dir>".
void ListTree(const std::string& dir, const std::string& prefix, std::map<std::string, std::string>& out) {
  WIN32_FIND_DATAA entry;
  HANDLE find = ::FindFirstFileA((dir + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    std::string rel = prefix + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[rel] = "<dir>";
      ListTree(dir + "\\" + name, rel + "\\", out);
    } else {
      out[rel] = ReadBytes(dir + "\\" + name);
    }
  } while (::FindNextFileA(find, &entry));
  ::FindClose(find);
}

std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> out;
  ListTree(dir, "", out);
  return out;
}

TEST(CopyFileStream, CopiesEveryByte) {
  TestTempDir tmp;
  for (size_t size : {size_t(0), size_t(1), size_t(4096), size_t(1048576 + 3)}) {
    std::string from = tmp.File("from" + std::to_string(size));
    std::string to = tmp.File("to" + std::to_string(size));
    WriteBytes(from, PatternBytes(size));
    WriteBytes(to, std::string(size + 10, 'x'));  // truncated by the copy
    ASSERT_TRUE(CopyFileStream(from.c_str(), to.c_str())) << size;
    EXPECT_EQ(PatternBytes(size), ReadBytes(to)) << size;
  }
}

TEST(CopyFileStream, MissingSourceOrTargetFolderFails) {
  TestTempDir tmp;
  WriteBytes(tmp.File("target"), "keep");
  EXPECT_FALSE(CopyFileStream(tmp.File("missing").c_str(), tmp.File("target").c_str()));
  EXPECT_EQ("keep", ReadBytes(tmp.File("target")));

  EXPECT_FALSE(CopyFileStream(tmp.File("target").c_str(), tmp.File("no\\such\\dir\\file").c_str()));
  EXPECT_FALSE(CopyFileStream(nullptr, tmp.File("target").c_str()));
  EXPECT_EQ("keep", ReadBytes(tmp.File("target")));
}

TEST(CopyFileStream, OntoItselfUnderAnySpellingLeavesTheFileIntact) {
  TestTempDir tmp;
  std::string file = tmp.File("self.bin");
  std::string bytes = PatternBytes(5000);
  WriteBytes(file, bytes);
  ASSERT_TRUE(::CreateHardLinkA(tmp.File("link.bin").c_str(), file.c_str(), nullptr));

  std::string upper = tmp.File("SELF.BIN");
  std::string dotted = tmp.Path() + "\\.\\self.bin";
  for (const std::string& target : {file, upper, dotted, tmp.File("link.bin")}) {
    EXPECT_FALSE(CopyFileStream(file.c_str(), target.c_str())) << target;
    EXPECT_EQ(bytes, ReadBytes(file)) << target;
  }
}

// A pipe that takes one read and then goes away: the copy's later writes fail.
TEST(CopyFileStream, FailedWritesAreReported) {
  TestTempDir tmp;
  std::string pipeName = "\\\\.\\pipe\\" + testsupport::UniqueName("copy_sink");
  HANDLE pipe = ::CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                   4096, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
  FnThread server([&](FnThread&) {
    ::ConnectNamedPipe(pipe, nullptr);
    char chunk[4096];
    DWORD got = 0;
    ::ReadFile(pipe, chunk, sizeof chunk, &got, nullptr);
    ::DisconnectNamedPipe(pipe);
    ::CloseHandle(pipe);
    return 0;
  });
  ASSERT_EQ(0, server.Create(2));
  std::string from = tmp.File("big.bin");
  WriteBytes(from, PatternBytes(4 << 20));
  EXPECT_FALSE(CopyFileStream(from.c_str(), pipeName.c_str()));
  server.Stop();
}

// "..." exists only through \\?\ paths (a plain path drops trailing dots),
// so the whole copy goes through them.
TEST(CopyDirectoryTree, ReproducesANestedTree) {
  TestTempDir tmp;
  std::string src = "\\\\?\\" + tmp.File("src");
  std::string dst = "\\\\?\\" + tmp.File("dst");
  ::CreateDirectoryA(src.c_str(), nullptr);
  ::CreateDirectoryA((src + "\\empty").c_str(), nullptr);
  ::CreateDirectoryA((src + "\\sub").c_str(), nullptr);
  ::CreateDirectoryA((src + "\\sub\\deeper").c_str(), nullptr);
  WriteBytes(src + "\\top.txt", "top");
  WriteBytes(src + "\\.x", "dot x");
  WriteBytes(src + "\\...", "dots");
  WriteBytes(src + "\\noext", PatternBytes(3000));
  WriteBytes(src + "\\sub\\a.bin", PatternBytes(70000));
  WriteBytes(src + "\\sub\\deeper\\z", "");

  ASSERT_TRUE(CopyDirectoryTree(src.c_str(), dst.c_str()));
  std::map<std::string, std::string> expected = Tree(src);
  EXPECT_EQ(9u, expected.size());
  EXPECT_EQ("dots", expected["..."]);
  EXPECT_EQ(expected, Tree(dst));
  // The folder's own clean-up uses plain paths, which cannot name "...".
  ::DeleteFileA((src + "\\...").c_str());
  ::DeleteFileA((dst + "\\...").c_str());
}

TEST(CopyDirectoryTree, AMissingSourceStillCreatesTheTarget) {
  TestTempDir tmp;
  EXPECT_TRUE(CopyDirectoryTree(tmp.File("missing").c_str(), tmp.File("made").c_str()));
  EXPECT_TRUE(testsupport::PathExists(tmp.File("made")));
  EXPECT_TRUE(Tree(tmp.File("made")).empty());
  EXPECT_FALSE(CopyDirectoryTree(nullptr, tmp.File("made").c_str()));
}

TEST(CopyDirectoryTree, OntoOrIntoItself) {
  TestTempDir tmp;
  std::string d = tmp.File("d");
  ::CreateDirectoryA(d.c_str(), nullptr);
  ::CreateDirectoryA((d + "\\sub").c_str(), nullptr);
  WriteBytes(d + "\\a.txt", "alpha");
  WriteBytes(d + "\\sub\\b.txt", "beta");
  std::map<std::string, std::string> before = Tree(d);

  EXPECT_TRUE(CopyDirectoryTree(d.c_str(), d.c_str()));
  EXPECT_EQ(before, Tree(d));

  EXPECT_TRUE(CopyDirectoryTree(d.c_str(), (d + "\\copy").c_str()));
  std::map<std::string, std::string> after = Tree(d);
  std::map<std::string, std::string> expected = before;
  expected["copy"] = "<dir>";
  for (const auto& entry : before) expected["copy\\" + entry.first] = entry.second;
  EXPECT_EQ(expected, after);
}

}  // namespace
