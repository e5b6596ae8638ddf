#include "tvlib/files/rotating.h"

#include <cassert>
#include <cstring>
#include <vector>

#include "tvlib/files/files.h"
#include "tvlib/log/log.h"
#include "tvlib/scoped_handle.h"
#include "tvlib/win.h"

namespace {

// Unbuffered I/O needs sector-aligned addresses and lengths; a page covers
// every sector size up to 4096 bytes (4Kn disks included).
constexpr DWORD kPage = 4096;

DWORD RoundUpToPage(DWORD n) { return (n + kPage - 1) & ~(kPage - 1); }

const uint64_t kUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in 100 ns units since 1601
const uint64_t kTicksPerSecond = 10000000ULL;

// Page-aligned, zero-filled memory for unbuffered transfers.
class CPageBuffer {
 public:
  explicit CPageBuffer(size_t size)
      : data_(static_cast<unsigned char*>(
            ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))) {
    assert(data_ == nullptr || (reinterpret_cast<uintptr_t>(data_) & (kPage - 1)) == 0);
  }
  ~CPageBuffer() {
    if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
  }
  CPageBuffer(const CPageBuffer&) = delete;
  CPageBuffer& operator=(const CPageBuffer&) = delete;
  unsigned char* Get() const { return data_; }

 private:
  unsigned char* data_;
};

// Cuts a file written in whole pages back to its real length; unbuffered
// handles cannot set an unaligned end, so this goes through a normal handle.
bool TrimFile(const std::string& path, uint64_t length) {
  ScopedFileHandle file(
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(length);
  LARGE_INTEGER reached;
  if (!::SetFilePointerEx(file.Get(), distance, &reached, FILE_BEGIN)) return false;
  if (static_cast<uint64_t>(reached.QuadPart) != length) return false;
  return ::SetEndOfFile(file.Get()) != FALSE;
}

}  // namespace

int32_t GetFileModificationTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  ULARGE_INTEGER t;
  t.LowPart = data.ftLastWriteTime.dwLowDateTime;
  t.HighPart = data.ftLastWriteTime.dwHighDateTime;
  if (t.QuadPart < kUnixEpoch) return 0;
  return static_cast<int32_t>((t.QuadPart - kUnixEpoch) / kTicksPerSecond);
}

uint64_t NewestCopyStamp(const int32_t* times, int count, int32_t index, uint64_t now) {
  uint64_t stamp = now;
  for (int i = 1; i <= count; ++i) {
    // The slot being written held an older copy; missing copies (0) and
    // times before 1970 order nothing.
    if (i == index || times[i - 1] <= 0) continue;
    const uint64_t after = kUnixEpoch + (static_cast<uint64_t>(times[i - 1]) + 1) * kTicksPerSecond;
    if (after > stamp) stamp = after;
  }
  return stamp;
}

