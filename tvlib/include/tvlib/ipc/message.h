// Messages of the control pipe and of the server's message queue (the queued
// form, CMessage_Internal, is in message_internal.h).
//
// A message is a counted run of bytes. Byte 0, the header byte, holds the
// command in bits 7-3, then the answer (bit 2), request (bit 1) and flagged
// (bit 0) bits; the payload follows. A message built by its own constructors
// owns its bytes; a view (CMessage_Internal's) is attached to bytes it does
// not own and never reallocates them: writing past an attached view fails
// with the buffer's "called with attached buffer" line.
//
// Threads: none. A message belongs to one thread at a time (a connection
// thread builds a record and pushes its bytes into the server's queue, which
// copies them; the server thread pops and rebuilds it). Nothing here locks or
// throws; allocation failures are logged by CBufferBase and the message keeps
// what it could hold.
#pragma once

#include <cstdint>

#include "tvlib/buffers/buffer.h"

class CMessage {
 public:
  // Header kinds of InitHeader.
  enum { kKindRequest = 0, kKindAnswer = 1 };
  // Commands in use: the error answer, a client request or reply, and the
  // connection-ended notice that only the server queues internally.
  enum { kCommandError = 1, kCommandClient = 11, kCommandClosed = 12 };

  // Empty, owned.
  CMessage();
  // Attached to bytes that the caller owns and keeps alive.
  CMessage(unsigned char* bytes, uint32_t length);
  // The error answer for `request`: [0x0C | request and flagged bits of the
  // request][code, little-endian][the whole request]; owned.
  CMessage(const CMessage& request, uint16_t code);
  virtual ~CMessage();
  CMessage(const CMessage&) = delete;
  CMessage& operator=(const CMessage&) = delete;

  virtual bool IsValid() const;

  // The message becomes one byte: command << 3, | 1 when flagged, | 2 for
  // kind 0 (request), | 4 for kind 1 (answer); other kinds set neither bit.
  bool InitHeader(int command, int kind, bool flagged);
  // The same with the three bits given one by one.
  bool SetHeader(bool flagged, bool request, bool answer, int command);

  // Byte 0 >> 3; 0 when the message is not valid. Deliberately not virtual:
  // CMessageClient's GetCommand is the request code, and a call through a
  // CMessage& must still give the header's command.
  int GetCommand() const;
  bool IsFlagged() const;
  bool IsRequest() const;
  bool IsAnswer() const;

  CBufferBase<unsigned char>& GetBuffer() { return m_buffer; }
  const CBufferBase<unsigned char>& GetBuffer() const { return m_buffer; }
  const unsigned char* GetData() const { return m_buffer.GetData(); }
  uint32_t GetLength() const { return m_buffer.GetLength(); }

 protected:
  // Length n, growing an owned buffer when needed (an attached one never grows).
  bool SetSize(uint32_t n);
  // Bytes [0, keep) stay, `count` bytes from `bytes` follow; length keep + count.
  bool ReplaceAfter(uint32_t keep, const unsigned char* bytes, uint32_t count);

  CBufferBase<unsigned char> m_buffer;
};

// [0x5A][request code][payload]: every request and reply of the control pipe.
class CMessageClient : public CMessage {
 public:
  // [0x5A][0]
  CMessageClient();
  // [0x5A][code]
  explicit CMessageClient(uint8_t code);

  // Byte 1, the request code (0 for a message shorter than 2 bytes).
  int GetCommand() const;
  // Bytes 0 and 1 unchanged, then a copy of `bytes`: length 2 + count.
  bool SetPayload(const unsigned char* bytes, uint32_t count);
  // Copies bytes 2.. into `out`, resized to that count; `out` is left as it
  // was when the message has 2 bytes or fewer.
  bool GetPayload(CBufferBase<unsigned char>& out) const;
};

// [command * 8 + 2][value][payload]: the generic two-byte header. Abstract;
// a user derives from it and gives the payload its meaning.
class CMessage_Client : public CMessage {
 public:
  // One zero byte.
  CMessage_Client();
  // [command * 8 + 2][value]: the request bit set.
  CMessage_Client(int command, uint8_t value);

  // Byte 1 (0 for a message shorter than 2 bytes).
  int GetValue() const;
  bool SetPayload(const unsigned char* bytes, uint32_t count);
  // Bytes 2..; empty for a message shorter than 2 bytes.
  bool GetPayload(CBufferBase<unsigned char>& out) const;

  // The derived class's reading of its payload.
  virtual bool DecodePayload() = 0;
};
