// IP protocol objects: how sockets of one protocol are opened and how its
// datagrams are framed, and the cache of the sockets that its lines share.
//
// TCP and UDP leave their headers to the system's stack. UDP-Lite (a
// SOCK_DGRAM socket of protocol 136) puts its own 8-byte header in front of
// the payload:
//   0  source port, 2  destination port, 4  checksum coverage from the start
//   of the header (sent as 8; on receipt 0 or beyond the datagram means all
//   of it), 6  InternetChecksum over bytes 0-5 continued over 8..coverage-1
//   (no pseudo-header; a computed 0 goes out as 0xFFFF), all big-endian.
// RAW (a SOCK_RAW socket of protocol 253, 254 or any number given) appends a
// 2-byte trailer: the ports byte (source in bits 0-3, destination in bits
// 4-7) and its parity from the global raw Reed-Solomon codec (4, 8, 8), which
// corrects one wrong nibble of the two. The payload itself is not protected.
//
// Sharing: GetSocketSharing 1 gives every line a socket of its own (not
// cached, deleted by ReleaseSocket); 2 gives one socket per local IP address,
// cached here and shared by every line of that IP (the framings that carry
// the ports tell those lines apart). A shared socket owns a clone of the
// local address it was made for, so its lines' addresses may go in any order.
//
// Threads: the cache is touched only under m_csCache. Framing keeps no state
// in the protocol object and the raw codec is reentrant, so any number of
// sockets and senders may frame at once.
//
// Ownership: the creator owns the protocol object; it owns the cached sockets
// and deletes them in its destructor, so every line of the protocol must be
// destroyed before it.
#pragma once

#include <cstdint>

#include "tvlib/win.h"
#include <winsock2.h>

#include "tvlib/buffers/buffer.h"

class CIPbase;
class CSocket;

class CIPProto {
 public:
  CIPProto();
  virtual ~CIPProto();
  CIPProto(const CIPProto&) = delete;
  CIPProto& operator=(const CIPProto&) = delete;

  virtual const char* GetName() const = 0;
  virtual int GetSocketType() const = 0;
  virtual bool IsStream() const = 0;
  virtual int GetProtocolNumber() const = 0;
  // True when datagrams arrive with their IP header in front.
  virtual bool ReceivesIPHeader() const = 0;
  virtual bool IsStandardProtocol() const = 0;
  virtual int GetMinPort() const = 0;
  virtual int GetMaxPort() const = 0;
  virtual bool SetSocketOptions(const CIPbase* address, SOCKET handle) = 0;
  virtual bool SetTransportOptions(const CIPbase* address, SOCKET handle) = 0;
  virtual bool HasFrame() const;
  // Frame the payload in `buffer` in place (it grows by GetFrameSize).
  virtual bool FormatFrame(CBufferBase<unsigned char>& buffer, const CIPbase* source,
                           const CIPbase* destination) const;
  // Checks and strips a received frame in place; source and destination (if
  // given) take the frame's ports. A refused frame leaves the buffer as it was.
  virtual bool ExtractFrame(CBufferBase<unsigned char>& buffer, CIPbase* source, CIPbase* destination) const;
  virtual int GetSocketSharing() const = 0;
  virtual int GetFrameSize() const;
  virtual int GetHeaderSize() const = 0;

  // 1 UDP, 2 TCP, 3 UDP-Lite, 4 RAW (253), 5 RAW (254); null for other ids.
  static CIPProto* Create(int id);
  // "UDP", "TCP", "UDPLite", "RAW", "RAW2", whole names in any case.
  static CIPProto* Create(const char* name);
  // The id for one of those names, 0 for any other.
  static int GetProtocolId(const char* name);

  // One's-complement checksum of the bytes (big-endian words, an odd last byte
  // as a high byte), continuing a checksum over preceding bytes when previous
  // is not 0.
  static uint16_t InternetChecksum(const unsigned char* bytes, uint32_t length, uint16_t previous);

  // A socket bound to the local address: shared protocols hand out the cached
  // socket of that IP (re-created in place when its handle was closed), the
  // others a new one. False after logging why.
  bool GetSocketFor(CIPbase* local, CSocket** socket);
  // Deletes an unshared socket; a shared one stays cached. Always true.
  bool ReleaseSocket(CSocket* socket, CIPbase* local);

 private:
  CBufferBase<CSocket*> m_SocketCache;  // guarded by m_csCache; sockets owned
  CRITICAL_SECTION m_csCache;
};

