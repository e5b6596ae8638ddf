#include "tvlib/net/ip_address.h"

#include <cstdio>
#include <cstring>

#include "tvlib/net/ip_proto.h"

namespace {

// Both a sockaddr_in: the four address bytes as stored (network order).
const sockaddr_in* AsV4(const CIPbase* address) {
  return reinterpret_cast<const sockaddr_in*>(address->GetSockAddr());
}
const sockaddr_in6* AsV6(const CIPbase* address) {
  return reinterpret_cast<const sockaddr_in6*>(address->GetSockAddr());
}

// One's-complement checksum of an IPv4 header of `length` bytes, its own
// field (bytes 10-11) counted as 0, options included.
uint16_t V4HeaderChecksum(const unsigned char* header, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 1 < length; i += 2) {
    if (i == 10) continue;
    sum += (static_cast<uint32_t>(header[i]) << 8) | header[i + 1];
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void PutBig16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

}  // namespace

// ---------------------------------------------------------------- CIPbase

bool CIPbase::IsSameFamily(const CIPbase* other) const {
  return other != nullptr && other->GetFamily() == GetFamily();
}

bool CIPbase::Matches(const CIPbase* other) const {
  if (!IsSameAddress(other)) return false;
  unsigned short mine = GetPort(), theirs = other->GetPort();
  return mine == 0 || theirs == 0 || mine == theirs;
}

bool CIPbase::IsIPv4() const { return GetVersionIndex() == 0; }

CIPbase* CIPbase::CreateFromRaw(const IPRawAddress& raw) {
  CIPbase* address = nullptr;
  if (raw.bytes[0] == 1)
    address = new CIPv4();
  else if (raw.bytes[0] == 2)
    address = new CIPv6();
  else
    return nullptr;
  address->FromRaw(raw);
  return address;
}

std::string CIPbase::RawToString(const IPRawAddress& raw) {
  CIPbase* address = CreateFromRaw(raw);
  if (address == nullptr) return std::string();
  std::string text = address->ToString();
  delete address;
  return text;
}

IPRawAddress CIPbase::StringToRaw(const char* text, size_t length) {
  IPRawAddress raw = {};
  if (length == 0) return raw;
  CIPv4 v4;
  if (text == nullptr || text[0] == '\0') {
    v4.ToRaw(raw);
    return raw;
  }
  // The text need not be terminated: both conversions read a bounded copy.
  std::string copy(text, strnlen(text, length));
  unsigned long value = ::inet_addr(copy.c_str());
  if (value != INADDR_NONE) {
    reinterpret_cast<sockaddr_in*>(v4.GetSockAddr())->sin_addr.s_addr = value;
    v4.ToRaw(raw);
    return raw;
  }
  sockaddr_in6 v6 = {};
  int size = sizeof(v6);
  if (::WSAStringToAddressA(&copy[0], AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&v6), &size) == 0) {
    CIPv6 address;
    std::memcpy(address.GetSockAddr(), &v6, sizeof(v6));
    address.ToRaw(raw);
  }
  return raw;
}

// ---------------------------------------------------------------- CIPv4

CIPv4::CIPv4() : m_addr(), m_szText() { m_addr.sin_family = AF_INET; }

CIPv4::CIPv4(const CIPv4& other) : CIPbase(), m_addr(other.m_addr), m_szText() {}

CIPv4& CIPv4::operator=(const CIPv4& other) {
  m_addr = other.m_addr;
  return *this;
}

bool CIPv4::IsSameAddress(const CIPbase* other) const {
  return IsSameFamily(other) && AsV4(other)->sin_addr.s_addr == m_addr.sin_addr.s_addr;
}

const char* CIPv4::GetHelpText() const { return "'a.b.c.d' where a,b,c and d are numbers between 0 and 255"; }

bool CIPv4::Parse(const char* text) {
  if (text == nullptr || text[0] == '\0') return SetAny();
  m_addr.sin_addr.s_addr = ::inet_addr(text);
  return m_addr.sin_addr.s_addr != INADDR_NONE;
}

bool CIPv4::SetLoopback() {
  m_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return true;
}

bool CIPv4::SetAny() {
  m_addr.sin_addr.s_addr = htonl(INADDR_ANY);
  return true;
}

const char* CIPv4::ToString() {
  // inet_ntoa's text, formatted here: its buffer is shared by the thread.
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&m_addr.sin_addr.s_addr);
  snprintf(m_szText, sizeof(m_szText), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return m_szText;
}

bool CIPv4::SetPort(unsigned short port) {
  m_addr.sin_port = htons(port);
  return port != 0;
}

unsigned short CIPv4::GetPort() const { return ntohs(m_addr.sin_port); }

