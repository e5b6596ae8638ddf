// Lines and sockets over UDP and TCP on the loopback addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net_fixture.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"

using namespace nettest;

class UdpLineTest : public NetTest, public ::testing::WithParamInterface<const char*> {
 protected:
  std::unique_ptr<CIPbase> At(int port) { return Address(GetParam(), port == 0 ? 0 : Port(port)); }
  CIPProto_UDP m_udp;
};

INSTANTIATE_TEST_SUITE_P(Loopback, UdpLineTest, ::testing::Values("127.0.0.1", "::1"));

TEST_P(UdpLineTest, TwoLinesExchangeDatagramsInOrder) {
  auto p = At(1), q = At(2), pPeer = At(1), qPeer = At(2);
  RecordingLine a(p.get(), qPeer.get(), &m_udp), b(q.get(), pPeer.get(), &m_udp);
  ASSERT_TRUE(a.IsReady());
  ASSERT_TRUE(b.IsReady());
  ASSERT_TRUE(a.Register());
  ASSERT_TRUE(b.Register());
  std::vector<std::string> fromA, fromB;
  for (int i = 0; i < 20; ++i) {
    fromA.push_back("a" + std::to_string(i) + std::string(i * 50, 'x'));
    fromB.push_back("b" + std::to_string(i));
    ASSERT_TRUE(SendText(a, fromA.back()));
    ASSERT_TRUE(SendText(b, fromB.back()));
  }
  ASSERT_TRUE(a.WaitForCount(20));
  ASSERT_TRUE(b.WaitForCount(20));
  EXPECT_EQ(fromB, a.Received());
  EXPECT_EQ(fromA, b.Received());
  // The base Push queued them too, one record each.
  CBufferBase<unsigned char> record;
  ASSERT_TRUE(a.GetQueue().PopBuffer(record, false));
  EXPECT_EQ(fromB[0], nettest::Text(record));
  EXPECT_EQ(19, a.GetQueue().GetCount());
}

TEST_P(UdpLineTest, RemotePortZeroHearsEveryPortButNotItsOwnSocket) {
  auto p = At(1), anyPort = At(0), r = At(3), s = At(4), pPeer = At(1);
  RecordingLine a(p.get(), anyPort.get(), &m_udp);
  ASSERT_TRUE(a.Register());
  CSocketLine c(r.get(), pPeer.get(), &m_udp), d(s.get(), pPeer.get(), &m_udp);
  // A datagram that A's socket sends to its own address goes first.
  ASSERT_TRUE(a.Socket()->SendTo(Bytes("own"), p.get()));
  ASSERT_TRUE(SendText(c, "from r"));
  ASSERT_TRUE(a.WaitForCount(1));
  ASSERT_TRUE(SendText(d, "from s"));
  ASSERT_TRUE(a.WaitForCount(2));
  EXPECT_EQ((std::vector<std::string>{"from r", "from s"}), a.Received());
}

TEST_P(UdpLineTest, DatagramsFromUnregisteredRemotesReachNoLine) {
  auto p = At(1), q = At(2), t = At(5), qPeer = At(2), pPeer = At(1), stranger = At(6);
  RecordingLine a(p.get(), qPeer.get(), &m_udp);
  ASSERT_TRUE(a.Register());
  CSocketLine b(q.get(), pPeer.get(), &m_udp), other(t.get(), pPeer.get(), &m_udp);
  ASSERT_TRUE(SendText(other, "stranger"));
  ASSERT_TRUE(SendText(b, "friend"));
  ASSERT_TRUE(a.WaitForCount(1));
  // Removing what was never registered changes nothing.
  EXPECT_FALSE(a.Socket()->RemoveLine(stranger.get()));
  EXPECT_FALSE(a.Socket()->RemoveLine(qPeer.get(), &b));
  ASSERT_TRUE(SendText(b, "again"));
  ASSERT_TRUE(a.WaitForCount(2));
  EXPECT_EQ((std::vector<std::string>{"friend", "again"}), a.Received());
}

