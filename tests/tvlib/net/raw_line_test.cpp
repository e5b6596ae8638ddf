// RAW lines of IP protocol 2 end to end: IPv4 between 127.a.b.1 and
// 127.a.b.2 of this process, IPv6 on ::1. Raw sockets need administrator
// rights; without them (10013), or where the stack refuses the protocol
// (10043), these tests skip.
//
// Every raw socket of protocol 2 on ::1 sees every such datagram of every
// process, so all IPv6 scenarios stay in one test.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net_fixture.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"
#include "tvlib/fec/reed_solomon_codec.h"

using nettest::Address;
using nettest::Bytes;
using nettest::NetTest;
using nettest::PairAddress;
using nettest::RecordingLine;
using nettest::SendText;

namespace {

bool RawUnavailable(int family, std::string* why) {
  SOCKET s = ::socket(family, SOCK_RAW, 2);
  if (s != INVALID_SOCKET) {
    ::closesocket(s);
    return false;
  }
  int error = ::WSAGetLastError();
  *why = "raw sockets of protocol 2 are refused here (" + std::to_string(error) + ")";
  return error == WSAEACCES || error == WSAEPROTONOSUPPORT;
}

#define REQUIRE_RAW(family)                                \
  do {                                                     \
    std::string why;                                       \
    if (RawUnavailable(family, &why)) GTEST_SKIP() << why; \
  } while (0)

// Two bytes that the global codec cannot correct.
std::string UncorrectableTrailer() {
  for (int v = 0; v < 65536; ++v) {
    unsigned char bytes[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    CBufferBase<unsigned char> view(bytes, 2);
    if (!GetGlobalRawFEC()->ExtractData(view, nullptr)) return std::string(reinterpret_cast<char*>(bytes), 2);
  }
  return std::string();
}

}  // namespace

class RawLineTest : public NetTest {
 protected:
  std::unique_ptr<CIPbase> One(int port) { return Address(PairAddress(1), port); }
  std::unique_ptr<CIPbase> Two(int port) { return Address(PairAddress(2), port); }
  CIPProto_Raw m_p1{2}, m_p2{2};
};

TEST_F(RawLineTest, V4LinesShareASocketPerIpAndKeepTheirLengths) {
  REQUIRE_RAW(AF_INET);
  auto a1 = One(3), a2 = One(4), b1 = Two(5), b2 = Two(6);
  auto toB1 = Two(5), toB2 = Two(6), toA1 = One(3), toA2 = One(4);
  RecordingLine a(a1.get(), toB1.get(), &m_p1), aa(a2.get(), toB2.get(), &m_p1);
  RecordingLine b(b1.get(), toA1.get(), &m_p2), bb(b2.get(), toA2.get(), &m_p2);
  ASSERT_TRUE(a.IsReady() && aa.IsReady() && b.IsReady() && bb.IsReady());
  EXPECT_EQ(a.Socket(), aa.Socket());
  EXPECT_EQ(b.Socket(), bb.Socket());
  for (RecordingLine* line : {&a, &aa, &b, &bb}) ASSERT_TRUE(line->Register());

  std::vector<std::string> toB = {std::string(1400, 'L'), "s", testsupport::PatternBytes(100)};
  for (const std::string& text : toB) ASSERT_TRUE(SendText(a, text));
  ASSERT_TRUE(SendText(aa, "aa to bb"));
  ASSERT_TRUE(SendText(b, "b to a"));
  ASSERT_TRUE(SendText(bb, "bb to aa"));
  ASSERT_TRUE(b.WaitForCount(3));
  ASSERT_TRUE(bb.WaitForCount(1));
  ASSERT_TRUE(a.WaitForCount(1));
  ASSERT_TRUE(aa.WaitForCount(1));
  EXPECT_EQ(toB, b.Received());
  EXPECT_EQ(std::vector<std::string>{"aa to bb"}, bb.Received());
  EXPECT_EQ(std::vector<std::string>{"b to a"}, a.Received());
  EXPECT_EQ(std::vector<std::string>{"bb to aa"}, aa.Received());
}

TEST_F(RawLineTest, V4UncorrectableTrailerIsDroppedAndTheSocketGoesOn) {
  REQUIRE_RAW(AF_INET);
  auto a1 = One(3), b1 = Two(5), toB = Two(5), toA = One(3);
  RecordingLine a(a1.get(), toB.get(), &m_p1);
  CSocketLine b(b1.get(), toA.get(), &m_p2);
  ASSERT_TRUE(a.Register());
  std::string trailer = UncorrectableTrailer();
  ASSERT_EQ(2u, trailer.size());
  SOCKET plain = ::socket(AF_INET, SOCK_RAW, 2);
  ASSERT_EQ(0, ::bind(plain, b1->GetSockAddr(), b1->GetSockAddrSize()));
  std::string bad = "bad" + trailer;
  LogCapture log;
  ASSERT_EQ(int(bad.size()),
            ::sendto(plain, bad.data(), int(bad.size()), 0, a1->GetSockAddr(), a1->GetSockAddrSize()));
  ::closesocket(plain);
  EXPECT_TRUE(log.Has("CSocket::RecvFrom ExtractFrame failed !"));
  ASSERT_TRUE(SendText(b, "good"));
  ASSERT_TRUE(a.WaitForCount(1));
  EXPECT_EQ(std::vector<std::string>{"good"}, a.Received());
}

TEST_F(RawLineTest, V4SharedSocketOutlivesTheLinesThatMadeIt) {
  REQUIRE_RAW(AF_INET);
  ASSERT_NO_FATAL_FAILURE(nettest::CheckSharedSocketOutlivesItsLines(
      m_p1, m_p2, PairAddress(1), PairAddress(2), [](int i) { return static_cast<unsigned short>(i); }));
}

// IPv6 raw sockets deliver the payload alone: the sender comes from the
// socket layer, the ports from the trailer.
TEST_F(RawLineTest, V6LinesOnTheLoopback) {
  REQUIRE_RAW(AF_INET6);
  CIPProto_Raw p3(2);
  auto a1 = Address("::1", 3), b1 = Address("::1", 5), probeLocal = Address("::1", 7);
  auto toB = Address("::1", 5), toA = Address("::1", 3);
  CSocket* probe = nullptr;
  ASSERT_TRUE(p3.GetSocketFor(probeLocal.get(), &probe));
  DWORD timeoutMs = 10000;  // bounds a receive that would otherwise hang
  ::setsockopt(probe->GetHandle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof(timeoutMs));
  RecordingLine a(a1.get(), toB.get(), &m_p1), b(b1.get(), toA.get(), &m_p2);
  ASSERT_TRUE(a.Register());
  ASSERT_TRUE(b.Register());

  ASSERT_TRUE(SendText(a, "v6 hello"));
  CBufferBase<unsigned char> buffer(4096);
  CIPv6 sender;
  sender.Parse("2001:db8::9");
  ASSERT_EQ(1, probe->RecvFrom(buffer, &sender));
  EXPECT_EQ("v6 hello", nettest::Text(buffer));
  EXPECT_EQ(3, sender.GetPort());
  EXPECT_TRUE(sender.IsSameAddress(a1.get()));

  std::vector<std::string> toBTexts = {"v6 hello", std::string(1400, 'L'), "s",
                                       testsupport::PatternBytes(100)};
  for (size_t i = 1; i < toBTexts.size(); ++i) ASSERT_TRUE(SendText(a, toBTexts[i]));
  ASSERT_TRUE(SendText(b, "v6 back"));
  ASSERT_TRUE(b.WaitForCount(toBTexts.size()));
  ASSERT_TRUE(a.WaitForCount(1));
  EXPECT_EQ(toBTexts, b.Received());
  EXPECT_EQ(std::vector<std::string>{"v6 back"}, a.Received());
}

namespace {

// Checks every datagram against the sequence its peer sends: stream id,
// length, bytes and checksum.
class StressLine : public CSocketLine {
 public:
  StressLine(CIPbase* local, CIPbase* remote, CIPProto* protocol, char peerStream)
      : CSocketLine(local, remote, protocol), m_peerStream(peerStream) {}
  ~StressLine() override { Unregister(); }

