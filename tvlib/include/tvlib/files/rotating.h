// Files that must survive a crash: N numbered copies and unbuffered writes.
//
// A file lives as copies "<base>.1" .. "<base>.N"; the newest good copy is
// read and the next write replaces the oldest (or the first missing) copy.
// Copy times are whole seconds (signed 32-bit) and 0 means "missing", so
// several writes within one second cannot be ordered; the index rules below
// keep that harmless. Stateless free functions; callers serialise access to
// one set of copies themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// times[i - 1] = modification time of copy i, or 0 when it does not exist.
// An old single file "<base>" is first moved to copy 1 (when copy 1 is
// missing) and its "<base>.old" backup removed once that move succeeded.
// N below 1 is logged and leaves `times` untouched.
void GetRotatingFileTimes(const std::string& basePath, int count, int32_t* times);

// Index 1..N of the newest copy; 0 when none exists or N is bad.
int32_t GetNewestFileIndex(const std::string& basePath, int count);
// Index 1..N of the copy to write next (first gap, else the oldest); 0 for a
// bad N.
int32_t GetOldestFileIndex(const std::string& basePath, int count);

// Modification time in seconds since 1970 (UTC); 0 when it cannot be read.
int32_t GetFileModificationTime(const std::string& path);

// The last-write time (FILETIME units, 100 ns since 1601) that makes copy
// `index` the newest of `times` (as GetRotatingFileTimes fills them): the
// later of `now` and one second after the newest other copy. A clock that
// stepped back since that copy was written would otherwise date the new copy
// before it, and the next load would take the older settings.
uint64_t NewestCopyStamp(const int32_t* times, int count, int32_t index, uint64_t now);
// Dates copy `index`, just written, with NewestCopyStamp of the system time.
// The copies' order and content are untouched. False when the time cannot be
// set.
[[nodiscard]] bool StampNewestCopy(const std::string& basePath, int count, int32_t index);

// Copies source to a write-through, unbuffered target. True only when the
// whole, non-empty source was written. A missing or locked source creates no
// target.
bool FileCopyNoBuffering(const std::string& sourcePath, const std::string& targetPath);

// Writes a whole file write-through without the system cache. Empty data
// still leaves an empty file behind and gives false.
bool FileWrite_NoCache(const std::string& path, const void* data, size_t size);
inline bool FileWrite_NoCache(const std::string& path, const std::string& data) {
  return FileWrite_NoCache(path, data.data(), data.size());
}
