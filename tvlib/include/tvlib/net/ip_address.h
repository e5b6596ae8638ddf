// IP address objects of the socket layer: an address with a port, held as a
// Winsock socket address of its family.
//
// CIPbase is the interface; CIPv4 holds a sockaddr_in, CIPv6 a sockaddr_in6.
// Besides parsing, formatting, ports and comparison, an address builds and
// checks the IP header of its family (for protocols whose datagrams arrive
// with their IP header) and converts to and from the 20-byte raw record.
//
// Threads: no lock. One object is used by one thread at a time; a socket's
// receiver thread works on its own clone of the socket's address. ToString
// returns the object's own text buffer, overwritten by the next call.
//
// Ownership: Clone and CreateFromRaw give a new object that the caller owns.
// The header and payload views of ExtractIPHeader point into the datagram.
#pragma once

#include <cstdint>
#include <string>

#include "tvlib/win.h"
#include <winsock2.h>
#include <ws2tcpip.h>

#include "tvlib/buffers/buffer.h"

class CIPProto;

// Raw address record (20 bytes). Byte 0 is the kind: 1 IPv4, 2 IPv6, 0 no
// address; bytes 1-3 are 0. IPv6: bytes 4-19 are the 16 address bytes in
// reverse order. IPv4: bytes 4-15 are 0 and bytes 16-19 hold a.b.c.d as
// d, c, b, a.
struct IPRawAddress {
  unsigned char bytes[20];
};

class CIPbase {
 public:
  virtual ~CIPbase() = default;

  virtual const char* GetName() const = 0;
  // 0 for IPv4, 1 for IPv6.
  virtual int GetVersionIndex() const = 0;
  virtual bool IsSameFamily(const CIPbase* other) const;
  // Same address (IsSameAddress), and either port 0 or both ports equal.
  virtual bool Matches(const CIPbase* other) const;
  // Same family and address; ports are not compared.
  virtual bool IsSameAddress(const CIPbase* other) const = 0;
  virtual bool IsIPv4() const;
  virtual CIPbase* Clone() const = 0;
  virtual const char* GetHelpText() const = 0;
  // Null or "" sets the any-address and succeeds.
  virtual bool Parse(const char* text) = 0;
  virtual bool SetLoopback() = 0;
  virtual bool SetAny() = 0;
  virtual const char* ToString() = 0;
  // Stores the port; false for port 0 (which is stored all the same).
  virtual bool SetPort(unsigned short port) = 0;
  virtual unsigned short GetPort() const = 0;
  virtual const sockaddr* GetSockAddr() const = 0;
  virtual sockaddr* GetSockAddr() = 0;
  virtual int GetSockAddrSize() const = 0;
  virtual int GetFamily() const = 0;
  // Sizes `header` to this family's header for `payload` of `protocol`, sent
  // from source to destination (both of this family).
  virtual bool FormatIPHeader(const CBufferBase<unsigned char>& payload, const CIPProto* protocol,
                              CBufferBase<unsigned char>& header, const CIPbase* source,
                              const CIPbase* destination) const = 0;
  // Splits a received datagram into header and payload views. The sender (if
  // given) takes the header's source address, its port untouched; protocol
  // (if given) the upper-layer protocol. A datagram that fails any check
  // returns false with neither the views nor the sender touched.
  virtual bool ExtractIPHeader(CBufferBase<unsigned char>& datagram, CBufferBase<unsigned char>& header,
                               CBufferBase<unsigned char>& payload, CIPbase* sender, int* protocol) const = 0;
  virtual bool FromRaw(const IPRawAddress& raw) = 0;
  virtual void ToRaw(IPRawAddress& raw) const = 0;
  // Copies the other's whole socket address; false for another family.
  virtual bool Assign(const CIPbase* other) = 0;

  // Kind 1 gives a CIPv4, kind 2 a CIPv6 (owned by the caller), else null.
  static CIPbase* CreateFromRaw(const IPRawAddress& raw);
  // The text of a raw record; "" for kind 0 or an unknown kind.
  static std::string RawToString(const IPRawAddress& raw);
  // Text (length bytes, not necessarily terminated) to its raw record:
  // length 0 gives kind 0, an empty text 0.0.0.0, an unknown text kind 0.
  static IPRawAddress StringToRaw(const char* text, size_t length);
};