bool StampNewestCopy(const std::string& basePath, int count, int32_t index) {
  if (count < 1 || index < 1 || index > count) return false;
  std::vector<int32_t> times(static_cast<size_t>(count), 0);
  GetRotatingFileTimes(basePath, count, times.data());
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER stamp;
  stamp.LowPart = now.dwLowDateTime;
  stamp.HighPart = now.dwHighDateTime;
  stamp.QuadPart = NewestCopyStamp(times.data(), count, index, stamp.QuadPart);
  const std::string path = basePath + FormatCopyIndex(index);
  ScopedFileHandle file(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  FILETIME lastWrite;
  lastWrite.dwLowDateTime = stamp.LowPart;
  lastWrite.dwHighDateTime = stamp.HighPart;
  return ::SetFileTime(file.Get(), nullptr, nullptr, &lastWrite) != FALSE;
}

void GetRotatingFileTimes(const std::string& basePath, int count, int32_t* times) {
  if (count < 1) {
    LogError("GetRotatingFileTimes with bad count (%d) !", count);
    return;
  }
  const std::string first = basePath + FormatCopyIndex(1);
  if (FileExists(basePath) && !FileExists(first)) {
    LogLevel5("Config file %s: changing to new rotating mode", basePath.c_str());
    // The ".old" backup may be the only good copy left: drop it only once
    // the base file really is copy 1.
    if (::MoveFileA(basePath.c_str(), first.c_str())) {
      const std::string old = basePath + ".old";
      if (FileExists(old)) {
        LogLevel5("Config backup file %s: removing", old.c_str());
        ::DeleteFileA(old.c_str());
      }
    }
  }
  if (times == nullptr) return;
  for (int i = 1; i <= count; ++i) {
    const std::string copy = basePath + FormatCopyIndex(i);
    times[i - 1] = FileExists(copy) ? GetFileModificationTime(copy) : 0;
  }
}

int32_t GetNewestFileIndex(const std::string& basePath, int count) {
  if (count <= 0) {
    LogError("GetNewestFileIndex with bad rotate count (%d)", count);
    return 0;
  }
  std::vector<int32_t> times(static_cast<size_t>(count), 0);
  GetRotatingFileTimes(basePath, count, times.data());
  int32_t best = 0;
  int32_t result = 0;
  bool found = false;
  // Equal times after an older copy mean the copies wrapped around within one
  // second: from then on the earlier index is the newer write.
  bool tie = false;
  int32_t previous = 0;
  for (int i = 1; i <= count; ++i) {
    const int32_t t = times[i - 1];
    if (t == 0) {
      previous = 0;
      continue;
    }
    if (!found) {
      found = true;
      best = t;
      result = i;
    } else if (t > best) {
      best = t;
      result = i;
    } else if (t == best) {
      if (previous < t) tie = true;
      if (!tie) result = i;
    }
    previous = t;
  }
  return result;
}

int32_t GetOldestFileIndex(const std::string& basePath, int count) {
  if (count <= 0) {
    LogError("GetNewestFileIndex with bad rotate count (%d)", count);
    return 0;
  }
  std::vector<int32_t> times(static_cast<size_t>(count), 0);
  GetRotatingFileTimes(basePath, count, times.data());
  int32_t minimum = 0;
  int32_t minimumIndex = 1;
  int32_t previous = 0;
  for (int i = 1; i <= count; ++i) {
    const int32_t t = times[i - 1];
    if (t == 0) return i;
    if (i == 1 || t < minimum) {
      minimum = t;
      minimumIndex = i;
    } else if (t == minimum && previous > t) {
      return i;
    }
    previous = t;
  }
  return minimumIndex;
}

bool FileCopyNoBuffering(const std::string& sourcePath, const std::string& targetPath) {
  ScopedFileHandle source(::CreateFileA(sourcePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_READONLY, nullptr));
  if (!source.IsValid()) return false;
  ScopedFileHandle target(
      ::CreateFileA(targetPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr));
  if (!target.IsValid()) return false;

  // Whole pages from a page-aligned buffer: unbuffered writes of odd lengths
  // or from ordinary heap memory fail on real disks. The tail is trimmed below.
  const DWORD kChunk = 16 * kPage;
  CPageBuffer buffer(kChunk);
  if (buffer.Get() == nullptr) return false;

  uint64_t total = 0;
  bool ok = true;
  bool atEnd = false;
  while (!atEnd) {
    DWORD filled = 0;
    while (filled < kChunk) {
      DWORD got = 0;
      if (!::ReadFile(source.Get(), buffer.Get() + filled, kChunk - filled, &got, nullptr)) {
        // What came before the error is still written, but the copy is
        // incomplete and must not report success.
        filled += got;
        ok = false;
        atEnd = true;
        break;
      }
      if (got == 0) {
        atEnd = true;
        break;
      }
      filled += got;
    }
    if (filled == 0) break;
    const DWORD units = RoundUpToPage(filled);
    memset(buffer.Get() + filled, 0, units - filled);
    assert(units % kPage == 0);
    DWORD written = 0;
    if (!::WriteFile(target.Get(), buffer.Get(), units, &written, nullptr) || written != units) {
      ok = false;
      break;
    }
    total += filled;
  }
  target.Reset();
  if (total == 0) return false;
  if (total % kPage != 0 && !TrimFile(targetPath, total)) ok = false;
  return ok;
}

bool FileWrite_NoCache(const std::string& path, const void* data, size_t size) {
  ScopedFileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr));
  if (!file.IsValid()) {
    return LogErrorFalse("FileWrite_NoCache: can not create file %s", path.c_str());
  }
  if (size == 0 || data == nullptr) {
    return LogErrorFalse("FileWrite_NoCache %s with size %u", path.c_str(), 0u);
  }
  if (size > 0xFFFFF000u) {
    // One WriteFile call cannot take more; nothing here writes files that big.
    return LogErrorFalse("FileWrite_NoCache %s with size %u", path.c_str(), static_cast<unsigned>(size));
  }
  const DWORD length = static_cast<DWORD>(size);
  const DWORD pageLength = RoundUpToPage(length);
  CPageBuffer buffer(pageLength);
  if (buffer.Get() == nullptr) {
    return LogErrorFalse("FileWrite_NoCache: can not WriteFile to file %s", path.c_str());
  }
  memcpy(buffer.Get(), data, length);

  DWORD written = 0;
  if (!::WriteFile(file.Get(), buffer.Get(), pageLength, &written, nullptr)) {
    return LogErrorFalse("FileWrite_NoCache: can not WriteFile to file %s", path.c_str());
  }
  if (written != pageLength) {
    return LogErrorFalse("FileWrite_NoCache: wrote %u instead of %u to file %s",
                         static_cast<unsigned>(written), static_cast<unsigned>(length), path.c_str());
  }
  if (pageLength == length) return true;

  // Closed first: the unbuffered handle shares nothing, so a second open
  // would fail while it lives.
  file.Reset();
  file.Reset(
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    return LogErrorFalse("FileWrite_NoCache: CreateFile %s FAILED ", path.c_str());
  }
  LONG high = 0;  // with a high part the low part counts as unsigned
  DWORD reached = ::SetFilePointer(file.Get(), static_cast<LONG>(length), &high, FILE_BEGIN);
  if (reached != length) {
    return LogErrorFalse("FileWrite_NoCache: SetFilePointer %s FAILED %u instead of %u", path.c_str(),
                         static_cast<unsigned>(reached), static_cast<unsigned>(length));
  }
  if (!::SetEndOfFile(file.Get())) {
    return LogErrorFalse("FileWrite_NoCache: SetEndOfFile %s FAILED at %u", path.c_str(),
                         static_cast<unsigned>(length));
  }
  return true;
}
