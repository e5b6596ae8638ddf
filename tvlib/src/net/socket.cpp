#include "tvlib/net/socket.h"

#include <mswsock.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "tvlib/log/log.h"
#include "tvlib/net/ip_address.h"
#include "tvlib/net/ip_proto.h"
#include "tvlib/threads/sync.h"

namespace {

// Winsock lengths are ints.
int ClampToInt(uint32_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

}  // namespace

bool CSocket::Startup() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

// ---------------------------------------------------------------- CSocket

CSocket::CSocket() : CSocket(INVALID_SOCKET, nullptr, nullptr) {}

CSocket::CSocket(SOCKET handle, CIPbase* address, CIPProto* protocol)
    : m_hSocket(handle),
      m_pAddress(address),
      m_pOwnedAddress(nullptr),
      m_pProtocol(protocol),
      m_pReceiver(nullptr) {
  ::InitializeCriticalSection(&m_csLines);
  ::InitializeCriticalSection(&m_csSend);
  ::InitializeCriticalSection(&m_csSetup);
}

CSocket::~CSocket() {
  Close();
  // Records of lines still registered are plain memory that only this socket
  // refers to.
  for (uint32_t i = 0; i < m_Registrations.GetLength(); ++i) delete m_Registrations[i];
  delete m_pOwnedAddress;
  ::DeleteCriticalSection(&m_csSetup);
  ::DeleteCriticalSection(&m_csSend);
  ::DeleteCriticalSection(&m_csLines);
}

bool CSocket::IsValid() const {
  return m_pAddress != nullptr && m_pProtocol != nullptr && m_hSocket.load() != INVALID_SOCKET;
}

void CSocket::AdoptAddress(CIPbase* clone) {
  delete m_pOwnedAddress;
  m_pOwnedAddress = clone;
  m_pAddress = clone;
}

bool CSocket::Create() {
  if (m_pAddress == nullptr || m_pProtocol == nullptr) return false;
  SOCKET handle =
      ::socket(m_pAddress->GetFamily(), m_pProtocol->GetSocketType(), m_pProtocol->GetProtocolNumber());
  if (handle == INVALID_SOCKET) {
    LogSystemError(::WSAGetLastError(), "Failed to create socket");
    return false;
  }
  m_hSocket.store(handle);
  if (m_pProtocol->GetProtocolNumber() == IPPROTO_UDP) {
    // Without this a datagram that meets a closed port makes the next
    // recvfrom fail with WSAECONNRESET.
    BOOL report = FALSE;
    DWORD returned = 0;
    if (::WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr,
                   nullptr) == SOCKET_ERROR) {
      int error = ::WSAGetLastError();
      if (error != WSAEWOULDBLOCK) LogSystemError(error, "WSAIoctl(SIO_UDP_CONNRESET) Error");
    }
  }
  return m_pProtocol->SetSocketOptions(m_pAddress, handle);
}

bool CSocket::Bind() {
  if (!IsValid()) return false;
  if (::bind(m_hSocket.load(), m_pAddress->GetSockAddr(), m_pAddress->GetSockAddrSize()) == 0) return true;
  int error = ::WSAGetLastError();  // before ToString, which may call Winsock
  LogSystemError(error, "Failed to bind socket %s port %d", m_pAddress->ToString(), m_pAddress->GetPort());
  return false;
}

bool CSocket::Listen() {
  if (!IsValid()) return false;
  if (::listen(m_hSocket.load(), 10) == 0) return true;
  LogSystemError(::WSAGetLastError(), "Failed to listen socket");
  return false;
}

bool CSocket::Connect() {
  if (!IsValid()) return false;
  return ::connect(m_hSocket.load(), m_pAddress->GetSockAddr(), m_pAddress->GetSockAddrSize()) == 0;
}

bool CSocket::Accept(CSocket** accepted) {
  if (accepted == nullptr || !IsValid()) return false;
  *accepted = nullptr;
  CIPbase* peer = m_pAddress->Clone();
  int size = peer->GetSockAddrSize();
  SOCKET handle = ::accept(m_hSocket.load(), peer->GetSockAddr(), &size);
  delete peer;  // the peer's address is not kept
  if (handle == INVALID_SOCKET) return false;
  *accepted = new CSocket(handle, m_pAddress, m_pProtocol);
  return true;
}