class CIPv4 : public CIPbase {
 public:
  CIPv4();
  CIPv4(const CIPv4& other);
  CIPv4& operator=(const CIPv4& other);

  const char* GetName() const override { return "IPv4"; }
  int GetVersionIndex() const override { return 0; }
  bool IsSameAddress(const CIPbase* other) const override;
  CIPbase* Clone() const override { return new CIPv4(*this); }
  const char* GetHelpText() const override;
  // The text is read as inet_addr reads it; the port is kept. A failure
  // leaves INADDR_NONE, so "255.255.255.255" does not parse.
  bool Parse(const char* text) override;
  bool SetLoopback() override;
  bool SetAny() override;
  const char* ToString() override;
  bool SetPort(unsigned short port) override;
  unsigned short GetPort() const override;
  const sockaddr* GetSockAddr() const override { return reinterpret_cast<const sockaddr*>(&m_addr); }
  sockaddr* GetSockAddr() override { return reinterpret_cast<sockaddr*>(&m_addr); }
  int GetSockAddrSize() const override { return sizeof(sockaddr_in); }
  int GetFamily() const override { return AF_INET; }
  bool FormatIPHeader(const CBufferBase<unsigned char>& payload, const CIPProto* protocol,
                      CBufferBase<unsigned char>& header, const CIPbase* source,
                      const CIPbase* destination) const override;
  bool ExtractIPHeader(CBufferBase<unsigned char>& datagram, CBufferBase<unsigned char>& header,
                       CBufferBase<unsigned char>& payload, CIPbase* sender, int* protocol) const override;
  bool FromRaw(const IPRawAddress& raw) override;
  void ToRaw(IPRawAddress& raw) const override;
  bool Assign(const CIPbase* other) override;

  // The address in network order.
  uint32_t GetAddress() const { return m_addr.sin_addr.s_addr; }

 private:
  sockaddr_in m_addr;
  char m_szText[23];
};

class CIPv6 : public CIPbase {
 public:
  CIPv6();
  CIPv6(const CIPv6& other);
  CIPv6& operator=(const CIPv6& other);

  const char* GetName() const override { return "IPv6"; }
  int GetVersionIndex() const override { return 1; }
  bool IsSameAddress(const CIPbase* other) const override;
  CIPbase* Clone() const override { return new CIPv6(*this); }
  const char* GetHelpText() const override;
  // Converts into the whole socket address: a text with a port or a scope
  // sets them, one without leaves them 0. After a failure the family is
  // AF_INET6 again and the rest is what the conversion left.
  bool Parse(const char* text) override;
  bool SetLoopback() override;
  bool SetAny() override;
  // With a port the system's text is "[addr]:port".
  const char* ToString() override;
  bool SetPort(unsigned short port) override;
  unsigned short GetPort() const override;
  const sockaddr* GetSockAddr() const override { return reinterpret_cast<const sockaddr*>(&m_addr); }
  sockaddr* GetSockAddr() override { return reinterpret_cast<sockaddr*>(&m_addr); }
  int GetSockAddrSize() const override { return sizeof(sockaddr_in6); }
  int GetFamily() const override { return AF_INET6; }
  bool FormatIPHeader(const CBufferBase<unsigned char>& payload, const CIPProto* protocol,
                      CBufferBase<unsigned char>& header, const CIPbase* source,
                      const CIPbase* destination) const override;
  // Walks the extension headers (Hop-by-Hop, Routing, Destination options,
  // Fragment) within the packet: the datagram's bytes, cut to the Payload
  // Length when that is smaller (and not 0). No next header (59) ends the
  // header where the walk stands, with an empty payload.
  bool ExtractIPHeader(CBufferBase<unsigned char>& datagram, CBufferBase<unsigned char>& header,
                       CBufferBase<unsigned char>& payload, CIPbase* sender, int* protocol) const override;
  bool FromRaw(const IPRawAddress& raw) override;
  void ToRaw(IPRawAddress& raw) const override;
  bool Assign(const CIPbase* other) override;

 private:
  sockaddr_in6 m_addr;
  char m_szText[66];
};
