// Copying a file, or a whole directory tree, through buffered streams.
//
// Stateless; any thread may call them. Nothing is logged: the result tells.
#pragma once

// Copies every byte of `source` to `target` (binary; the target is created
// or truncated). False when the source cannot be opened (an existing target
// is then untouched), when the target cannot be opened, when the target is the
// source itself under any spelling or link (both untouched), and when a read
// or a write fails; a partial target is then left behind.
bool CopyFileStream(const char* source, const char* target);

// Creates `target` (an existing one is fine) and copies into it every entry of
// `source` other than "." and "..": directories by this same operation,
// anything else with CopyFileStream. Single failures are skipped; the result
// is true even when the source cannot be enumerated, false only for a null
// argument. The target's own directory, met inside the source, is not copied
// into itself. Directory links are followed.
bool CopyDirectoryTree(const char* source, const char* target);
