// Overlapped named-pipe I/O shared by the pipe server and its clients.
//
// Threads: any; each call works on the caller's handle and record only.
#pragma once

#include <cstdint>

#include "tvlib/win.h"

enum PipeOperation { kPipeRead, kPipeWrite };

// Runs one overlapped read or write on `pipe` to its end, with the caller's
// record (`overlapped`, whose hEvent is a manual-reset event that nobody else
// uses meanwhile). Waits for the first of {stopEvent (may be null), the
// record's event}, at most timeoutMs (INFINITE for none). On a stop or a
// time-out the operation is cancelled and drained before the function
// returns, so nothing stays pending into the caller's buffer or record.
// Returns ERROR_SUCCESS, the operation's error (ERROR_MORE_DATA: a message
// longer than `size`, whose first `size` bytes were read),
// ERROR_OPERATION_ABORTED after a stop, or ERROR_TIMEOUT after a time-out
// (ERROR_SUCCESS when it completed all the same). *pended (may be null) tells
// whether the call went pending, that is whether an error came from the
// completion rather than from the call. Nothing is logged.
DWORD PipeTransfer(PipeOperation op, HANDLE pipe, OVERLAPPED* overlapped, void* data, DWORD size,
                   HANDLE stopEvent, DWORD timeoutMs, DWORD* transferred, bool* pended = nullptr);

// A manual-reset event, unsignalled; null on failure.
HANDLE NewPipeEvent();

// Opens the client end of a pipe by its full name for overlapped reading and
// writing, without sharing, at the identification level only (the server
// cannot impersonate the caller). One instance listens at a time, so a busy pipe is
// waited for (WaitNamedPipe) and opened again until timeoutMs have passed; a
// name that does not exist is looked for again in the same time (a server
// that is starting, or between two instances). Returns the handle, or
// INVALID_HANDLE_VALUE with *error set (2: still no such pipe at the end,
// 231: still busy at the end). Nothing is logged.
HANDLE OpenPipeClient(const char* name, DWORD timeoutMs, DWORD* error);

// The length message of the framing: 4 bytes, little-endian.
inline void EncodeFrameLength(uint32_t n, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(n);
  out[1] = static_cast<unsigned char>(n >> 8);
  out[2] = static_cast<unsigned char>(n >> 16);
  out[3] = static_cast<unsigned char>(n >> 24);
}
inline uint32_t DecodeFrameLength(const unsigned char in[4]) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}