void CSocket::LogReceiveFailure(int error, const char* text) {
  // A call woken by another thread's close fails with WSAEINTR on Windows and
  // WSAEINVAL under Wine; the closed handle tells both apart from real faults.
  if (error == WSAEINTR || m_hSocket.load() == INVALID_SOCKET) return;
  LogSystemError(error, "%s", text);
}

bool CSocket::IsTransientReceiveError(int error) const {
  if (error == WSAEMSGSIZE) return true;  // that datagram was cut; the next one is whole
  // On a datagram socket these report an ICMP message about an earlier send.
  return !m_pProtocol->IsStream() && (error == WSAECONNRESET || error == WSAENETRESET);
}

int CSocket::Recv(CBufferBase<unsigned char>& buffer, uint32_t size) {
  if (!IsValid()) return LogErrorInt("CSocket::Recv buffer error");
  if (m_pProtocol->ReceivesIPHeader()) return LogErrorInt("CSocket::Recv works with TCP only");
  buffer.Realloc(size);  // an attached buffer keeps its size
  buffer.SetLength(0);
  uint32_t room = size < buffer.GetAllocated() ? size : buffer.GetAllocated();
  int n = ::recv(m_hSocket.load(), reinterpret_cast<char*>(buffer.GetData()), ClampToInt(room), 0);
  if (n == SOCKET_ERROR) {
    LogReceiveFailure(::WSAGetLastError(), "CSocket::Recv ");
    return -1;
  }
  if (n == 0) return -1;  // the peer has closed
  buffer.SetLength(static_cast<uint32_t>(n));
  return n;
}

bool CSocket::Send(const CBufferBase<unsigned char>& buffer) {
  int n = ::send(m_hSocket.load(), reinterpret_cast<const char*>(buffer.GetData()),
                 ClampToInt(buffer.GetLength()), 0);
  if (n == SOCKET_ERROR) {
    LogSystemError(::WSAGetLastError(), "CSocket::Send ");
    return false;
  }
  if (static_cast<uint32_t>(n) < buffer.GetLength()) {
    LogError("CSocket::Send sent only %d bytes !", n);
    return false;
  }
  return true;
}

int CSocket::ReceiveOverlapped(SOCKET handle, WSABUF* chunk, CIPbase* from, int* fromSize, HANDLE stopEvent,
                               HANDLE readEvent, bool* stopped) {
  WSAOVERLAPPED overlapped = {};
  overlapped.hEvent = readEvent;
  ::ResetEvent(readEvent);
  DWORD got = 0, flags = 0;
  if (::WSARecvFrom(handle, chunk, 1, nullptr, &flags, from != nullptr ? from->GetSockAddr() : nullptr,
                    fromSize, &overlapped, nullptr) == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    if (error != WSA_IO_PENDING) return SOCKET_ERROR;  // the error stays the thread's last
    HANDLE events[2] = {stopEvent, readEvent};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      // The system may still write into the buffer, the sender holder and
      // the record on this stack: cancel the read and take its completion.
      ::CancelIoEx(reinterpret_cast<HANDLE>(handle), &overlapped);
      ::WSAGetOverlappedResult(handle, &overlapped, &got, TRUE, &flags);
      *stopped = true;
      return SOCKET_ERROR;
    }
  }
  if (!::WSAGetOverlappedResult(handle, &overlapped, &got, TRUE, &flags)) return SOCKET_ERROR;
  return static_cast<int>(got);
}

CSocket::Receipt CSocket::ReceiveDatagram(CBufferBase<unsigned char>& buffer, CIPbase* from, HANDLE stopEvent,
                                          HANDLE readEvent) {
  if (!buffer.Realloc(1500)) return Receipt::kRefused;
  int fromSize = from != nullptr ? from->GetSockAddrSize() : 0;
  const SOCKET handle = m_hSocket.load();
  int n;
  if (stopEvent == nullptr) {
    n = ::recvfrom(handle, reinterpret_cast<char*>(buffer.GetData()), ClampToInt(buffer.GetAllocated()), 0,
                   from != nullptr ? from->GetSockAddr() : nullptr, from != nullptr ? &fromSize : nullptr);
  } else {
    WSABUF chunk;
    chunk.len = static_cast<ULONG>(ClampToInt(buffer.GetAllocated()));
    chunk.buf = reinterpret_cast<char*>(buffer.GetData());
    bool stopped = false;
    n = ReceiveOverlapped(handle, &chunk, from, from != nullptr ? &fromSize : nullptr, stopEvent, readEvent,
                          &stopped);
    if (stopped) return Receipt::kStopped;
  }
  if (n == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    LogReceiveFailure(error, "CSocket::RecvFrom ");
    return IsTransientReceiveError(error) ? Receipt::kRefused : Receipt::kBroken;
  }
  // 0 is an empty datagram, or on a stream the peer's end.
  if (n == 0) return m_pProtocol->IsStream() ? Receipt::kBroken : Receipt::kRefused;
  buffer.SetLength(static_cast<uint32_t>(n));
  return Receipt::kDatagram;
}

