// UDP-Lite frames end to end. The system's stack refuses UDP-Lite sockets, so
// a test protocol carries the frames over UDP sockets: the framing, the shared
// socket per IP and its receiver are the protocol's own.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net_fixture.h"
#include "support/log_capture.h"

using namespace nettest;

namespace {

class CUdpLiteOverUdp : public CIPProto_UDPLite {
 public:
  int GetProtocolNumber() const override { return IPPROTO_UDP; }
};

// Sends raw bytes from a plain UDP socket to 127.0.0.1:port.
void SendPlain(const std::string& bytes, unsigned short port) {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  auto to = Address("127.0.0.1", port);
  ::sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0, to->GetSockAddr(), to->GetSockAddrSize());
  ::closesocket(s);
}

std::string Framed(const std::string& payload, unsigned short from, unsigned short to) {
  CUdpLiteOverUdp framer;
  auto source = Address("127.0.0.1", from), destination = Address("127.0.0.1", to);
  CBufferBase<unsigned char> buffer = Bytes(payload);
  EXPECT_TRUE(framer.FormatFrame(buffer, source.get(), destination.get()));
  return nettest::Text(buffer);
}

}  // namespace

class UdpLiteLineTest : public NetTest {
 protected:
  std::unique_ptr<CIPbase> At(int port) { return Address("127.0.0.1", Port(port)); }
  // Two protocol objects: two caches, hence two sockets on one IP.
  CUdpLiteOverUdp m_p1, m_p2;
};

TEST_F(UdpLiteLineTest, RecvFromStripsTheFrameAndTakesTheSenderPortFromIt) {
  auto local = At(1);
  CSocket* socket = nullptr;
  ASSERT_TRUE(m_p1.GetSocketFor(local.get(), &socket));
  SendPlain(Framed("payload", 4321, Port(1)), Port(1));
  CBufferBase<unsigned char> buffer;
  CIPv4 sender;
  ASSERT_EQ(1, socket->RecvFrom(buffer, &sender));
  EXPECT_EQ("payload", nettest::Text(buffer));
  EXPECT_EQ(4321, sender.GetPort());
  EXPECT_STREQ("127.0.0.1", sender.ToString());
}

TEST_F(UdpLiteLineTest, LinesOnSharedSocketsAreToldApartByTheirOwnPorts) {
  auto pa = At(1), pa2 = At(2), pb = At(3), pb2 = At(4);
  auto toB = At(3), toB2 = At(4), toA = At(1), toA2FromB2 = At(1);
  RecordingLine a(pa.get(), toB.get(), &m_p1), a2(pa2.get(), toB2.get(), &m_p1);
  RecordingLine b(pb.get(), toA.get(), &m_p2), b2(pb2.get(), toA2FromB2.get(), &m_p2);
  ASSERT_EQ(a.Socket(), a2.Socket());
  ASSERT_EQ(b.Socket(), b2.Socket());
  ASSERT_NE(a.Socket(), b.Socket());
  for (RecordingLine* line : {&a, &a2, &b, &b2}) ASSERT_TRUE(line->Register());

  // B2's datagrams reach P1's socket (A's port) but carry B2's own port.
  ASSERT_TRUE(SendText(b2, "from b2"));
  ASSERT_TRUE(a2.WaitForCount(1));
  ASSERT_TRUE(SendText(b, "from b"));
  ASSERT_TRUE(a.WaitForCount(1));
  ASSERT_TRUE(SendText(a, "from a"));
  ASSERT_TRUE(b.WaitForCount(1));
  EXPECT_EQ(std::vector<std::string>{"from b"}, a.Received());
  EXPECT_EQ(std::vector<std::string>{"from b2"}, a2.Received());
  EXPECT_EQ(std::vector<std::string>{"from a"}, b.Received());
  // The receive side goes by the sender alone: B2's remote is A's port too.
  ASSERT_TRUE(b2.WaitForCount(1));
  EXPECT_EQ(std::vector<std::string>{"from a"}, b2.Received());
}

// Two lines of one socket may talk to one remote address object: each line
// takes away its own registration only.
TEST_F(UdpLiteLineTest, UnregisterTakesOnlyTheLinesOwnRegistration) {
  auto pa = At(1), pa2 = At(2), pb = At(3), toB = At(3), toA = At(1);
  RecordingLine a(pa.get(), toB.get(), &m_p1), a2(pa2.get(), toB.get(), &m_p1);
  CSocketLine b(pb.get(), toA.get(), &m_p2);
  ASSERT_TRUE(a.Register());
  ASSERT_TRUE(a2.Register());
  ASSERT_TRUE(SendText(b, "both"));
  ASSERT_TRUE(a.WaitForCount(1));
  ASSERT_TRUE(a2.WaitForCount(1));
  ASSERT_TRUE(a2.Unregister());
  EXPECT_FALSE(a2.Unregister());
  ASSERT_TRUE(SendText(b, "a only"));
  ASSERT_TRUE(a.WaitForCount(2));
  EXPECT_EQ((std::vector<std::string>{"both", "a only"}), a.Received());
  EXPECT_EQ(std::vector<std::string>{"both"}, a2.Received());
}

TEST_F(UdpLiteLineTest, DamagedFramesAreDroppedAndTheSocketGoesOn) {
  auto pa = At(1), pb = At(2), toB = At(2);
  RecordingLine a(pa.get(), toB.get(), &m_p1);
  ASSERT_TRUE(a.Register());
  std::string bad = Framed("bad", Port(2), Port(1));
  bad[7] ^= 1;
  LogCapture log;
  SendPlain(bad, Port(1));
  SendPlain("short", Port(1));
  EXPECT_TRUE(log.Has("CSocket::RecvFrom ExtractFrame failed !"));
  SendPlain(Framed("good", Port(2), Port(1)), Port(1));
  ASSERT_TRUE(a.WaitForCount(1));
  EXPECT_EQ(std::vector<std::string>{"good"}, a.Received());
}

TEST_F(UdpLiteLineTest, SharedSocketOutlivesTheLinesThatMadeIt) {
  ASSERT_NO_FATAL_FAILURE(
      nettest::CheckSharedSocketOutlivesItsLines(m_p1, m_p2, "127.0.0.1", "127.0.0.1", Port));
}