class CIPProto_TCP : public CIPProto {
 public:
  const char* GetName() const override { return "TCP"; }
  int GetSocketType() const override { return SOCK_STREAM; }
  bool IsStream() const override { return true; }
  int GetProtocolNumber() const override { return IPPROTO_TCP; }
  bool ReceivesIPHeader() const override { return false; }
  bool IsStandardProtocol() const override { return true; }
  int GetMinPort() const override { return 1; }
  int GetMaxPort() const override { return 65535; }
  bool SetSocketOptions(const CIPbase* address, SOCKET handle) override;
  bool SetTransportOptions(const CIPbase* address, SOCKET handle) override;
  int GetSocketSharing() const override { return 1; }
  int GetHeaderSize() const override { return 20; }
};

class CIPProto_UDP : public CIPProto {
 public:
  const char* GetName() const override { return "UDP"; }
  int GetSocketType() const override { return SOCK_DGRAM; }
  bool IsStream() const override { return false; }
  int GetProtocolNumber() const override { return IPPROTO_UDP; }
  bool ReceivesIPHeader() const override { return false; }
  bool IsStandardProtocol() const override { return true; }
  int GetMinPort() const override { return 1; }
  int GetMaxPort() const override { return 65535; }
  bool SetSocketOptions(const CIPbase* address, SOCKET handle) override;
  // IPv4: checksums off; IPv6 cannot do without them (false).
  bool SetTransportOptions(const CIPbase* address, SOCKET handle) override;
  int GetSocketSharing() const override { return 1; }
  int GetHeaderSize() const override { return 8; }
};

class CIPProto_UDPLite : public CIPProto {
 public:
  const char* GetName() const override { return "UDP-Lite"; }
  int GetSocketType() const override { return SOCK_DGRAM; }
  bool IsStream() const override { return false; }
  int GetProtocolNumber() const override { return 136; }
  bool ReceivesIPHeader() const override { return false; }
  bool IsStandardProtocol() const override { return true; }
  int GetMinPort() const override { return 1; }
  int GetMaxPort() const override { return 65535; }
  bool SetSocketOptions(const CIPbase* address, SOCKET handle) override;
  // IPV6_HDRINCL, asked for both families alike.
  bool SetTransportOptions(const CIPbase* address, SOCKET handle) override;
  bool HasFrame() const override { return true; }
  bool FormatFrame(CBufferBase<unsigned char>& buffer, const CIPbase* source,
                   const CIPbase* destination) const override;
  bool ExtractFrame(CBufferBase<unsigned char>& buffer, CIPbase* source, CIPbase* destination) const override;
  int GetSocketSharing() const override { return 2; }
  int GetFrameSize() const override { return 8; }
  int GetHeaderSize() const override { return 8; }

 private:
  // Frames are built in the caller's buffer, so that senders on any number of
  // threads never meet here; these two are kept without a user.
  CBufferBase<unsigned char> m_FrameBuffer;
  CBufferBase<unsigned char> m_WorkBuffer;
};

class CIPProto_Raw : public CIPProto {
 public:
  explicit CIPProto_Raw(int protocolNumber) : m_iProtocolNumber(protocolNumber) {}

  const char* GetName() const override { return "Raw"; }
  int GetSocketType() const override { return SOCK_RAW; }
  bool IsStream() const override { return false; }
  int GetProtocolNumber() const override { return m_iProtocolNumber; }
  bool ReceivesIPHeader() const override { return true; }
  bool IsStandardProtocol() const override { return false; }
  int GetMinPort() const override { return 1; }
  int GetMaxPort() const override { return 15; }
  bool SetSocketOptions(const CIPbase* address, SOCKET handle) override;
  bool SetTransportOptions(const CIPbase* address, SOCKET handle) override;
  bool HasFrame() const override { return true; }
  // Ports 0..15 only.
  bool FormatFrame(CBufferBase<unsigned char>& buffer, const CIPbase* source,
                   const CIPbase* destination) const override;
  bool ExtractFrame(CBufferBase<unsigned char>& buffer, CIPbase* source, CIPbase* destination) const override;
  int GetSocketSharing() const override { return 2; }
  int GetFrameSize() const override { return 2; }
  int GetHeaderSize() const override { return 2; }

 private:
  int m_iProtocolNumber;
  CBufferBase<unsigned char> m_WorkBuffer1;  // no user
  CBufferBase<unsigned char> m_WorkBuffer2;  // no user
};