TEST_P(UdpLineTest, LastUnregisterStopsQuietlyAndRegisterServesAgain) {
  auto p = At(1), q = At(2), qPeer = At(2), pPeer = At(1);
  RecordingLine a(p.get(), qPeer.get(), &m_udp);
  CSocketLine b(q.get(), pPeer.get(), &m_udp);
  ASSERT_TRUE(a.Register());
  EXPECT_TRUE(a.Socket()->IsReceiving());
  ASSERT_TRUE(SendText(b, "one"));
  ASSERT_TRUE(a.WaitForCount(1));
  {
    LogCapture errors(0);  // level-0 lines only
    // On a thread of its own, so that a stop that hangs fails here.
    volatile LONG unregistered = 0;
    FnThread unregister([&](FnThread&) {
      if (a.Unregister()) ::InterlockedExchange(&unregistered, 1);
      return 0;
    });
    ASSERT_EQ(0, unregister.Create(2));
    ASSERT_TRUE(WaitUntil([&] { return !unregister.IsRunning(); }, 30000));
    unregister.Stop();
    ASSERT_EQ(1, unregistered);
    // The receiver has ended and closed the handle by the time it returns.
    EXPECT_FALSE(a.Socket()->IsReceiving());
    EXPECT_FALSE(a.Socket()->IsValid());
    EXPECT_EQ(std::vector<std::string>{}, errors.Lines());
  }
  {
    LogCapture log;
    EXPECT_FALSE(SendText(a, "closed"));
    EXPECT_TRUE(log.Has("CSocket::SendTo : "));
  }
  ASSERT_TRUE(a.Register());
  EXPECT_TRUE(a.Socket()->IsValid());
  ASSERT_TRUE(SendText(b, "two"));
  ASSERT_TRUE(a.WaitForCount(2));
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), a.Received());
  ASSERT_TRUE(SendText(a, "back"));
}

TEST_P(UdpLineTest, ImpairmentDropsAndCorruptsAsItsSequenceSays) {
  auto p = At(1), q = At(2), qPeer = At(2), pPeer = At(1);
  RecordingLine a(p.get(), qPeer.get(), &m_udp), b(q.get(), pPeer.get(), &m_udp);
  ASSERT_TRUE(b.Register());
  a.GetImpairment().m_iDropPercentage = 101;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(SendText(a, "dropped"));
  a.GetImpairment().m_iDropPercentage = 0;
  ASSERT_TRUE(SendText(a, "intact"));
  ASSERT_TRUE(b.WaitForCount(1));

  a.GetImpairment().m_iCorruptionPercentage = 100;
  a.GetImpairment().m_Random.SetLast(4242);
  const std::string original = testsupport::PatternBytes(300);
  std::string expected = original;
  CRandom replay(4242);
  for (char& c : expected)
    if (replay.RandomNumber(100) < 100) c ^= static_cast<char>(replay.RandomNumber(255));
  ASSERT_NE(original, expected);
  CBufferBase<unsigned char> buffer = Bytes(original);
  ASSERT_TRUE(a.Send(buffer));
  EXPECT_EQ(expected, nettest::Text(buffer));  // in the caller's buffer
  ASSERT_TRUE(b.WaitForCount(2));
  EXPECT_EQ((std::vector<std::string>{"intact", expected}), b.Received());
}

TEST_P(UdpLineTest, LinesGoInAnyOrderBeforeTheirProtocol) {
  std::vector<int> order = {0, 1, 2, 3};
  do {
    auto protocol = std::make_unique<CIPProto_UDP>();
    std::vector<std::unique_ptr<CIPbase>> addresses;
    std::vector<std::unique_ptr<RecordingLine>> lines;
    // Two pairs of lines, each line's remote the other's local address.
    for (int i = 0; i < 4; ++i) {
      addresses.push_back(At(10 + i));
      addresses.push_back(At(10 + (i ^ 1)));
      lines.push_back(std::make_unique<RecordingLine>(addresses[2 * i].get(), addresses[2 * i + 1].get(),
                                                      protocol.get()));
      ASSERT_TRUE(lines.back()->Register());
    }
    for (auto& line : lines) ASSERT_TRUE(SendText(*line, "hello"));
    for (auto& line : lines) ASSERT_TRUE(line->WaitForCount(1));
    for (int i : order) lines[i].reset();
    protocol.reset();
  } while (std::next_permutation(order.begin(), order.end()));
}

class SocketTest : public NetTest {};

