// Shared pieces of the socket-layer tests: Winsock start-up, ports and
// loopback addresses of this process, a line that records what reaches it,
// bytes that end at an inaccessible page, and the test access to a line's
// socket.
//
// Every test runs in its own process beside the others, all on one
// wineserver: ports and the 127.a.b.x pairs derive from the process id, which
// is unique among them, so parallel tests never see each other's datagrams.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "support/poll.h"
#include "tvlib/net/ip_address.h"
#include "tvlib/net/ip_proto.h"
#include "tvlib/net/socket.h"
#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

struct SocketLineTestAccess {
  static CSocket* Socket(CSocketLine& line) { return line.m_pSocket; }
};

namespace nettest {

// 40 ports of this process, from 10000 up to below 32768 (the host's
// ephemeral ports start there). Wine's process ids are multiples of 4.
inline unsigned short Port(int index) {
  unsigned slot = (::GetCurrentProcessId() / 4) % 540;
  return static_cast<unsigned short>(10000 + slot * 40 + index);
}

// 127.a.b.<last> of this process (raw sockets bind them exactly).
inline std::string PairAddress(int last) {
  DWORD pid = ::GetCurrentProcessId();
  return "127." + std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(pid & 0xFF) + "." +
         std::to_string(last);
}

inline std::unique_ptr<CIPbase> Address(const std::string& text, unsigned short port) {
  std::unique_ptr<CIPbase> address;
  if (text.find(':') != std::string::npos)
    address.reset(new CIPv6());
  else
    address.reset(new CIPv4());
  EXPECT_TRUE(address->Parse(text.c_str())) << text;
  address->SetPort(port);
  return address;
}

inline CBufferBase<unsigned char> Bytes(const std::string& text) {
  CBufferBase<unsigned char> buffer;
  buffer.Append(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  return buffer;
}

inline std::string Text(const CBufferBase<unsigned char>& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

inline bool SendText(CSocketLine& line, const std::string& text) {
  CBufferBase<unsigned char> buffer = Bytes(text);
  return line.Send(buffer);
}

// Records every datagram the receiver hands it, then queues it as the base does.
class RecordingLine : public CSocketLine {
 public:
  RecordingLine(CIPbase* local, CIPbase* remote, CIPProto* protocol) : CSocketLine(local, remote, protocol) {
    ::InitializeCriticalSection(&m_cs);
  }
  ~RecordingLine() override {
    Unregister();  // before this part goes: the receiver calls Push
    ::DeleteCriticalSection(&m_cs);
  }
  bool Push(const CBufferBase<unsigned char>& buffer) override {
    {
      CCriticalSectionLocker guard(m_cs);
      m_received.push_back(Text(buffer));
    }
    return CSocketLine::Push(buffer);
  }
  std::vector<std::string> Received() {
    CCriticalSectionLocker guard(m_cs);
    return m_received;
  }
  size_t Count() {
    CCriticalSectionLocker guard(m_cs);
    return m_received.size();
  }
  bool WaitForCount(size_t n, DWORD timeoutMs = 10000) {
    return testsupport::WaitUntil([&] { return Count() >= n; }, timeoutMs);
  }
  CSocket* Socket() { return SocketLineTestAccess::Socket(*this); }

 private:
  CRITICAL_SECTION m_cs;
  std::vector<std::string> m_received;
};

// Bytes placed so that they end where a PAGE_NOACCESS page begins: reading
// one byte past them crashes the test process.
class GuardedBytes {
 public:
  explicit GuardedBytes(const std::string& bytes) {
    m_base = static_cast<unsigned char*>(
        ::VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(m_base + kPage, kPage, PAGE_NOACCESS, &old);
    size_t n = bytes.size() < kPage ? bytes.size() : kPage;
    unsigned char* start = m_base + kPage - n;
    std::memcpy(start, bytes.data(), n);
    m_buffer.Attach(start, static_cast<uint32_t>(n));
  }
  ~GuardedBytes() {
    m_buffer.Attach(nullptr, 0);
    ::VirtualFree(m_base, 0, MEM_RELEASE);
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  CBufferBase<unsigned char>& Buffer() { return m_buffer; }
  const char* Chars() const { return reinterpret_cast<const char*>(m_buffer.GetData()); }

 private:
  static const size_t kPage = 4096;
  unsigned char* m_base = nullptr;
  CBufferBase<unsigned char> m_buffer;
};

// One page for an object whose later use must crash: after Protect, any
// access to it faults.
class GuardedPage {
 public:
  GuardedPage() { m_page = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }
  ~GuardedPage() { ::VirtualFree(m_page, 0, MEM_RELEASE); }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;

  void* Memory() { return m_page; }
  void Protect() {
    DWORD old = 0;
    ::VirtualProtect(m_page, 4096, PAGE_NOACCESS, &old);
  }

 private:
  void* m_page;
};

// A shared socket keeps its own copy of the address it was made for, and a
// line that comes after the last one has gone finds a working socket again.
// Side 1 (p1 on ip1) holds the lines under test, side 2 (p2 on ip2) the peer:
// its socket sits on port(3); peerIn hears every port of ip1, peerOut sends
// to side 1's socket, which sits on port(1).
inline void CheckSharedSocketOutlivesItsLines(CIPProto& p1, CIPProto& p2, const std::string& ip1,
                                              const std::string& ip2,
                                              const std::function<unsigned short(int)>& port) {
  GuardedPage page;
  CIPbase* firstLocal = new (page.Memory()) CIPv4();
  firstLocal->Parse(ip1.c_str());
  firstLocal->SetPort(port(1));
  auto peerLocal = Address(ip2, port(3)), anyPort = Address(ip1, 0), side1Socket = Address(ip1, port(1));
  RecordingLine peerIn(peerLocal.get(), anyPort.get(), &p2);
  CSocketLine peerOut(peerLocal.get(), side1Socket.get(), &p2);
  ASSERT_TRUE(peerIn.Register());

  auto secondLocal = Address(ip1, port(2)), toPeer = Address(ip2, port(3));
  auto first = std::make_unique<CSocketLine>(firstLocal, toPeer.get(), &p1);
  auto second = std::make_unique<RecordingLine>(secondLocal.get(), toPeer.get(), &p1);
  ASSERT_EQ(SocketLineTestAccess::Socket(*first), second->Socket());
  ASSERT_TRUE(first->Register());
  ASSERT_TRUE(second->Register());
  first.reset();
  firstLocal->~CIPbase();
  page.Protect();  // any later use of the first line's address crashes

  ASSERT_TRUE(SendText(*second, "still here"));
  ASSERT_TRUE(peerIn.WaitForCount(1));
  ASSERT_TRUE(SendText(peerOut, "to second"));
  ASSERT_TRUE(second->WaitForCount(1));
  CSocket* shared = second->Socket();
  second.reset();
  EXPECT_FALSE(shared->IsValid());
  EXPECT_TRUE(testsupport::WaitUntil([&] { return !shared->IsReceiving(); }, 5000));

  auto thirdLocal = Address(ip1, port(1));
  RecordingLine third(thirdLocal.get(), toPeer.get(), &p1);
  ASSERT_TRUE(third.IsReady());
  EXPECT_EQ(shared, third.Socket());
  EXPECT_TRUE(shared->IsValid());
  ASSERT_TRUE(third.Register());
  ASSERT_TRUE(SendText(third, "third"));
  ASSERT_TRUE(peerIn.WaitForCount(2));
  ASSERT_TRUE(SendText(peerOut, "to third"));
  ASSERT_TRUE(third.WaitForCount(1));
  EXPECT_EQ((std::vector<std::string>{"still here", "third"}), peerIn.Received());
  EXPECT_EQ(std::vector<std::string>{"to third"}, third.Received());
}

// Every socket-layer test needs Winsock up.
class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CSocket::Startup()); }
};

}  // namespace nettest
