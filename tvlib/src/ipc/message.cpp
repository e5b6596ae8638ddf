#include "tvlib/ipc/message.h"

#include <cstring>

#include "tvlib/ipc/message_internal.h"

// ---------------------------------------------------------------- CMessage

CMessage::CMessage() = default;

CMessage::CMessage(unsigned char* bytes, uint32_t length) : m_buffer(bytes, length) {}

CMessage::CMessage(const CMessage& request, uint16_t code) {
  // Asked through the request's own slot: a derived message decides whether
  // its byte 0 exists.
  bool valid = request.IsValid();
  unsigned char header = 0x0C;
  if (valid) header |= request.GetData()[0] & 0x03;
  if (!SetSize(3)) return;
  m_buffer[0] = header;
  m_buffer[1] = static_cast<unsigned char>(code & 0xFF);
  m_buffer[2] = static_cast<unsigned char>(code >> 8);
  ReplaceAfter(3, request.GetData(), request.GetLength());
}

CMessage::~CMessage() = default;

bool CMessage::IsValid() const { return m_buffer.GetLength() != 0; }

bool CMessage::SetSize(uint32_t n) {
  // Realloc refuses to grow an attached view (and says so), where Resize
  // would silently swap in fresh owned memory.
  if (!m_buffer.Realloc(n)) return false;
  return m_buffer.SetLength(n);
}

bool CMessage::ReplaceAfter(uint32_t keep, const unsigned char* bytes, uint32_t count) {
  uint64_t n = static_cast<uint64_t>(keep) + count;
  if (n > 0xFFFFFFFFu) return LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
  uint32_t old = m_buffer.GetLength();
  if (!SetSize(static_cast<uint32_t>(n))) return false;
  if (old < keep) std::memset(m_buffer.GetData() + old, 0, keep - old);
  if (count != 0) std::memcpy(m_buffer.GetData() + keep, bytes, count);
  return true;
}

bool CMessage::InitHeader(int command, int kind, bool flagged) {
  return SetHeader(flagged, kind == kKindRequest, kind == kKindAnswer, command);
}

bool CMessage::SetHeader(bool flagged, bool request, bool answer, int command) {
  if (!SetSize(1)) return false;
  unsigned char header = static_cast<unsigned char>(command << 3);
  if (flagged) header |= 1;
  if (request) header |= 2;
  if (answer) header |= 4;
  m_buffer[0] = header;
  return true;
}

int CMessage::GetCommand() const { return IsValid() ? m_buffer[0] >> 3 : 0; }
bool CMessage::IsFlagged() const { return IsValid() && (m_buffer[0] & 1) != 0; }
bool CMessage::IsRequest() const { return IsValid() && (m_buffer[0] & 2) != 0; }
bool CMessage::IsAnswer() const { return IsValid() && (m_buffer[0] & 4) != 0; }

// ---------------------------------------------------------------- CMessageClient

CMessageClient::CMessageClient() : CMessageClient(0) {}

CMessageClient::CMessageClient(uint8_t code) {
  InitHeader(kCommandClient, kKindRequest, false);
  if (SetSize(2)) m_buffer[1] = code;
}

int CMessageClient::GetCommand() const { return GetLength() >= 2 ? m_buffer[1] : 0; }

bool CMessageClient::SetPayload(const unsigned char* bytes, uint32_t count) {
  return ReplaceAfter(2, bytes, count);
}

bool CMessageClient::GetPayload(CBufferBase<unsigned char>& out) const {
  uint32_t n = GetLength();
  if (n <= 2) return true;
  if (!out.Resize(n - 2)) return false;
  std::memcpy(out.GetData(), GetData() + 2, n - 2);
  return true;
}

// ---------------------------------------------------------------- CMessage_Client

CMessage_Client::CMessage_Client() { m_buffer.Append(static_cast<unsigned char>(0)); }

CMessage_Client::CMessage_Client(int command, uint8_t value) {
  if (SetSize(2)) {
    m_buffer[0] = static_cast<unsigned char>(command * 8 + 2);
    m_buffer[1] = value;
  }
}

int CMessage_Client::GetValue() const { return GetLength() >= 2 ? m_buffer[1] : 0; }

bool CMessage_Client::SetPayload(const unsigned char* bytes, uint32_t count) {
  return ReplaceAfter(2, bytes, count);
}

bool CMessage_Client::GetPayload(CBufferBase<unsigned char>& out) const {
  uint32_t n = GetLength();
  uint32_t count = n > 2 ? n - 2 : 0;
  if (!out.Resize(count)) return false;
  if (count != 0) std::memcpy(out.GetData(), GetData() + 2, count);
  return true;
}

// ---------------------------------------------------------------- CMessage_Internal

namespace {
const uint32_t kReferenceSize = sizeof(CServerPipeConnection*);
}

CMessage_Internal::CMessage_Internal(const CMessage& message, CServerPipeConnection* connection) {
  uint32_t n = message.GetLength();
  if (static_cast<uint64_t>(n) + kReferenceSize <= 0xFFFFFFFFu && m_buffer.Resize(n + kReferenceSize)) {
    std::memcpy(m_buffer.GetData(), &connection, kReferenceSize);
    if (n != 0) std::memcpy(m_buffer.GetData() + kReferenceSize, message.GetData(), n);
  } else {
    LogError("CBufferBase<T>::Realloc Failed to allocate buffer");
  }
  AttachViews();
}

CMessage_Internal::CMessage_Internal(const unsigned char* record, uint32_t length) {
  if (length != 0 && m_buffer.Resize(length)) std::memcpy(m_buffer.GetData(), record, length);
  AttachViews();
}

CMessage_Internal::CMessage_Internal(const CBufferBase<unsigned char>& record)
    : CMessage_Internal(record.GetData(), record.GetLength()) {}

CMessage_Internal::~CMessage_Internal() = default;

void CMessage_Internal::AttachViews() {
  if (m_buffer.GetLength() <= kReferenceSize) return;  // the views stay empty
  unsigned char* bytes = m_buffer.GetData() + kReferenceSize;
  uint32_t n = m_buffer.GetLength() - kReferenceSize;
  m_message.GetBuffer().Attach(bytes, n);
  m_property.GetBuffer().Attach(bytes, n);
}

CServerPipeConnection* CMessage_Internal::GetConnection() const {
  CServerPipeConnection* connection = nullptr;
  // The record's bytes carry no alignment: copy, never cast.
  if (m_buffer.GetLength() >= kReferenceSize) std::memcpy(&connection, m_buffer.GetData(), kReferenceSize);
  return connection;
}

void CMessage_Internal::SetConnection(CServerPipeConnection* connection) {
  if (m_buffer.GetLength() < kReferenceSize) {
    // A record too short to hold the address becomes [address] alone.
    m_buffer.Free();
    if (!m_buffer.Resize(kReferenceSize)) return;
  }
  std::memcpy(m_buffer.GetData(), &connection, kReferenceSize);
}