CSocket::Receipt CSocket::Receive(CBufferBase<unsigned char>& buffer, CIPbase* from, HANDLE stopEvent,
                                  HANDLE readEvent) {
  if (!IsValid()) {
    LogError("CSocket::RecvFrom buffer error");
    return Receipt::kBroken;
  }
  if (from != nullptr && !m_pAddress->IsSameFamily(from)) {
    LogError("CSocket::RecvFrom Bad domain");
    return Receipt::kBroken;
  }
  // Only IPv4 raw sockets deliver the IP header; IPv6 ones give the payload,
  // and the sender then comes from the socket layer.
  if (m_pProtocol->ReceivesIPHeader() && m_pAddress->IsIPv4()) {
    const Receipt receipt = ReceiveDatagram(m_RecvBuffer, from, stopEvent, readEvent);
    if (receipt != Receipt::kDatagram) return receipt;
    CBufferBase<unsigned char> header, payload;
    int protocol = 0;
    if (!m_pAddress->ExtractIPHeader(m_RecvBuffer, header, payload, from, &protocol)) {
      LogError("CSocket::RecvFrom ExtractIPHeader failed");
      return Receipt::kRefused;
    }
    if (protocol != m_pProtocol->GetProtocolNumber()) {
      LogError("CSocket::RecvFrom Bad protocol");
      return Receipt::kRefused;
    }
    buffer.SetLength(0);  // the copy only ever grows a length
    if (!buffer.CopyFrom(payload, 0, 0, 0)) return Receipt::kRefused;
  } else {
    const Receipt receipt = ReceiveDatagram(buffer, from, stopEvent, readEvent);
    if (receipt != Receipt::kDatagram) return receipt;
  }
  if (m_pProtocol->HasFrame() && !m_pProtocol->ExtractFrame(buffer, from, nullptr)) {
    buffer.SetLength(0);
    LogError("CSocket::RecvFrom ExtractFrame failed !");
    return Receipt::kRefused;
  }
  return Receipt::kDatagram;
}

int CSocket::RecvFrom(CBufferBase<unsigned char>& buffer, CIPbase* from) {
  return Receive(buffer, from, nullptr, nullptr) == Receipt::kDatagram ? 1 : -1;
}

bool CSocket::SendTo(const CBufferBase<unsigned char>& buffer, const CIPbase* to, const CIPbase* source) {
  if (m_pProtocol == nullptr || to == nullptr) return false;
  CCriticalSectionLocker guard(m_csSend);
  const unsigned char* bytes = buffer.GetData();
  uint32_t length = buffer.GetLength();
  if (m_pProtocol->HasFrame()) {
    m_SendBuffer.SetLength(0);
    if (!m_SendBuffer.CopyFrom(buffer, 0, 0, 0)) return false;
    if (!m_pProtocol->FormatFrame(m_SendBuffer, source != nullptr ? source : m_pAddress, to))
      return LogErrorFalse("CSocket::SendTo FormatFrame failed !");
    bytes = m_SendBuffer.GetData();
    length = m_SendBuffer.GetLength();
  }
  // A raw socket has no ports (they travel in the frame): the destination goes
  // out with port 0, which every stack takes; some refuse any other value for
  // IPv6 than the protocol number.
  sockaddr_storage destination = {};
  int destinationSize = to->GetSockAddrSize();
  if (destinationSize < 0 || destinationSize > static_cast<int>(sizeof(destination))) return false;
  std::memcpy(&destination, to->GetSockAddr(), destinationSize);
  if (m_pProtocol->GetSocketType() == SOCK_RAW) reinterpret_cast<sockaddr_in*>(&destination)->sin_port = 0;
  int n = ::sendto(m_hSocket.load(), reinterpret_cast<const char*>(bytes), ClampToInt(length), 0,
                   reinterpret_cast<const sockaddr*>(&destination), destinationSize);
  if (n == SOCKET_ERROR) {
    LogSystemError(::WSAGetLastError(), "CSocket::SendTo ");
    return false;
  }
  if (static_cast<uint32_t>(n) < length) {
    LogError("CSocket::SendTo sent only %d bytes !", n);
    return false;
  }
  return true;
}

