// CMessage_Property: a message whose payload is a stream of tagged items.
// Every CMessage_Internal carries one as a view of its message bytes.
#pragma once

#include <cstdint>

#include "tvlib/ipc/message.h"

class CMessage_Property : public CMessage {
 public:
  // Empty, owned.
  CMessage_Property() = default;
  // Attached to bytes that the caller owns and keeps alive.
  CMessage_Property(unsigned char* bytes, uint32_t length) : CMessage(bytes, length) {}
};
