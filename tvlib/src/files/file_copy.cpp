#include "tvlib/files/file_copy.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "directory_walk.h"
#include "tvlib/scoped_handle.h"
#include "tvlib/win.h"

namespace {

// A file's identity: equal for one file under any spelling of its path or
// through a hard link.
struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  bool operator==(const FileIdentity& o) const {
    return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow;
  }
};

bool IdentityOf(HANDLE handle, FileIdentity& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.indexHigh = info.nFileIndexHigh;
  id.indexLow = info.nFileIndexLow;
  return true;
}

bool IdentityOfPath(const char* path, FileIdentity& id) {
  ScopedFileHandle handle(::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle.IsValid() && IdentityOf(handle.Get(), id);
}

// Opens the target once, compares it with the open source before anything is
// truncated, and only then empties it: truncating first would destroy a
// source that is the target under another name.
FILE* OpenCopyTarget(FILE* source, const char* target) {
  ScopedFileHandle handle(::CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.IsValid()) return nullptr;
  FileIdentity from, to;
  HANDLE sourceHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(source)));
  if (IdentityOf(sourceHandle, from) && IdentityOf(handle.Get(), to) && from == to) return nullptr;
  if (::GetFileType(handle.Get()) == FILE_TYPE_DISK && !::SetEndOfFile(handle.Get())) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.Get()), _O_WRONLY | _O_BINARY);
  if (fd == -1) return nullptr;
  (void)handle.Release();  // the descriptor owns it now
  FILE* out = _fdopen(fd, "wb");
  if (out == nullptr) _close(fd);
  return out;
}

void CopyTreeInto(const char* source, const char* target, const FileIdentity* root) {
  ::CreateDirectoryA(target, nullptr);
  ForEachDirectoryEntry(source, [&](const WIN32_FIND_DATAA& entry, const std::string& from) {
    std::string to = std::string(target) + '\\' + entry.cFileName;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A copy made inside its own source would otherwise be met by the walk
      // and copied into itself until the paths grow too long.
      FileIdentity id;
      if (root != nullptr && IdentityOfPath(from.c_str(), id) && id == *root) return;
      CopyTreeInto(from.c_str(), to.c_str(), root);
    } else {
      CopyFileStream(from.c_str(), to.c_str());
    }
  });
}

}  // namespace

bool CopyFileStream(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) return false;
  FILE* in = fopen(source, "rb");
  if (in == nullptr) return false;
  FILE* out = OpenCopyTarget(in, target);
  if (out == nullptr) {
    fclose(in);
    return false;
  }
  unsigned char chunk[16384];
  bool writeFailed = false;
  for (;;) {
    size_t got = fread(chunk, 1, sizeof chunk, in);
    if (got > 0 && fwrite(chunk, 1, got, out) != got) {
      writeFailed = true;
      break;
    }
    if (got < sizeof chunk) break;
  }
  bool readFailed = ferror(in) != 0;
  if (ferror(out) != 0) writeFailed = true;
  if (fclose(out) != 0) writeFailed = true;  // the last buffered bytes go out here
  fclose(in);
  return !readFailed && !writeFailed;
}

bool CopyDirectoryTree(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) return false;
  ::CreateDirectoryA(target, nullptr);
  FileIdentity root;
  bool known = IdentityOfPath(target, root);
  CopyTreeInto(source, target, known ? &root : nullptr);
  return true;
}
