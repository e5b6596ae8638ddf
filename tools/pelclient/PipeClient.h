// The client end of the control pipe, for pelclient and the tests: opens a
// pipe by its full name, writes raw pipe messages or framed bodies, and reads
// pipe messages or framed replies with a time-out.
//
// Every call returns ERROR_SUCCESS or a Win32 code, never throws or exits:
// ERROR_BROKEN_PIPE when the server has closed the connection, ERROR_TIMEOUT
// when nothing came in time, ERROR_INVALID_DATA for a reply that is not framed.
//
// Threads: one object belongs to one thread at a time, except that one thread
// may read while another writes (each direction has its own record and event).
#pragma once

#include <functional>
#include <string>

#include "tvlib/win.h"

class CPipeClient {
 public:
  static constexpr DWORD kDefaultPieceSize = 1024;
  // The framing's longest message, a body's piece.
  static constexpr DWORD kMaxMessageSize = 1024;
  static constexpr DWORD kDefaultTimeoutMs = 5000;

  CPipeClient();
  ~CPipeClient();
  CPipeClient(const CPipeClient&) = delete;
  CPipeClient& operator=(const CPipeClient&) = delete;

  // Opens `name` (retrying a busy pipe within timeoutMs) and switches the
  // handle to message reads.
  DWORD Open(const std::string& name, DWORD timeoutMs = kDefaultTimeoutMs);
  void Close();
  bool IsOpen() const { return m_pipe != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return m_pipe; }

  // One pipe message of any length, 0 included.
  DWORD WriteMessage(const std::string& bytes, DWORD timeoutMs = kDefaultTimeoutMs);
  // One framed body: the length alone, then pieces of at most pieceSize bytes.
  DWORD SendFramed(const std::string& body, DWORD pieceSize = kDefaultPieceSize,
                   DWORD timeoutMs = kDefaultTimeoutMs);

  // One pipe message of at most kMaxMessageSize bytes, 0 included; a longer
  // one gives ERROR_INVALID_DATA, its bytes left unread.
  DWORD ReadMessage(std::string& message, DWORD timeoutMs = kDefaultTimeoutMs);
  // One framed reply: a 4-byte message, then non-empty body messages up to
  // that length (ERROR_INVALID_DATA otherwise). Every pipe message read is
  // also handed to onMessage when set.
  DWORD ReadReply(std::string& body, DWORD timeoutMs = kDefaultTimeoutMs,
                  const std::function<void(const std::string&)>& onMessage = nullptr);

 private:
  HANDLE m_pipe;
  OVERLAPPED m_read;
  OVERLAPPED m_write;
};
