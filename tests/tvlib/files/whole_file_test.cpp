#include "tvlib/files/whole_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/log_capture.h"
#include "support/paths.h"
#include "support/temp_dir.h"

namespace {

using testsupport::PatternBytes;
using testsupport::WriteBytes;

std::string Bytes(const CBufferBase<unsigned char>& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

TEST(ReadWholeFile, ReadsEmptyAndFullFiles) {
  TestTempDir tmp;
  CBufferBase<unsigned char> buffer(16);
  WriteBytes(tmp.File("empty"), "");
  EXPECT_EQ(0, ReadWholeFile(tmp.File("empty").c_str(), buffer));
  EXPECT_EQ(0u, buffer.GetLength());

  WriteBytes(tmp.File("full"), PatternBytes(5000));
  EXPECT_EQ(5000, ReadWholeFile(tmp.File("full").c_str(), buffer));
  EXPECT_EQ(PatternBytes(5000), Bytes(buffer));
}

TEST(ReadWholeFile, AMissingFileIsReportedAndEmptiesTheBuffer) {
  TestTempDir tmp;
  CBufferBase<unsigned char> buffer(8);
  LogCapture log;
  EXPECT_EQ(-1, ReadWholeFile(tmp.File("missing").c_str(), buffer));
  EXPECT_EQ(0u, buffer.GetLength());
  EXPECT_TRUE(log.Has("Can not open " + tmp.File("missing") + " for read"));
}

// Sparse files of 2 GiB + 1 and 4 GiB + 10 bytes: a 32-bit size would read
// them as negative or as 10 bytes.
TEST(ReadWholeFile, FilesAbove2GiBAreRefusedWithoutAllocating) {
  TestTempDir tmp;
  for (LONGLONG size : {(2LL << 30) + 1, (4LL << 30) + 10}) {
    std::string path = tmp.File("huge" + std::to_string(size));
    HANDLE h =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER end;
    end.QuadPart = size;
    ASSERT_TRUE(::SetFilePointerEx(h, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(h));
    ::CloseHandle(h);

    CBufferBase<unsigned char> buffer(32);
    LogCapture log;
    EXPECT_EQ(-1, ReadWholeFile(path.c_str(), buffer)) << size;
    EXPECT_EQ(0u, buffer.GetLength());
    EXPECT_EQ(32u, buffer.GetAllocated());
    EXPECT_TRUE(log.Has("File " + path + " to huge"));
    ::DeleteFileA(path.c_str());
  }
}

TEST(ReadWholeFile, AttachedBuffersAreReadInPlaceOrRefused) {
  TestTempDir tmp;
  WriteBytes(tmp.File("f"), PatternBytes(50));

  unsigned char room[100];
  std::memset(room, 0xAA, sizeof room);
  CBufferBase<unsigned char> fits(room, 0, sizeof room);
  EXPECT_EQ(50, ReadWholeFile(tmp.File("f").c_str(), fits));
  EXPECT_EQ(room, fits.GetData());
  EXPECT_EQ(PatternBytes(50), Bytes(fits));

  unsigned char small[10];
  std::memset(small, 0xAA, sizeof small);
  CBufferBase<unsigned char> tooSmall(small, 4, sizeof small);
  LogCapture log;
  EXPECT_EQ(-1, ReadWholeFile(tmp.File("f").c_str(), tooSmall));
  EXPECT_EQ(0u, tooSmall.GetLength());
  EXPECT_EQ(small, tooSmall.GetData());
  EXPECT_FALSE(tooSmall.IsOwned());
  for (unsigned char c : small) EXPECT_EQ(0xAA, c);
  EXPECT_TRUE(log.Has("CBufferBase<T>::Realloc called with attached buffer"));
}

TEST(ReadWholeFile, WidePathsWithNonAsciiNames) {
  TestTempDir tmp;
  std::wstring dir(tmp.Path().begin(), tmp.Path().end());
  std::wstring path = dir + L"\\caf\u00e9_\u6587.bin";
  HANDLE h =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::string bytes = PatternBytes(777);
  DWORD put = 0;
  ASSERT_TRUE(::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
  ::CloseHandle(h);

  CBufferBase<unsigned char> buffer;
  EXPECT_EQ(777, ReadWholeFileW(path.c_str(), buffer));
  EXPECT_EQ(bytes, Bytes(buffer));
  EXPECT_EQ(-1, ReadWholeFileW((dir + L"\\missing\u00e9").c_str(), buffer));
  EXPECT_EQ(0u, buffer.GetLength());
}

}  // namespace
