// Path and file helpers over narrow (ANSI code page) texts.
//
// Stateless free functions; any thread may call them. Paths produced here use
// the backslash separator. Buffers filled by system calls hold MAX_PATH (260)
// characters; longer paths are not supported (results are cut to 260). Except
// for the two logged messages documented below, failures show up as an empty
// text or false, with the system error left in GetLastError() for the caller.
#pragma once

#include <string>

// Every '/' becomes '\'; then runs of backslashes after the first character
// shrink to one, so a leading "\\" (UNC prefix) survives.
void NormalizeSeparators(std::string& path);
void NormalizeSeparatorsIfNotEmpty(std::string& path);

// Full path of the running executable; "" on failure.
std::string GetExecutablePath();
// The common application-data folder (not created); "" on failure.
std::string GetCommonAppDataPath();
// The process's current directory; "" on failure.
std::string GetCurrentDir();
// The temporary directory, always ending with '\'; "" on failure.
std::string GetTempDir();

// ".<index>": the suffix of rotating copy number `index`.
std::string FormatCopyIndex(int index);

// Splits at the last separator (after normalising a copy). No separator:
// directory "", name = path as given (not normalised), false. An empty path
// returns true and leaves both outputs untouched.
bool SplitPath(const std::string& path, std::string& directory, std::string& name);

// Resolves `relative` (backslash separators only) against `base` (the current
// directory when empty). Absolute, UNC, root-relative and other-drive texts
// come back unchanged; a resolved directory ends with '\'. Climbing above the
// root logs "Bad relative directory request !!!" and returns what was built.
std::string ResolveRelativeDirectory(const std::string& base, const std::string& relative);
// Resolves the directory part of `relative` against the directory of `base`
// and appends the relative name. A file directly in a root (E:\x or \x)
// keeps that root.
std::string ResolveRelativePath(const std::string& basePath, const std::string& relativePath);

// The path names an existing file or directory.
bool FileExists(const char* path);
inline bool FileExists(const std::string& path) { return FileExists(path.c_str()); }
bool FileExistsW(const wchar_t* path);

// Creates every directory along `path` ('\' or '/'); existing ones are fine.
// parentOnly: stops before the last component and reports whether its parent
// exists; otherwise creates the whole path and reports whether it exists.
bool CreateDirectoryPath(const std::string& path, bool parentOnly);

bool FileDelete(const char* path);
inline bool FileDelete(const std::string& path) { return FileDelete(path.c_str()); }

// Deletes an existing target, then moves source onto it. Not atomic: a crash
// between the two steps leaves only the source. A target that cannot be
// deleted gives false with both files left as they were.
bool FileMoveReplace(const char* source, const char* target);
inline bool FileMoveReplace(const std::string& source, const std::string& target) {
  return FileMoveReplace(source.c_str(), target.c_str());
}

// Removes `directory`; with `recursive` its whole content first. A file that
// cannot be deleted is logged ("Failed to delete %s") and skipped; the result
// is still true. False only for a null directory.
bool DeleteDirectoryTree(const char* directory, bool recursive);