// Holds the receiver in its first Push until a stop is under way, and records
// whether the socket's handle was closed under it then.
class HoldingLine : public RecordingLine {
 public:
  using RecordingLine::RecordingLine;
  ~HoldingLine() override { Unregister(); }
  bool Push(const CBufferBase<unsigned char>& buffer) override {
    if (::InterlockedExchange(&holding, 1) == 0 &&
        WaitUntil([&] { return ::InterlockedCompareExchange(&stopping, 0, 0) == 1; }, 20000)) {
      // The limit only bounds how long a close by the stopper is looked for.
      if (WaitUntil([&] { return Socket()->GetHandle() == INVALID_SOCKET; }, 1000))
        ::InterlockedExchange(&closedUnderIt, 1);
    }
    return RecordingLine::Push(buffer);
  }
  volatile LONG holding = 0;
  volatile LONG stopping = 0;
  volatile LONG closedUnderIt = 0;
};

// While the receiver runs the handle is its own: a Close that comes while the
// receiver hands a datagram to a line waits for it to end, and the receiver
// closes the handle itself.
TEST_F(SocketTest, CloseLeavesTheHandleToTheReceiverUntilItEnds) {
  CIPProto_UDP udp;
  auto p = Address("127.0.0.1", Port(1)), q = Address("127.0.0.1", Port(2));
  auto pPeer = Address("127.0.0.1", Port(1)), qPeer = Address("127.0.0.1", Port(2));
  HoldingLine a(p.get(), qPeer.get(), &udp);
  CSocketLine b(q.get(), pPeer.get(), &udp);
  ASSERT_TRUE(a.Register());
  ASSERT_TRUE(SendText(b, "held"));
  ASSERT_TRUE(WaitUntil([&] { return ::InterlockedCompareExchange(&a.holding, 0, 0) == 1; }));
  CSocket* socket = a.Socket();
  FnThread closer([&](FnThread&) {
    ::InterlockedExchange(&a.stopping, 1);
    socket->Close();
    return 0;
  });
  ASSERT_EQ(0, closer.Create(2));
  ASSERT_TRUE(WaitUntil([&] { return !closer.IsRunning(); }, 30000));
  closer.Stop();
  EXPECT_EQ(0, a.closedUnderIt);
  EXPECT_EQ(std::vector<std::string>{"held"}, a.Received());
  EXPECT_FALSE(socket->IsReceiving());
  EXPECT_FALSE(socket->IsValid());
}

// A TCP line's socket is not connected: the receiver says so once and ends,
// instead of failing the same way over and over.
TEST_F(SocketTest, TcpLineReceiverEndsOnItsFirstFailureWithOneLine) {
  CIPProto_TCP tcp;
  auto p = Address("127.0.0.1", Port(5)), q = Address("127.0.0.1", Port(6));
  LogCapture log(0);
  RecordingLine line(p.get(), q.get(), &tcp);
  ASSERT_TRUE(line.IsReady());
  ASSERT_TRUE(line.Register());
  ASSERT_TRUE(WaitUntil([&] { return !line.Socket()->IsReceiving(); }, 20000));
  EXPECT_EQ(1, log.Count("CSocket::RecvFrom : ")) << log.Text();
  ASSERT_TRUE(line.Unregister());
  EXPECT_FALSE(line.Socket()->IsValid());
}

TEST_F(SocketTest, RecvFromRefusesAHolderOfTheOtherFamilyBeforeReceiving) {
  CIPProto_UDP udp;
  auto p = Address("127.0.0.1", Port(1));
  CSocket* socket = nullptr;
  ASSERT_TRUE(udp.GetSocketFor(p.get(), &socket));
  ASSERT_TRUE(socket->SendTo(Bytes("waiting"), p.get()));
  CBufferBase<unsigned char> buffer;
  CIPv6 v6;
  {
    LogCapture log;
    EXPECT_EQ(-1, socket->RecvFrom(buffer, &v6));
    EXPECT_TRUE(log.Has("CSocket::RecvFrom Bad domain"));
  }
  CIPv4 sender;
  EXPECT_EQ(1, socket->RecvFrom(buffer, &sender));  // the datagram was left waiting
  EXPECT_EQ("waiting", nettest::Text(buffer));
  EXPECT_EQ(Port(1), sender.GetPort());
  udp.ReleaseSocket(socket, p.get());
}