  static std::string Datagram(char stream, uint32_t sequence) {
    std::string d(1, stream);
    d.append(reinterpret_cast<const char*>(&sequence), 4);
    d += testsupport::PatternBytes(sequence % 300).substr(0, sequence % 300);
    uint16_t sum = CIPProto::InternetChecksum(reinterpret_cast<const unsigned char*>(d.data()),
                                              static_cast<uint32_t>(d.size()), 0);
    d.append(reinterpret_cast<const char*>(&sum), 2);
    return d;
  }

  bool Push(const CBufferBase<unsigned char>& buffer) override {
    std::string d = nettest::Text(buffer);
    uint32_t sequence = 0;
    if (d.size() >= 7) std::memcpy(&sequence, d.data() + 1, 4);
    if (d.size() >= 7 && d == Datagram(m_peerStream, sequence))
      ::InterlockedIncrement(&m_good);
    else
      ::InterlockedIncrement(&m_bad);
    return true;
  }
  LONG Good() { return ::InterlockedCompareExchange(&m_good, 0, 0); }
  LONG Bad() { return ::InterlockedCompareExchange(&m_bad, 0, 0); }

 private:
  char m_peerStream;
  volatile LONG m_good = 0;
  volatile LONG m_bad = 0;
};

}  // namespace

// Senders and receivers on both sides at once, through the one global codec.
TEST_F(RawLineTest, V4StressOnBothSidesKeepsEveryFrameWhole) {
  REQUIRE_RAW(AF_INET);
  auto a1 = One(1), a2 = One(3), b1 = Two(2), b2 = Two(4);
  auto toB1 = Two(2), toB2 = Two(4), toA1 = One(1), toA2 = One(3);
  StressLine a(a1.get(), toB1.get(), &m_p1, 'b'), aa(a2.get(), toB2.get(), &m_p1, 'B');
  StressLine b(b1.get(), toA1.get(), &m_p2, 'a'), bb(b2.get(), toA2.get(), &m_p2, 'A');
  for (StressLine* line : {&a, &aa, &b, &bb}) ASSERT_TRUE(line->Register());
  const ULONGLONG deadline = ::GetTickCount64() + 60000;
  volatile LONG sendFailures = 0;
  // 10,000 datagrams each way, in bursts of 100 over the side's two lines.
  auto sender = [&](StressLine& one, char oneStream, StressLine& other, char otherStream, StressLine& peer,
                    StressLine& otherPeer) {
    return [&, oneStream, otherStream](FnThread&) {
      uint32_t sent = 0;
      for (int burst = 0; burst < 100 && ::GetTickCount64() < deadline; ++burst) {
        for (int i = 0; i < 50; ++i, ++sent) {
          CBufferBase<unsigned char> d1 = Bytes(StressLine::Datagram(oneStream, sent));
          CBufferBase<unsigned char> d2 = Bytes(StressLine::Datagram(otherStream, sent));
          if (!one.Send(d1) || !other.Send(d2)) ::InterlockedIncrement(&sendFailures);
        }
        LONG target = static_cast<LONG>(sent);
        WaitUntil(
            [&] {
              return peer.Good() + peer.Bad() >= target && otherPeer.Good() + otherPeer.Bad() >= target;
            },
            1000);
      }
      return 0;
    };
  };
  FnThread side1(sender(a, 'a', aa, 'A', b, bb)), side2(sender(b, 'b', bb, 'B', a, aa));
  ASSERT_EQ(0, side1.Create(2));
  ASSERT_EQ(0, side2.Create(2));
  side1.Wait();
  side2.Wait();
  EXPECT_EQ(0, sendFailures);
  for (StressLine* line : {&a, &aa, &b, &bb}) {
    EXPECT_EQ(0, line->Bad());
    EXPECT_GT(line->Good(), 0);
  }
  RecordProperty("good", std::to_string(a.Good() + aa.Good() + b.Good() + bb.Good()));
}
