#include "tvlib/files/whole_file.h"

#include <climits>
#include <cstdio>
#include <string>

#include "tvlib/log/log.h"
#include "tvlib/strings/strings.h"

namespace {

int ReadOpenFile(FILE* file, const std::string& shownPath, CBufferBase<unsigned char>& buffer) {
  if (file == nullptr) {
    LogSystemError(0, "Can not open %s for read", shownPath.c_str());
    buffer.SetLength(0);
    return -1;
  }
  // 64-bit positions: a 32-bit ftell wraps for files of 2 GiB and more.
  __int64 size = -1;
  if (_fseeki64(file, 0, SEEK_END) == 0) size = _ftelli64(file);
  if (size < 0 || size > INT_MAX) {
    LogSystemError(0, "File %s to huge", shownPath.c_str());
    fclose(file);
    buffer.SetLength(0);
    return -1;
  }
  // Realloc refuses to replace attached memory that is too small, which
  // Resize would silently drop.
  if (!buffer.Realloc(static_cast<uint32_t>(size)) || _fseeki64(file, 0, SEEK_SET) != 0) {
    fclose(file);
    buffer.SetLength(0);
    return -1;
  }
  size_t got = size > 0 ? fread(buffer.GetData(), 1, static_cast<size_t>(size), file) : 0;
  fclose(file);
  buffer.SetLength(static_cast<uint32_t>(got));
  return static_cast<int>(got);
}

}  // namespace

int ReadWholeFile(const char* path, CBufferBase<unsigned char>& buffer) {
  FILE* file = path != nullptr ? fopen(path, "rb") : nullptr;
  return ReadOpenFile(file, path != nullptr ? path : "", buffer);
}

int ReadWholeFileW(const wchar_t* path, CBufferBase<unsigned char>& buffer) {
  FILE* file = path != nullptr ? _wfopen(path, L"rb") : nullptr;
  return ReadOpenFile(file, WideToNarrow(path), buffer);
}
