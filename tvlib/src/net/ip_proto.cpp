#include "tvlib/net/ip_proto.h"

#include <cstring>

#include "tvlib/log/log.h"
#include "tvlib/net/ip_address.h"
#include "tvlib/net/socket.h"
#include "tvlib/threads/sync.h"

namespace {

bool SetOptionToOne(SOCKET handle, int level, int option) {
  DWORD one = 1;
  return ::setsockopt(handle, level, option, reinterpret_cast<const char*>(&one), sizeof(one)) == 0;
}

const char* const kProtocolNames[] = {"UDP", "TCP", "UDPLite", "RAW", "RAW2"};

}  // namespace

// ---------------------------------------------------------------- CIPProto

CIPProto::CIPProto() { ::InitializeCriticalSection(&m_csCache); }

CIPProto::~CIPProto() {
  ::EnterCriticalSection(&m_csCache);
  m_SocketCache.DeleteAll();
  ::LeaveCriticalSection(&m_csCache);
  ::DeleteCriticalSection(&m_csCache);
}

bool CIPProto::HasFrame() const { return false; }

bool CIPProto::FormatFrame(CBufferBase<unsigned char>&, const CIPbase*, const CIPbase*) const { return true; }

bool CIPProto::ExtractFrame(CBufferBase<unsigned char>&, CIPbase*, CIPbase*) const { return true; }

int CIPProto::GetFrameSize() const { return 0; }

CIPProto* CIPProto::Create(int id) {
  switch (id) {
    case 1: return new CIPProto_UDP();
    case 2: return new CIPProto_TCP();
    case 3: return new CIPProto_UDPLite();
    case 4: return new CIPProto_Raw(253);
    case 5: return new CIPProto_Raw(254);
    default: return nullptr;
  }
}

CIPProto* CIPProto::Create(const char* name) { return Create(GetProtocolId(name)); }

int CIPProto::GetProtocolId(const char* name) {
  if (name == nullptr) return 0;
  for (int i = 0; i < 5; ++i)
    if (_stricmp(name, kProtocolNames[i]) == 0) return i + 1;
  return 0;
}