bool CIPv4::FormatIPHeader(const CBufferBase<unsigned char>& payload, const CIPProto* protocol,
                           CBufferBase<unsigned char>& header, const CIPbase* source,
                           const CIPbase* destination) const {
  if (protocol == nullptr || !IsSameFamily(source) || !IsSameFamily(destination)) return false;
  uint32_t total = payload.GetLength() + 20;
  if (total > 0xFFFF || !header.Resize(20)) return false;
  unsigned char* h = header.GetData();
  std::memset(h, 0, 20);
  h[0] = 0x45;
  h[1] = 0x38;
  PutBig16(h + 2, total);
  PutBig16(h + 6, 0x4000);
  h[8] = 255;
  h[9] = static_cast<unsigned char>(protocol->GetProtocolNumber());
  std::memcpy(h + 12, &AsV4(source)->sin_addr.s_addr, 4);
  std::memcpy(h + 16, &AsV4(destination)->sin_addr.s_addr, 4);
  PutBig16(h + 10, V4HeaderChecksum(h, 20));
  return true;
}

bool CIPv4::ExtractIPHeader(CBufferBase<unsigned char>& datagram, CBufferBase<unsigned char>& header,
                            CBufferBase<unsigned char>& payload, CIPbase* sender, int* protocol) const {
  uint32_t length = datagram.GetLength();
  unsigned char* d = datagram.GetData();
  if (length < 20 || (d[0] >> 4) != 4) return false;
  uint32_t headerLength = (d[0] & 0x0F) * 4u;
  if (headerLength < 20 || headerLength > length) return false;
  uint16_t stored = static_cast<uint16_t>((d[10] << 8) | d[11]);
  if (V4HeaderChecksum(d, headerLength) != stored) return false;
  // Bytes beyond the Total Length (a link's padding) are not the packet's.
  const uint32_t total = (static_cast<uint32_t>(d[2]) << 8) | d[3];
  if (total >= headerLength && total < length) length = total;
  if (sender != nullptr && !IsSameFamily(sender)) return false;
  header.Attach(d, headerLength);
  payload.Attach(d + headerLength, length - headerLength);
  if (sender != nullptr)
    std::memcpy(&reinterpret_cast<sockaddr_in*>(sender->GetSockAddr())->sin_addr.s_addr, d + 12, 4);
  if (protocol != nullptr) *protocol = d[9];
  return true;
}

bool CIPv4::FromRaw(const IPRawAddress& raw) {
  if (raw.bytes[0] != 1) return false;
  // Stored byte by byte: through the dotted text, 255.255.255.255 would read
  // as inet_addr's failure value.
  unsigned char* a = reinterpret_cast<unsigned char*>(&m_addr.sin_addr.s_addr);
  a[0] = raw.bytes[19];
  a[1] = raw.bytes[18];
  a[2] = raw.bytes[17];
  a[3] = raw.bytes[16];
  return true;
}

void CIPv4::ToRaw(IPRawAddress& raw) const {
  std::memset(raw.bytes, 0, sizeof(raw.bytes));
  raw.bytes[0] = 1;
  const unsigned char* a = reinterpret_cast<const unsigned char*>(&m_addr.sin_addr.s_addr);
  raw.bytes[16] = a[3];
  raw.bytes[17] = a[2];
  raw.bytes[18] = a[1];
  raw.bytes[19] = a[0];
}

bool CIPv4::Assign(const CIPbase* other) {
  if (!IsSameFamily(other)) return false;
  m_addr = *AsV4(other);
  return true;
}

// ---------------------------------------------------------------- CIPv6

CIPv6::CIPv6() : m_addr(), m_szText() { m_addr.sin6_family = AF_INET6; }

CIPv6::CIPv6(const CIPv6& other) : CIPbase(), m_addr(other.m_addr), m_szText() {}

CIPv6& CIPv6::operator=(const CIPv6& other) {
  m_addr = other.m_addr;
  return *this;
}

bool CIPv6::IsSameAddress(const CIPbase* other) const {
  return IsSameFamily(other) && std::memcmp(&AsV6(other)->sin6_addr, &m_addr.sin6_addr, 16) == 0;
}

const char* CIPv6::GetHelpText() const {
  return "'a:b:c:d:e:f:g:h' where a,b,c,d,e,f,g and h are hexadecimal numbers between 0000 and FFFF";
}

bool CIPv6::Parse(const char* text) {
  if (text == nullptr || text[0] == '\0') return SetAny();
  std::string copy(text);  // the call wants a writable text
  int size = sizeof(m_addr);
  bool ok =
      ::WSAStringToAddressA(&copy[0], AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&m_addr), &size) == 0;
  // A failed conversion may clear the family, and a socket would then refuse
  // the object for good.
  m_addr.sin6_family = AF_INET6;
  return ok;
}

