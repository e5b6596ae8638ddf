#include "tvlib/files/files.h"

#include <io.h>

#include "tvlib/win.h"

bool FileExists(const char* path) {
  return path != nullptr && _access(path, 0) == 0;
}

bool FileExistsW(const wchar_t* path) {
  return path != nullptr && _waccess(path, 0) == 0;
}

bool FileDelete(const char* path) {
  return ::DeleteFileA(path) != FALSE;
}

bool FileMoveReplace(const char* source, const char* target) {
  if (_access(target, 0) == 0 && !::DeleteFileA(target)) return false;
  return ::MoveFileA(source, target) != FALSE;
}