uint16_t CIPProto::InternetChecksum(const unsigned char* bytes, uint32_t length, uint16_t previous) {
  if (bytes == nullptr || length == 0) return previous != 0 ? previous : 0xFFFF;
  // 0xFFFF - previous is the folded sum behind the previous checksum.
  uint64_t sum = previous != 0 ? 0xFFFFu - previous : 0;
  uint32_t i = 0;
  for (; i + 1 < length; i += 2) sum += (static_cast<uint32_t>(bytes[i]) << 8) | bytes[i + 1];
  if (i < length) sum += static_cast<uint32_t>(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

bool CIPProto::GetSocketFor(CIPbase* local, CSocket** socket) {
  if (socket == nullptr) return false;
  *socket = nullptr;
  if (local == nullptr) return false;
  CCriticalSectionLocker guard(m_csCache);
  bool shared = GetSocketSharing() != 1;
  if (shared) {
    for (uint32_t i = 0; i < m_SocketCache.GetLength(); ++i) {
      CSocket* cached = m_SocketCache[i];
      if (!cached->GetAddress()->IsSameAddress(local)) continue;
      // The lines that hold this object keep it: a closed handle is opened
      // again on the same object.
      if (!cached->IsValid()) {
        switch (cached->Reopen()) {
          case CSocket::eREOPEN_OK: break;
          case CSocket::eREOPEN_CREATE_FAILED:
            return LogErrorFalse("CIPProto::GetSocketFor failed to create !");
          case CSocket::eREOPEN_BIND_FAILED: return LogErrorFalse("CIPProto::GetSocketFor failed to bind !");
          default: return LogErrorFalse("CIPProto::GetSocketFor socket creation failed !");
        }
      }
      *socket = cached;
      return true;
    }
  }
  CSocket* created = new CSocket(INVALID_SOCKET, local, this);
  if (shared) created->AdoptAddress(local->Clone());
  const char* failure = nullptr;
  if (!created->Create())
    failure = "CIPProto::GetSocketFor failed to create !";
  else if (!created->Bind())
    failure = "CIPProto::GetSocketFor failed to bind !";
  else if (!created->IsValid())
    failure = "CIPProto::GetSocketFor socket creation failed !";
  if (failure != nullptr) {
    delete created;
    return LogErrorFalse("%s", failure);
  }
  // A cache that cannot grow has logged why; the socket is then handed out uncached.
  if (shared) m_SocketCache.Append(created);
  *socket = created;
  return true;
}

bool CIPProto::ReleaseSocket(CSocket* socket, CIPbase*) {
  if (GetSocketSharing() == 1) delete socket;
  return true;
}

// ---------------------------------------------------------------- TCP and UDP

bool CIPProto_TCP::SetSocketOptions(const CIPbase*, SOCKET handle) {
  return SetOptionToOne(handle, SOL_SOCKET, SO_REUSEADDR);
}

bool CIPProto_TCP::SetTransportOptions(const CIPbase*, SOCKET) { return false; }

bool CIPProto_UDP::SetSocketOptions(const CIPbase*, SOCKET handle) {
  return SetOptionToOne(handle, SOL_SOCKET, SO_REUSEADDR);
}

bool CIPProto_UDP::SetTransportOptions(const CIPbase* address, SOCKET handle) {
  if (address == nullptr || !address->IsIPv4()) return false;
  return SetOptionToOne(handle, IPPROTO_UDP, 1 /* UDP_NOCHECKSUM */);
}

// ---------------------------------------------------------------- UDP-Lite

bool CIPProto_UDPLite::SetSocketOptions(const CIPbase*, SOCKET handle) {
  return SetOptionToOne(handle, SOL_SOCKET, SO_REUSEADDR);
}

// The same option for both families, as the protocol always set it.
bool CIPProto_UDPLite::SetTransportOptions(const CIPbase*, SOCKET handle) {
  return SetOptionToOne(handle, IPPROTO_IPV6, 2 /* IPV6_HDRINCL */);
}

bool CIPProto_UDPLite::FormatFrame(CBufferBase<unsigned char>& buffer, const CIPbase* source,
                                   const CIPbase* destination) const {
  uint32_t length = buffer.GetLength();
  if (length > 0xFFFFFFFFu - 8 || !buffer.Realloc(length + 8)) return false;
  buffer.SetLength(length + 8);
  unsigned char* d = buffer.GetData();
  std::memmove(d + 8, d, length);
  unsigned short from = source != nullptr ? source->GetPort() : 0;
  unsigned short to = destination != nullptr ? destination->GetPort() : 0;
  d[0] = static_cast<unsigned char>(from >> 8);
  d[1] = static_cast<unsigned char>(from);
  d[2] = static_cast<unsigned char>(to >> 8);
  d[3] = static_cast<unsigned char>(to);
  d[4] = 0;
  d[5] = 8;  // coverage: the header only
  uint16_t checksum = InternetChecksum(d, 6, 0);
  if (checksum == 0) checksum = 0xFFFF;
  d[6] = static_cast<unsigned char>(checksum >> 8);
  d[7] = static_cast<unsigned char>(checksum);
  return true;
}

bool CIPProto_UDPLite::ExtractFrame(CBufferBase<unsigned char>& buffer, CIPbase* source,
                                    CIPbase* destination) const {
  uint32_t length = buffer.GetLength();
  if (length < 8) return false;
  unsigned char* d = buffer.GetData();
  uint32_t coverage = (static_cast<uint32_t>(d[4]) << 8) | d[5];
  if (coverage == 0 || coverage > length) coverage = length;
  uint16_t checksum = InternetChecksum(d, 6, 0);
  if (coverage > 8) checksum = InternetChecksum(d + 8, coverage - 8, checksum);
  uint16_t stored = static_cast<uint16_t>((d[6] << 8) | d[7]);
  if (checksum != stored && !(checksum == 0 && stored == 0xFFFF)) return false;
  unsigned short from = static_cast<unsigned short>((d[0] << 8) | d[1]);
  unsigned short to = static_cast<unsigned short>((d[2] << 8) | d[3]);
  std::memmove(d, d + 8, length - 8);
  buffer.SetLength(length - 8);
  if (source != nullptr) source->SetPort(from);
  if (destination != nullptr) destination->SetPort(to);
  return true;
}
