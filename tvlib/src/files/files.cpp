#include "tvlib/files/files.h"

#include <direct.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "directory_walk.h"
#include "tvlib/log/log.h"
#include "tvlib/scoped_handle.h"
#include "tvlib/win.h"

#include <shlobj.h>

bool FileExists(const char* path) { return path != nullptr && _access(path, 0) == 0; }

bool FileExistsW(const wchar_t* path) { return path != nullptr && _waccess(path, 0) == 0; }

bool FileDelete(const char* path) { return ::DeleteFileA(path) != FALSE; }

bool FileMoveReplace(const char* source, const char* target) {
  if (_access(target, 0) == 0 && !::DeleteFileA(target)) return false;
  return ::MoveFileA(source, target) != FALSE;
}

void NormalizeSeparators(std::string& path) {
  if (path.empty()) return;
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i] == '/' ? '\\' : path[i];
    // Index 0 never pairs with index 1, which keeps a UNC "\\" prefix.
    if (c == '\\' && out.size() >= 2 && out.back() == '\\') continue;
    out += c;
  }
  path.swap(out);
}

void NormalizeSeparatorsIfNotEmpty(std::string& path) {
  if (!path.empty()) NormalizeSeparators(path);
}

std::string GetExecutablePath() {
  char buffer[MAX_PATH] = {};
  DWORD n = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return std::string(buffer, n);
}

std::string GetCommonAppDataPath() {
  char buffer[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathA(nullptr, buffer, CSIDL_COMMON_APPDATA, FALSE)) {
    return std::string();
  }
  return std::string(buffer);
}

std::string GetCurrentDir() {
  char buffer[MAX_PATH] = {};
  if (_getcwd(buffer, MAX_PATH) == nullptr) return std::string();
  return std::string(buffer);
}

std::string GetTempDir() {
  char buffer[MAX_PATH + 1] = {};
  DWORD n = ::GetTempPathA(MAX_PATH, buffer);
  if (n == 0 || n > MAX_PATH) return std::string();
  std::string dir(buffer, n);
  if (dir.back() != '\\') dir += '\\';
  return dir;
}

std::string FormatCopyIndex(int index) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, ".%d", index);
  return std::string(buffer);
}

bool SplitPath(const std::string& path, std::string& directory, std::string& name) {
  if (path.empty()) return true;
  std::string copy(path);
  NormalizeSeparators(copy);
  size_t slash = copy.rfind('\\');
  if (slash == std::string::npos) {
    directory.clear();
    name = path;
    return false;
  }
  directory = copy.substr(0, slash);
  name = copy.substr(slash + 1);
  return true;
}

std::string ResolveRelativeDirectory(const std::string& base, const std::string& relative) {
  std::string rel(relative);
  if (rel.size() >= 2) {
    if (rel[0] == '\\' && rel[1] == '\\') return rel;
    if (rel[1] == ':') {
      if (rel.size() >= 3 && rel[2] == '\\') return rel;
      // A drive-relative text on another drive than the base cannot be
      // resolved against it.
      if (base.size() >= 2 && base[1] == ':' &&
          toupper(static_cast<unsigned char>(base[0])) != toupper(static_cast<unsigned char>(rel[0]))) {
        return rel;
      }
      rel.erase(0, 2);
    }
  }
  if (rel.empty()) return base.empty() ? GetCurrentDir() : base;
  if (rel[0] == '\\') return rel;

  std::string built = base.empty() ? GetCurrentDir() : base;
  if (built.empty() || built.back() != '\\') built += '\\';
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('\\', start);
    if (end == std::string::npos) end = rel.size();
    std::string part = rel.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      size_t previous = built.size() >= 3 ? built.rfind('\\', built.size() - 2) : std::string::npos;
      if (previous == std::string::npos) {
        LogError("Bad relative directory request !!!");
        return built;
      }
      built.resize(previous + 1);
      continue;
    }
    built += part;
    built += '\\';
  }
  return built;
}

namespace {

// SplitPath drops the separator it cuts at, so a file in a root comes back
// with "E:" (drive-relative) or "" (no directory) and would resolve into the
// base directory. Put the root back so such a path stays where it points.
void KeepRootOfDirectory(const std::string& path, std::string& directory) {
  std::string copy(path);
  NormalizeSeparators(copy);
  if (directory.empty() && !copy.empty() && copy[0] == '\\') {
    directory = "\\";
  } else if (directory.size() == 2 && directory[1] == ':' && copy.size() > 2 && copy[2] == '\\') {
    directory += '\\';
  }
}

}  // namespace

std::string ResolveRelativePath(const std::string& basePath, const std::string& relativePath) {
  std::string baseDir, baseName, relDir, relName;
  SplitPath(basePath, baseDir, baseName);
  SplitPath(relativePath, relDir, relName);
  KeepRootOfDirectory(basePath, baseDir);
  KeepRootOfDirectory(relativePath, relDir);
  std::string dir = ResolveRelativeDirectory(baseDir, relDir);
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  return dir + relName;
}

bool CreateDirectoryPath(const std::string& path, bool parentOnly) {
  size_t lastSeparator = std::string::npos;
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '\\' && path[i] != '/') continue;
    // Existing directories and a bare drive ("C:") fail here; that is fine,
    // the final existence test decides.
    ::CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    lastSeparator = i;
  }
  if (parentOnly) {
    if (lastSeparator == std::string::npos) return true;
    return FileExists(path.substr(0, lastSeparator));
  }
  ::CreateDirectoryA(path.c_str(), nullptr);
  return FileExists(path);
}

void ForEachDirectoryEntry(
    const char* directory,
    const std::function<void(const WIN32_FIND_DATAA& entry, const std::string& path)>& visit) {
  std::string pattern = std::string(directory) + '\\' + "*.*";
  WIN32_FIND_DATAA entry;
  // The guard closes the search even when the visitor throws.
  ScopedFindHandle find(::FindFirstFileA(pattern.c_str(), &entry));
  if (!find.IsValid()) return;
  do {
    if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0) continue;
    visit(entry, std::string(directory) + '\\' + entry.cFileName);
  } while (::FindNextFileA(find.Get(), &entry));
}

bool DeleteDirectoryTree(const char* directory, bool recursive) {
  if (directory == nullptr) return false;
  if (recursive) {
    ForEachDirectoryEntry(directory, [](const WIN32_FIND_DATAA& entry, const std::string& child) {
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          // A junction or directory link: remove the link only, never the
          // content of the directory it points to.
          ::RemoveDirectoryA(child.c_str());
        } else {
          DeleteDirectoryTree(child.c_str(), true);
        }
      } else if (!::DeleteFileA(child.c_str())) {
        LogSystemError(0, "Failed to delete %s", child.c_str());
      }
    });
  }
  ::RemoveDirectoryA(directory);
  return true;
}