TEST_F(SocketTest, UdpLiteSocketsAreRefusedHere) {
  CIPProto_UDPLite udplite;
  auto p = Address("127.0.0.1", Port(1)), q = Address("127.0.0.1", Port(2));
  LogCapture log;
  CSocketLine line(p.get(), q.get(), &udplite);
  EXPECT_FALSE(line.IsReady());
  EXPECT_FALSE(line.Register());
  EXPECT_FALSE(SendText(line, "x"));
  EXPECT_FALSE(line.Unregister());
  EXPECT_FALSE(line.ShutdownSend());
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(3u, lines.size()) << log.Text();
  EXPECT_EQ(0u, lines[0].find("Failed to create socket: "));
  EXPECT_NE(std::string::npos, lines[0].find("(Err 0000273B)"));  // protocol not supported
  EXPECT_EQ("CIPProto::GetSocketFor failed to create !", lines[1]);
  EXPECT_EQ("CSocketLine::CSocketLine failed to initialize", lines[2]);
}

TEST_F(SocketTest, BindAgainstAnExclusiveHolderFails) {
  CIPProto_UDP udp;
  auto p = Address("127.0.0.1", Port(1)), q = Address("127.0.0.1", Port(2));
  SOCKET holder = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  DWORD one = 1;
  ::setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  ASSERT_EQ(0, ::bind(holder, p->GetSockAddr(), p->GetSockAddrSize()));
  LogCapture log;
  CSocketLine line(p.get(), q.get(), &udp);
  EXPECT_FALSE(line.IsReady());
  EXPECT_TRUE(log.Has("Failed to bind socket 127.0.0.1 port " + std::to_string(Port(1)) + ": "));
  EXPECT_TRUE(log.Has("CIPProto::GetSocketFor failed to bind !"));
  ::closesocket(holder);
}

TEST_F(SocketTest, TcpStreamFromConnectToPeerClose) {
  CIPProto_TCP tcp;
  auto p = Address("127.0.0.1", Port(1));
  CSocket* listener = nullptr;
  ASSERT_TRUE(tcp.GetSocketFor(p.get(), &listener));
  ASSERT_TRUE(listener->Listen());
  // A client connects to its own address object, which is the peer: no Bind.
  auto peer = Address("127.0.0.1", Port(1));
  std::unique_ptr<CSocket> client(new CSocket(INVALID_SOCKET, peer.get(), &tcp));
  ASSERT_TRUE(client->Create());
  ASSERT_TRUE(client->Connect());
  CSocket* accepted = nullptr;
  ASSERT_TRUE(listener->Accept(&accepted));
  std::unique_ptr<CSocket> server(accepted);
  EXPECT_TRUE(server->IsValid());
  EXPECT_EQ(p.get(), server->GetAddress());

  CBufferBase<unsigned char> data = Bytes("0123456789"), got;
  ASSERT_TRUE(client->Send(data));
  int total = 0;
  std::string text;
  while (total < 10) {
    int n = server->Recv(got, 10 - total);
    ASSERT_GT(n, 0);
    total += n;
    text += nettest::Text(got);
  }
  EXPECT_EQ("0123456789", text);
  {
    LogCapture log;
    client->Close();
    EXPECT_EQ(-1, server->Recv(got, 10));
    EXPECT_EQ(std::vector<std::string>{}, log.Lines());
  }
  tcp.ReleaseSocket(listener, p.get());
}

TEST_F(SocketTest, RefusedConnectIsQuiet) {
  CIPProto_TCP tcp;
  auto nobody = Address("127.0.0.1", Port(3));
  CSocket client(INVALID_SOCKET, nobody.get(), &tcp);
  ASSERT_TRUE(client.Create());
  LogCapture log;
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(std::vector<std::string>{}, log.Lines());
}

TEST_F(SocketTest, RecvIsForStreamsOnly) {
  CIPProto_Raw raw(2);
  auto p = Address("127.0.0.1", 1);
  CSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), p.get(), &raw);
  ASSERT_TRUE(socket.IsValid());
  CBufferBase<unsigned char> buffer;
  LogCapture log;
  EXPECT_EQ(-1, socket.Recv(buffer, 10));
  EXPECT_TRUE(log.Has("CSocket::Recv works with TCP only"));
  CSocket unopened(INVALID_SOCKET, p.get(), &raw);
  EXPECT_EQ(-1, unopened.Recv(buffer, 10));
  EXPECT_TRUE(log.Has("CSocket::Recv buffer error"));
}
