#include "tvlib/fec/reed_solomon_codec.h"
#include "tvlib/net/ip_address.h"
#include "tvlib/net/ip_proto.h"
#include "tvlib/log/log.h"

// RAW sockets carry no options of their own.
bool CIPProto_Raw::SetSocketOptions(const CIPbase*, SOCKET) { return true; }

bool CIPProto_Raw::SetTransportOptions(const CIPbase*, SOCKET) { return true; }

bool CIPProto_Raw::FormatFrame(CBufferBase<unsigned char>& buffer, const CIPbase* source,
                               const CIPbase* destination) const {
  unsigned from = source != nullptr ? source->GetPort() : 0;
  unsigned to = destination != nullptr ? destination->GetPort() : 0;
  if (from > 15 || to > 15) return LogErrorFalse("RAW Protocol: ports must be between 0-15");
  const CReedSolomonRaw* codec = GetGlobalRawFEC();
  uint32_t length = buffer.GetLength();
  if (codec == nullptr || length > 0xFFFFFFFFu - 2 || !buffer.Realloc(length + 2)) return false;
  buffer.SetLength(length + 2);
  unsigned char* trailer = buffer.GetData() + length;
  trailer[0] = static_cast<unsigned char>(to * 16 + (from & 15));
  trailer[1] = 0;
  // The codec grows its one data byte to the two coded bytes: a view with room
  // for both lets it do so in place.
  CBufferBase<unsigned char> view(trailer, 1, 2);
  if (codec->ComputeFEC(view)) return true;
  buffer.SetLength(length);
  return false;
}

bool CIPProto_Raw::ExtractFrame(CBufferBase<unsigned char>& buffer, CIPbase* source,
                                CIPbase* destination) const {
  uint32_t length = buffer.GetLength();
  const CReedSolomonRaw* codec = GetGlobalRawFEC();
  if (length < 2 || codec == nullptr) return false;
  unsigned char* trailer = buffer.GetData() + length - 2;
  CBufferBase<unsigned char> view(trailer, 2);
  if (!codec->ExtractData(view, nullptr)) return false;  // the buffer is untouched
  unsigned char ports = trailer[0];
  buffer.SetLength(length - 2);
  if (source != nullptr) source->SetPort(ports & 15);
  if (destination != nullptr) destination->SetPort(ports >> 4);
  return true;
}
