// CMessage_Internal: the form in which a received message waits in the
// server's queue, bound to the connection it came from. See message.h for the
// threading rules of messages.
#pragma once

#include <cstdint>

#include "tvlib/buffers/buffer.h"
#include "tvlib/ipc/message.h"
#include "tvlib/ipc/message_property.h"

class CServerPipeConnection;

// A received message bound to its connection, as one record of the server's
// queue: [connection address, pointer-sized][message bytes]. The address never
// leaves the process. Both views are attached to the bytes after the address.
// Not copyable: the views point into the owned buffer.
class CMessage_Internal {
 public:
  CMessage_Internal(const CMessage& message, CServerPipeConnection* connection);
  // From a popped record; a record shorter than the address gives a null
  // connection and empty views.
  CMessage_Internal(const unsigned char* record, uint32_t length);
  explicit CMessage_Internal(const CBufferBase<unsigned char>& record);
  virtual ~CMessage_Internal();
  CMessage_Internal(const CMessage_Internal&) = delete;
  CMessage_Internal& operator=(const CMessage_Internal&) = delete;

  CMessage& GetMessage() { return m_message; }
  CMessage_Property& GetProperty() { return m_property; }
  CServerPipeConnection* GetConnection() const;
  void SetConnection(CServerPipeConnection* connection);

  // The whole record, for CBuffer_Queue::PushBuffer.
  const CBufferBase<unsigned char>& GetRecord() const { return m_buffer; }

 private:
  void AttachViews();

  CBufferBase<unsigned char> m_buffer;
  CMessage m_message;
  CMessage_Property m_property;
};