void CSocket::CloseHandleOnce() {
  SOCKET handle = m_hSocket.exchange(INVALID_SOCKET);
  if (handle == INVALID_SOCKET) return;
  ::shutdown(handle, SD_BOTH);
  ::closesocket(handle);
}

void CSocket::DropEndedReceiver() {
  CSocketReceiver* ended = nullptr;
  {
    CCriticalSectionLocker guard(m_csLines);
    if (m_pReceiver != nullptr && (m_hSocket.load() == INVALID_SOCKET || !m_pReceiver->IsRunning())) {
      ended = m_pReceiver;
      m_pReceiver = nullptr;
    }
  }
  // Joined outside m_csLines: the receiver takes it to push. A receiver
  // stopped here closes the handle as it ends, so this comes before any new
  // handle.
  delete ended;
}

void CSocket::StopReceiver() {
  CSocketReceiver* receiver = nullptr;
  {
    CCriticalSectionLocker guard(m_csLines);
    receiver = m_pReceiver;
    m_pReceiver = nullptr;
  }
  delete receiver;  // joined outside m_csLines
  // A receiver that ended on a broken socket, or none, left the handle here.
  CloseHandleOnce();
}

int CSocket::Reopen() {
  CCriticalSectionLocker setup(m_csSetup);
  DropEndedReceiver();
  if (m_hSocket.load() != INVALID_SOCKET) return eREOPEN_OK;
  if (!Create()) {
    CloseHandleOnce();
    return eREOPEN_CREATE_FAILED;
  }
  if (!Bind()) {
    CloseHandleOnce();
    return eREOPEN_BIND_FAILED;
  }
  return IsValid() ? eREOPEN_OK : eREOPEN_INVALID;
}

bool CSocket::AddLine(CIPbase* remote, CSocketLine* line) {
  CCriticalSectionLocker setup(m_csSetup);
  // After the last line went, the handle is closed and the receiver ended.
  if (Reopen() != eREOPEN_OK) return false;
  CCriticalSectionLocker guard(m_csLines);
  SocketRegistration* record = new SocketRegistration{remote, line};
  if (m_pReceiver == nullptr) {
    m_pReceiver = new CSocketReceiver(this);
    if (m_pReceiver->Create(2) != 0) {
      // Kept until the next AddLine replaces it.
      delete record;
      return false;
    }
  }
  if (!m_Registrations.Append(record)) {
    delete record;  // the growth failure is logged
  }
  return true;
}

bool CSocket::RemoveLine(CIPbase* remote, CSocketLine* line) {
  CCriticalSectionLocker setup(m_csSetup);
  bool found = false, last = false;
  {
    CCriticalSectionLocker guard(m_csLines);
    for (uint32_t i = 0; i < m_Registrations.GetLength(); ++i) {
      SocketRegistration* record = m_Registrations[i];
      if (record->pRemote != remote || (line != nullptr && record->pLine != line)) continue;
      m_Registrations.RemoveAt(i);
      delete record;
      found = true;
      last = m_Registrations.GetLength() == 0;
      break;
    }
  }
  if (last) StopReceiver();
  return found;
}

bool CSocket::IsReceiving() {
  CCriticalSectionLocker guard(m_csLines);
  return m_pReceiver != nullptr && m_pReceiver->IsRunning();
}

bool CSocket::Close() {
  CCriticalSectionLocker setup(m_csSetup);
  StopReceiver();
  return true;
}

void CSocket::Dispatch(const CBufferBase<unsigned char>& datagram, const CIPbase* sender) {
  CCriticalSectionLocker guard(m_csLines);
  for (uint32_t i = 0; i < m_Registrations.GetLength(); ++i) {
    SocketRegistration* record = m_Registrations[i];
    if (record->pRemote->Matches(sender) && !record->pLine->Push(datagram))
      LogError("CSocketReceiver failed to push buffer");
  }
}

// ---------------------------------------------------------------- receiver

