#include "tools/pelclient/PipeClient.h"

#include "tvlib/ipc/pipe_io.h"

CPipeClient::CPipeClient() : m_pipe(INVALID_HANDLE_VALUE), m_read(), m_write() {
  m_read.hEvent = NewPipeEvent();
  m_write.hEvent = NewPipeEvent();
}

CPipeClient::~CPipeClient() {
  Close();
  if (m_read.hEvent != nullptr) ::CloseHandle(m_read.hEvent);
  if (m_write.hEvent != nullptr) ::CloseHandle(m_write.hEvent);
}

DWORD CPipeClient::Open(const std::string& name, DWORD timeoutMs) {
  Close();
  if (m_read.hEvent == nullptr || m_write.hEvent == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD error = ERROR_SUCCESS;
  m_pipe = OpenPipeClient(name.c_str(), timeoutMs, &error);
  if (m_pipe == INVALID_HANDLE_VALUE) return error;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(m_pipe, &mode, nullptr, nullptr)) {
    error = ::GetLastError();
    Close();
    return error;
  }
  return ERROR_SUCCESS;
}

void CPipeClient::Close() {
  if (m_pipe != INVALID_HANDLE_VALUE) ::CloseHandle(m_pipe);
  m_pipe = INVALID_HANDLE_VALUE;
}

DWORD CPipeClient::WriteMessage(const std::string& bytes, DWORD timeoutMs) {
  DWORD put = 0;
  DWORD error = PipeTransfer(kPipeWrite, m_pipe, &m_write, const_cast<char*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()), nullptr, timeoutMs, &put);
  if (error == ERROR_SUCCESS && put != bytes.size()) error = ERROR_WRITE_FAULT;
  return error;
}

DWORD CPipeClient::SendFramed(const std::string& body, DWORD pieceSize, DWORD timeoutMs) {
  unsigned char length[4];
  EncodeFrameLength(static_cast<uint32_t>(body.size()), length);
  DWORD error = WriteMessage(std::string(reinterpret_cast<char*>(length), 4), timeoutMs);
  if (pieceSize == 0) pieceSize = kDefaultPieceSize;
  for (size_t sent = 0; error == ERROR_SUCCESS && sent < body.size(); sent += pieceSize)
    error = WriteMessage(body.substr(sent, pieceSize), timeoutMs);
  return error;
}

DWORD CPipeClient::ReadMessage(std::string& message, DWORD timeoutMs) {
  message.clear();
  char piece[kMaxMessageSize];
  DWORD got = 0;
  DWORD error = PipeTransfer(kPipeRead, m_pipe, &m_read, piece, sizeof(piece), nullptr, timeoutMs, &got);
  // Longer than any message of the framing: not taken in, since a process
  // answering in the server's place could send gigabytes.
  if (error == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
  message.assign(piece, got);
  return error;
}

DWORD CPipeClient::ReadReply(std::string& body, DWORD timeoutMs,
                             const std::function<void(const std::string&)>& onMessage) {
  body.clear();
  std::string message;
  DWORD error = ReadMessage(message, timeoutMs);
  if (error != ERROR_SUCCESS) return error;
  if (onMessage) onMessage(message);
  if (message.size() != 4) return ERROR_INVALID_DATA;
  uint32_t length = DecodeFrameLength(reinterpret_cast<const unsigned char*>(message.data()));
  while (body.size() < length) {
    error = ReadMessage(message, timeoutMs);
    if (error != ERROR_SUCCESS) return error;
    if (onMessage) onMessage(message);
    // A piece is never empty: a flood of empty messages would keep the read
    // going for ever.
    if (message.empty() || message.size() > length - body.size()) return ERROR_INVALID_DATA;
    body += message;
  }
  return ERROR_SUCCESS;
}
