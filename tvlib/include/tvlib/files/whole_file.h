// Reading a whole file into a byte buffer.
//
// Stateless; any thread may call them.
#pragma once

#include "tvlib/buffers/buffer.h"

// Reads the file into `buffer` and returns the bytes read, which become the
// buffer's data size (fewer than the file's size when it shrank meanwhile).
// An owned buffer grows as needed; an attached buffer is read in place when it
// has room enough. On failure the data size is 0 and the result -1: a file
// that cannot be opened ("Can not open %s for read"), one larger than
// 2147483647 bytes ("File %s to huge"), or a buffer that cannot hold it (the
// buffer's own messages). The caller's memory is never replaced.
int ReadWholeFile(const char* path, CBufferBase<unsigned char>& buffer);
// The same for a wide path; messages show its narrow form.
int ReadWholeFileW(const wchar_t* path, CBufferBase<unsigned char>& buffer);