CSocket::CSocketReceiver::CSocketReceiver(CSocket* socket)
    : CThread(3),
      m_pSocket(socket),
      m_hStopEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_hReadEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CSocket::CSocketReceiver::~CSocketReceiver() {
  Stop();
  if (m_hStopEvent != nullptr) ::CloseHandle(m_hStopEvent);
  if (m_hReadEvent != nullptr) ::CloseHandle(m_hReadEvent);
}

void CSocket::CSocketReceiver::RequestStop() {
  CThread::RequestStop();
  if (m_hStopEvent != nullptr) ::SetEvent(m_hStopEvent);
}

int CSocket::CSocketReceiver::ThreadEntry() {
  if (m_hStopEvent == nullptr || m_hReadEvent == nullptr) return -1;
  CBufferBase<unsigned char> datagram(4096);
  CIPbase* address = m_pSocket->GetAddress();
  CIPbase* sender = address != nullptr ? address->Clone() : nullptr;
  int code = 0;
  for (;;) {
    if (IsStopRequested()) break;
    if (!m_pSocket->IsValid()) {
      code = -1;
      break;
    }
    const Receipt receipt = m_pSocket->Receive(datagram, sender, m_hStopEvent, m_hReadEvent);
    if (receipt == Receipt::kStopped) break;
    if (receipt == Receipt::kBroken) {
      // Its one line is logged; every further receive would fail the same way.
      code = -1;
      break;
    }
    if (receipt != Receipt::kDatagram) continue;
    if (sender->Matches(address)) continue;  // the socket's own datagram
    m_pSocket->Dispatch(datagram, sender);
  }
  delete sender;
  // No read is in flight any more: the handle goes last, and only here while
  // this thread runs.
  if (code == 0) m_pSocket->CloseHandleOnce();
  return code;
}

// ---------------------------------------------------------------- impairment

bool CPacketImpairment::ShouldDrop() {
  if (m_iDropPercentage == 0) return false;
  return static_cast<int>(m_Random.RandomNumber(100)) < m_iDropPercentage;
}

void CPacketImpairment::Corrupt(CBufferBase<unsigned char>& buffer) {
  if (m_iCorruptionPercentage == 0) return;
  for (uint32_t i = 0; i < buffer.GetLength(); ++i) {
    if (static_cast<int>(m_Random.RandomNumber(100)) < m_iCorruptionPercentage)
      buffer[i] ^= static_cast<unsigned char>(m_Random.RandomNumber(255));
  }
}

// ---------------------------------------------------------------- CSocketLine

CSocketLine::CSocketLine(CIPbase* local, CIPbase* remote, CIPProto* protocol)
    : m_bReady(false),
      m_pLocal(local),
      m_pRemote(remote),
      m_pProtocol(protocol),
      m_pSocket(nullptr),
      m_Queue(2048, 0),
      m_Buffer(1024) {
  m_Impairment.m_Random.SetLast(static_cast<uint32_t>(time(nullptr)));
  if (m_pProtocol != nullptr && m_pProtocol->GetSocketFor(m_pLocal, &m_pSocket) && m_pSocket != nullptr)
    m_bReady = true;
  else
    LogError("CSocketLine::CSocketLine failed to initialize");
}

CSocketLine::~CSocketLine() {
  if (m_bReady) {
    m_pSocket->RemoveLine(m_pRemote, this);
    m_pProtocol->ReleaseSocket(m_pSocket, m_pLocal);
  }
}

bool CSocketLine::Push(const CBufferBase<unsigned char>& buffer) {
  return m_Queue.PushBuffer(buffer, true, true);
}

bool CSocketLine::Register() { return m_bReady && m_pSocket->AddLine(m_pRemote, this); }

bool CSocketLine::Unregister() { return m_bReady && m_pSocket->RemoveLine(m_pRemote, this); }

bool CSocketLine::ShutdownSend() {
  if (m_bReady) ::shutdown(m_pSocket->GetHandle(), SD_SEND);
  return m_bReady;
}

bool CSocketLine::Send(CBufferBase<unsigned char>& buffer) {
  if (!m_bReady) return false;
  if (m_pSocket == nullptr) return LogErrorFalse("CSocketLine bad socket for send");
  if (m_Impairment.ShouldDrop()) return true;
  m_Impairment.Corrupt(buffer);
  // The line's own address gives the frame's source port: on a shared socket
  // the socket's address is that of the line that created it.
  return m_pSocket->SendTo(buffer, m_pRemote, m_pLocal);
}