bool CIPv6::SetLoopback() {
  std::memset(&m_addr.sin6_addr, 0, 16);
  m_addr.sin6_addr.s6_addr[15] = 1;
  return true;
}

bool CIPv6::SetAny() {
  std::memset(&m_addr.sin6_addr, 0, 16);
  return true;
}

const char* CIPv6::ToString() {
  // The length the call reports counts the terminator; the text is read up to
  // the terminator, never by that length.
  DWORD length = sizeof(m_szText);
  if (::WSAAddressToStringA(reinterpret_cast<sockaddr*>(&m_addr), sizeof(m_addr), nullptr, m_szText,
                            &length) != 0)
    m_szText[0] = '\0';
  m_szText[sizeof(m_szText) - 1] = '\0';
  return m_szText;
}

bool CIPv6::SetPort(unsigned short port) {
  m_addr.sin6_port = htons(port);
  return port != 0;
}

unsigned short CIPv6::GetPort() const { return ntohs(m_addr.sin6_port); }

bool CIPv6::FormatIPHeader(const CBufferBase<unsigned char>& payload, const CIPProto* protocol,
                           CBufferBase<unsigned char>& header, const CIPbase* source,
                           const CIPbase* destination) const {
  if (protocol == nullptr || !IsSameFamily(source) || !IsSameFamily(destination)) return false;
  if (payload.GetLength() > 0xFFFF || !header.Resize(40)) return false;
  unsigned char* h = header.GetData();
  const sockaddr_in6* from = AsV6(source);
  uint32_t flow = ntohl(from->sin6_flowinfo);
  h[0] = 0x60;
  h[1] = static_cast<unsigned char>((flow >> 16) & 0x0F);
  h[2] = static_cast<unsigned char>(flow >> 8);
  h[3] = static_cast<unsigned char>(flow);
  PutBig16(h + 4, payload.GetLength());
  h[6] = static_cast<unsigned char>(protocol->GetProtocolNumber());
  h[7] = 255;
  std::memcpy(h + 8, &from->sin6_addr, 16);
  std::memcpy(h + 24, &AsV6(destination)->sin6_addr, 16);
  return true;
}

bool CIPv6::ExtractIPHeader(CBufferBase<unsigned char>& datagram, CBufferBase<unsigned char>& header,
                            CBufferBase<unsigned char>& payload, CIPbase* sender, int* protocol) const {
  // Every length below comes from the network: each extension header must
  // lie wholly within the datagram before it is read.
  uint32_t length = datagram.GetLength();
  unsigned char* d = datagram.GetData();
  if (length < 40) return false;
  // Bytes beyond the Payload Length (a link's padding) are not the packet's.
  // 0 is a jumbogram's, whose length travels in a Hop-by-Hop option.
  const uint32_t stated = (static_cast<uint32_t>(d[4]) << 8) | d[5];
  if (stated != 0 && stated < length - 40) length = 40 + stated;
  int next = d[6];
  uint32_t offset = 40;
  bool empty = false;
  bool walking = true;
  while (walking) {
    switch (next) {
      case 0:     // Hop-by-Hop options
      case 43:    // Routing
      case 60: {  // Destination options
        if (length - offset < 2) return false;
        uint32_t size = (d[offset + 1] + 1u) * 8u;
        if (length - offset < size) return false;
        next = d[offset];
        offset += size;
        break;
      }
      case 44:  // Fragment
        if (length - offset < 8) return false;
        next = d[offset];
        offset += 8;
        break;
      case 59:  // No next header: the header ends here, and whatever follows is no payload
        empty = true;
        walking = false;
        break;
      default: walking = false; break;
    }
  }
  if (sender != nullptr && !IsSameFamily(sender)) return false;
  header.Attach(d, offset);
  payload.Attach(d + offset, empty ? 0 : length - offset);
  if (sender != nullptr)
    std::memcpy(&reinterpret_cast<sockaddr_in6*>(sender->GetSockAddr())->sin6_addr, d + 8, 16);
  if (protocol != nullptr) *protocol = next;
  return true;
}

bool CIPv6::FromRaw(const IPRawAddress& raw) {
  if (raw.bytes[0] != 2) return false;
  for (int i = 0; i < 16; ++i) m_addr.sin6_addr.s6_addr[15 - i] = raw.bytes[4 + i];
  return true;
}

void CIPv6::ToRaw(IPRawAddress& raw) const {
  std::memset(raw.bytes, 0, sizeof(raw.bytes));
  raw.bytes[0] = 2;
  for (int i = 0; i < 16; ++i) raw.bytes[4 + i] = m_addr.sin6_addr.s6_addr[15 - i];
}

bool CIPv6::Assign(const CIPbase* other) {
  if (!IsSameFamily(other)) return false;
  m_addr = *AsV6(other);
  return true;
}
