// IP headers as raw sockets deliver them: built, checked and split, with every
// datagram ending at an inaccessible page so that an over-read crashes.
#include <gtest/gtest.h>

#include <string>

#include "net_fixture.h"

using namespace nettest;

namespace {

std::string FromHex(const char* hex) {
  std::string out;
  for (const char* p = hex; p[0] && p[1]; p += 2) {
    while (*p == ' ') ++p;
    out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  }
  return out;
}

// Rewrites bytes 10-11 of an IPv4 header of `length` bytes.
void FixChecksum(std::string& d, size_t length) {
  d[10] = d[11] = 0;
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += (uint8_t(d[i]) << 8) | uint8_t(d[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  d[10] = char((~sum >> 8) & 0xFF);
  d[11] = char(~sum & 0xFF);
}

// What Wine's IPv4 raw socket of protocol 2 delivered from 127.0.0.2 to 127.0.0.1.
const char* kWineDatagramHeader = "4500001EF4580000400288827F0000027F000001";

class IPHeaderTest : public NetTest {
 protected:
  // Splits `bytes` with a sentinel sender; reports the sender's text after.
  bool ExtractV4(const std::string& bytes, std::string* senderText = nullptr, int* protocol = nullptr,
                 uint32_t* headerLength = nullptr, std::string* payload = nullptr) {
    GuardedBytes datagram(bytes);
    CIPv4 self, sender;
    sender.Parse("9.9.9.9");
    sender.SetPort(99);
    CBufferBase<unsigned char> header, body;
    bool ok = self.ExtractIPHeader(datagram.Buffer(), header, body, &sender, protocol);
    if (senderText) *senderText = sender.ToString();
    EXPECT_EQ(99, sender.GetPort());
    if (ok && headerLength) *headerLength = header.GetLength();
    if (ok && payload) *payload = Text(body);
    return ok;
  }
  bool ExtractV6(const std::string& bytes, int* protocol = nullptr, uint32_t* headerLength = nullptr,
                 uint32_t* payloadLength = nullptr) {
    GuardedBytes datagram(bytes);
    CIPv6 self, sender;
    sender.Parse("::9");
    CBufferBase<unsigned char> header, body;
    bool ok = self.ExtractIPHeader(datagram.Buffer(), header, body, &sender, protocol);
    if (!ok) {
      EXPECT_STREQ("::9", sender.ToString());
    }
    if (ok && headerLength) *headerLength = header.GetLength();
    if (ok && payloadLength) *payloadLength = body.GetLength();
    return ok;
  }
};

}  // namespace

TEST_F(IPHeaderTest, V4FormatThenExtract) {
  CIPProto_UDP udp;
  CIPv4 source, destination;
  source.Parse("10.1.2.3");
  destination.Parse("127.0.0.1");
  for (uint32_t n : {0u, 3u, 1480u}) {
    std::string body = testsupport::PatternBytes(n);
    CBufferBase<unsigned char> payload = Bytes(body), header;
    ASSERT_TRUE(destination.FormatIPHeader(payload, &udp, header, &source, &destination));
    ASSERT_EQ(20u, header.GetLength());
    std::string datagram = Text(header) + body;
    EXPECT_EQ(0x45, uint8_t(datagram[0]));
    EXPECT_EQ(n + 20, (uint8_t(datagram[2]) << 8 | uint8_t(datagram[3])));
    EXPECT_EQ(255, uint8_t(datagram[8]));
    std::string sender, got;
    int protocol = 0;
    uint32_t headerLength = 0;
    ASSERT_TRUE(ExtractV4(datagram, &sender, &protocol, &headerLength, &got)) << n;
    EXPECT_EQ("10.1.2.3", sender);
    EXPECT_EQ(17, protocol);
    EXPECT_EQ(20u, headerLength);
    EXPECT_EQ(body, got);
  }
}

// With a link's padding after it: the packet ends at its Total Length.
TEST_F(IPHeaderTest, V4DatagramAsWineDeliversItEndsAtItsTotalLength) {
  std::string datagram = FromHex(kWineDatagramHeader) + testsupport::PatternBytes(10) + std::string(6, '\0');
  std::string sender, payload;
  int protocol = 0;
  ASSERT_TRUE(ExtractV4(datagram, &sender, &protocol, nullptr, &payload));
  EXPECT_EQ(2, protocol);
  EXPECT_EQ("127.0.0.2", sender);
  EXPECT_EQ(testsupport::PatternBytes(10), payload);
}

TEST_F(IPHeaderTest, V4RefusesBadHeadersWithoutTouchingTheSender) {
  const std::string good = FromHex(kWineDatagramHeader) + "0123456789";
  std::string sender;
  for (int bit = 0; bit < 160; ++bit) {
    std::string d = good;
    d[bit / 8] ^= char(1 << (bit % 8));
    EXPECT_FALSE(ExtractV4(d, &sender)) << "bit " << bit;
    EXPECT_EQ("9.9.9.9", sender);
  }
  std::string v6 = good;
  v6[0] = 0x65;
  FixChecksum(v6, 20);
  EXPECT_FALSE(ExtractV4(v6));
  std::string short4 = good;
  short4[0] = 0x44;
  FixChecksum(short4, 16);
  EXPECT_FALSE(ExtractV4(short4));
  std::string six = good.substr(0, 20);
  six[0] = 0x46;
  EXPECT_FALSE(ExtractV4(six));  // a 24-byte header in 20 bytes
  for (size_t n = 0; n < 20; ++n) EXPECT_FALSE(ExtractV4(good.substr(0, n))) << n;

  GuardedBytes datagram(good);
  CIPv4 self;
  CIPv6 otherFamily;
  CBufferBase<unsigned char> header, payload;
  EXPECT_FALSE(self.ExtractIPHeader(datagram.Buffer(), header, payload, &otherFamily, nullptr));
  EXPECT_EQ(0u, header.GetLength());
}

TEST_F(IPHeaderTest, V4HeaderWithAnOptionIsCheckedWhole) {
  std::string d = FromHex(kWineDatagramHeader);
  d.insert(20, FromHex("94040000"));  // router alert
  d[0] = 0x46;
  FixChecksum(d, 24);
  d += "abc";
  std::string payload;
  uint32_t headerLength = 0;
  ASSERT_TRUE(ExtractV4(d, nullptr, nullptr, &headerLength, &payload));
  EXPECT_EQ(24u, headerLength);
  EXPECT_EQ("abc", payload);
  d[22] ^= 1;  // the option is under the checksum too
  EXPECT_FALSE(ExtractV4(d));
  for (size_t n = 20; n < 24; ++n) EXPECT_FALSE(ExtractV4(d.substr(0, n))) << n;
}

TEST_F(IPHeaderTest, V6ExtensionHeadersAreWalkedWithinTheDatagram) {
  std::string base = FromHex("6000000000002CFF") + std::string(32, '\1');
  base[8] = 0x20;  // source begins 20 ...
  // Fragment header, then the transport protocol.
  std::string fragment = base + FromHex("1100000100000001") + "payload";
  int protocol = 0;
  uint32_t headerLength = 0, payloadLength = 0;
  ASSERT_TRUE(ExtractV6(fragment, &protocol, &headerLength, &payloadLength));
  EXPECT_EQ(17, protocol);
  EXPECT_EQ(48u, headerLength);
  EXPECT_EQ(7u, payloadLength);
  for (size_t n = 0; n < 48; ++n) EXPECT_FALSE(ExtractV6(fragment.substr(0, n))) << n;

  // Hop-by-Hop (8 bytes), Destination options (16 bytes), No next header.
  std::string chain = base;
  chain[6] = 0;
  chain += FromHex("3C00010400000000") + FromHex("3B01010C") + std::string(12, '\0');
  ASSERT_TRUE(ExtractV6(chain, &protocol, &headerLength, &payloadLength));
  EXPECT_EQ(59, protocol);
  EXPECT_EQ(64u, headerLength);
  EXPECT_EQ(0u, payloadLength);
  for (size_t n = 0; n < chain.size(); ++n) EXPECT_FALSE(ExtractV6(chain.substr(0, n))) << n;

  // An extension that announces more bytes than follow.
  std::string overlong = base;
  overlong[6] = 0;
  overlong += FromHex("1105000000000000") + std::string(8, '\0');
  EXPECT_FALSE(ExtractV6(overlong));

  GuardedBytes datagram(fragment);
  CIPv6 self;
  CIPv6 sender;
  CBufferBase<unsigned char> header, payload;
  ASSERT_TRUE(self.ExtractIPHeader(datagram.Buffer(), header, payload, &sender, nullptr));
  EXPECT_STREQ("2001:101:101:101:101:101:101:101", sender.ToString());
  CIPv4 otherFamily;
  EXPECT_FALSE(self.ExtractIPHeader(datagram.Buffer(), header, payload, &otherFamily, nullptr));
}

// The packet ends at its Payload Length: bytes beyond it (a link's padding)
// are neither payload nor header, and after No next header nothing is either.
TEST_F(IPHeaderTest, V6PacketEndsAtNoNextHeaderAndAtItsPayloadLength) {
  std::string base = FromHex("6000000000002CFF") + std::string(32, '\1');
  int protocol = 0;
  uint32_t headerLength = 0, payloadLength = 0;

  // Hop-by-Hop (8 bytes), Destination options (16 bytes), No next header,
  // then 10 bytes that the Payload Length of 34 still counts.
  std::string chain = base;
  chain[5] = 34;
  chain[6] = 0;
  chain += FromHex("3C00010400000000") + FromHex("3B01010C") + std::string(12, '\0') + "0123456789";
  ASSERT_TRUE(ExtractV6(chain, &protocol, &headerLength, &payloadLength));
  EXPECT_EQ(59, protocol);
  EXPECT_EQ(64u, headerLength);
  EXPECT_EQ(0u, payloadLength);

  // A Fragment header, then the transport protocol: 3 payload bytes by the
  // Payload Length, 4 more given.
  std::string padded = base;
  padded[5] = 11;
  padded[6] = 44;
  padded += FromHex("1100000100000001") + "abcdefg";
  ASSERT_TRUE(ExtractV6(padded, &protocol, &headerLength, &payloadLength));
  EXPECT_EQ(17, protocol);
  EXPECT_EQ(48u, headerLength);
  EXPECT_EQ(3u, payloadLength);

  // A Payload Length that ends the packet inside the Fragment header.
  padded[5] = 7;
  EXPECT_FALSE(ExtractV6(padded));
  // 0 is a jumbogram's: the bytes given are the packet.
  padded[5] = 0;
  ASSERT_TRUE(ExtractV6(padded, &protocol, &headerLength, &payloadLength));
  EXPECT_EQ(7u, payloadLength);
}

TEST_F(IPHeaderTest, V6FormatTakesTheFlowBitsInHostOrder) {
  CIPProto_UDP udp;
  CIPv6 source, destination;
  source.Parse("2001:db8::1");
  destination.SetLoopback();
  reinterpret_cast<sockaddr_in6*>(source.GetSockAddr())->sin6_flowinfo = htonl(0x000ABCDE);
  CBufferBase<unsigned char> payload = Bytes("12345"), header;
  ASSERT_TRUE(destination.FormatIPHeader(payload, &udp, header, &source, &destination));
  std::string h = Text(header);
  ASSERT_EQ(40u, h.size());
  EXPECT_EQ(FromHex("600ABCDE000511FF"), h.substr(0, 8));
  EXPECT_EQ(FromHex("20010DB8000000000000000000000001"), h.substr(8, 16));
  EXPECT_EQ(FromHex("00000000000000000000000000000001"), h.substr(24, 16));
  int protocol = 0;
  uint32_t payloadLength = 0;
  ASSERT_TRUE(ExtractV6(h + "12345", &protocol, nullptr, &payloadLength));
  EXPECT_EQ(17, protocol);
  EXPECT_EQ(5u, payloadLength);
}
