// Checksums, the UDP-Lite frame and the protocol objects, on bytes alone.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "net_fixture.h"
#include "tvlib/fec/reed_solomon_codec.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"

using namespace nettest;

namespace {

uint16_t Checksum(const std::string& s, uint16_t previous = 0) {
  return CIPProto::InternetChecksum(reinterpret_cast<const unsigned char*>(s.data()),
                                    static_cast<uint32_t>(s.size()), previous);
}

std::string FromBytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// A frame of `payload` from port 1000 to port 2000.
std::string Frame(const CIPProto& proto, const std::string& payload) {
  CIPv4 from, to;
  from.SetPort(1000);
  to.SetPort(2000);
  CBufferBase<unsigned char> buffer = Bytes(payload);
  EXPECT_TRUE(proto.FormatFrame(buffer, &from, &to));
  return Text(buffer);
}

void SetChecksum(std::string& frame, uint16_t value) {
  frame[6] = char(value >> 8);
  frame[7] = char(value & 0xFF);
}

// Extracts with sentinel ports; the buffer's bytes after the call.
bool Extract(const CIPProto& proto, const std::string& frame, std::string* rest = nullptr,
             unsigned short* fromPort = nullptr, unsigned short* toPort = nullptr) {
  GuardedBytes guarded(frame);
  CBufferBase<unsigned char> buffer;
  buffer.Append(guarded.Buffer().GetData(), static_cast<int>(frame.size()));
  CIPv4 from, to;
  from.SetPort(7);
  to.SetPort(7);
  // Checked flush against the page first, then on the copy that may shrink.
  CBufferBase<unsigned char> view(guarded.Buffer().GetData(), static_cast<uint32_t>(frame.size()));
  bool onPage = proto.ExtractFrame(view, nullptr, nullptr);
  bool ok = proto.ExtractFrame(buffer, &from, &to);
  EXPECT_EQ(ok, onPage);
  if (rest) *rest = Text(buffer);
  if (fromPort) *fromPort = from.GetPort();
  if (toPort) *toPort = to.GetPort();
  return ok;
}

}  // namespace

class FramingTest : public NetTest {};

TEST_F(FramingTest, InternetChecksum) {
  EXPECT_EQ(0xFFFE, Checksum(FromBytes({0x00, 0x01})));
  EXPECT_EQ(0xFFFF, Checksum(""));
  EXPECT_EQ(0x1234, Checksum("", 0x1234));
  EXPECT_EQ(0xFEFF, Checksum(FromBytes({0x01})));  // an odd last byte is a high byte
  EXPECT_EQ(Checksum(FromBytes({0x12, 0x34, 0x56, 0x00})), Checksum(FromBytes({0x12, 0x34, 0x56})));
  std::mt19937 random(1234);
  for (int i = 0; i < 200; ++i) {
    std::string a(2 * (random() % 40), '\0'), b(random() % 81, '\0');
    for (char& c : a) c = static_cast<char>(random());
    for (char& c : b) c = static_cast<char>(random());
    if (Checksum(a) == 0) continue;  // 0 means "nothing before"
    EXPECT_EQ(Checksum(a + b), Checksum(b, Checksum(a))) << i;
  }
}

TEST_F(FramingTest, UdpLiteFrameCarriesPortsAndHeaderChecksum) {
  CIPProto_UDPLite udplite;
  std::string frame = Frame(udplite, "abc");
  EXPECT_EQ(FromBytes({0x03, 0xE8, 0x07, 0xD0, 0x00, 0x08, 0xF4, 0x3F}) + "abc", frame);
  std::string rest;
  unsigned short from = 0, to = 0;
  ASSERT_TRUE(Extract(udplite, frame, &rest, &from, &to));
  EXPECT_EQ("abc", rest);
  EXPECT_EQ(1000, from);
  EXPECT_EQ(2000, to);
  // Only the header is covered as sent.
  frame[9] ^= 0x20;
  EXPECT_TRUE(Extract(udplite, frame, &rest));
  EXPECT_EQ("aBc", rest);
  EXPECT_TRUE(Extract(udplite, Frame(udplite, "")));
}

TEST_F(FramingTest, UdpLiteCoverage) {
  CIPProto_UDPLite udplite;
  const std::string payload = "0123456789";
  std::string frame = Frame(udplite, payload);
  struct Case {
    uint16_t coverage;
    size_t covered;  // bytes after the header under the checksum
  } cases[] = {{0, 10}, {18, 10}, {500, 10}, {10, 2}, {3, 0}};
  for (const Case& c : cases) {
    std::string f = frame;
    f[4] = char(c.coverage >> 8);
    f[5] = char(c.coverage & 0xFF);
    uint16_t sum = Checksum(f.substr(0, 6));
    if (c.covered > 0) sum = Checksum(f.substr(8, c.covered), sum);
    SetChecksum(f, sum);
    std::string rest;
    ASSERT_TRUE(Extract(udplite, f, &rest)) << c.coverage;
    EXPECT_EQ(payload, rest);
    if (c.covered > 0) {
      std::string flipped = f;
      flipped[8 + c.covered - 1] ^= 1;
      EXPECT_FALSE(Extract(udplite, flipped, &rest)) << c.coverage;
      EXPECT_EQ(flipped, rest);  // refused frames stay as they were
    }
    if (c.covered < payload.size()) {
      std::string flipped = f;
      flipped[8 + c.covered] ^= 1;
      EXPECT_TRUE(Extract(udplite, flipped)) << c.coverage;
    }
  }
}

TEST_F(FramingTest, UdpLiteZeroChecksumTravelsAsAllOnes) {
  CIPProto_UDPLite udplite;
  // Ports whose header words sum to 0xFFFF: the computed checksum is 0.
  CIPv4 from, to;
  from.SetPort(0xFFF7 - 0x0100);
  to.SetPort(0x0100);
  CBufferBase<unsigned char> buffer = Bytes("x");
  ASSERT_TRUE(udplite.FormatFrame(buffer, &from, &to));
  std::string frame = Text(buffer);
  EXPECT_EQ(0xFF, uint8_t(frame[6]));
  EXPECT_EQ(0xFF, uint8_t(frame[7]));
  EXPECT_TRUE(Extract(udplite, frame));
}

TEST_F(FramingTest, UdpLiteRefusesShortAndDamagedFrames) {
  CIPProto_UDPLite udplite;
  std::string frame = Frame(udplite, "abc");
  for (size_t n = 0; n < 8; ++n) EXPECT_FALSE(Extract(udplite, frame.substr(0, n))) << n;
  for (int bit = 0; bit < 64; ++bit) {
    std::string f = frame;
    f[bit / 8] ^= char(1 << (bit % 8));
    if (bit / 8 == 4 || bit / 8 == 5) continue;  // coverage changes what is summed
    std::string rest;
    EXPECT_FALSE(Extract(udplite, f, &rest)) << bit;
    EXPECT_EQ(f, rest);
  }
}

// Frames are built in the caller's buffer: senders on several threads never
// share a work area.
TEST_F(FramingTest, UdpLiteFramesOnTwoThreadsAtOnce) {
  CIPProto_UDPLite udplite;
  volatile LONG bad = 0;
  auto body = [&](int seed) {
    return [&, seed](FnThread&) {
      CIPv4 from, to;
      for (int i = 0; i < 10000; ++i) {
        from.SetPort(static_cast<unsigned short>(seed + i));
        to.SetPort(static_cast<unsigned short>(seed * 3 + i));
        std::string payload = std::to_string(seed) + ":" + std::to_string(i);
        CBufferBase<unsigned char> buffer = Bytes(payload);
        CIPv4 gotFrom, gotTo;
        if (!udplite.FormatFrame(buffer, &from, &to) || !udplite.ExtractFrame(buffer, &gotFrom, &gotTo) ||
            Text(buffer) != payload || gotFrom.GetPort() != from.GetPort() || gotTo.GetPort() != to.GetPort())
          ::InterlockedIncrement(&bad);
      }
      return 0;
    };
  };
  FnThread a(body(1)), b(body(20000));
  ASSERT_EQ(0, a.Create(2));
  ASSERT_EQ(0, b.Create(2));
  a.Wait();
  b.Wait();
  EXPECT_EQ(0, bad);
}

TEST_F(FramingTest, CreateByIdAndByWholeName) {
  struct Case {
    const char* name;
    int id;
    const char* kind;
    int number;
  } cases[] = {{"UDP", 1, "UDP", 17},           {"tcp", 2, "TCP", 6},   {"TcP", 2, "TCP", 6},
               {"udplite", 3, "UDP-Lite", 136}, {"RAW", 4, "Raw", 253}, {"raw2", 5, "Raw", 254}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.id, CIPProto::GetProtocolId(c.name)) << c.name;
    std::unique_ptr<CIPProto> byName(CIPProto::Create(c.name));
    std::unique_ptr<CIPProto> byId(CIPProto::Create(c.id));
    ASSERT_NE(nullptr, byName) << c.name;
    ASSERT_NE(nullptr, byId);
    EXPECT_STREQ(c.kind, byName->GetName());
    EXPECT_STREQ(c.kind, byId->GetName());
    EXPECT_EQ(c.number, byName->GetProtocolNumber());
  }
  for (const char* name : {"UDP-Lite", "UD", "UDPX", "RAW 2", "", "raw3"}) {
    EXPECT_EQ(0, CIPProto::GetProtocolId(name)) << name;
    EXPECT_EQ(nullptr, CIPProto::Create(name)) << name;
  }
  EXPECT_EQ(nullptr, CIPProto::Create(static_cast<const char*>(nullptr)));
  EXPECT_EQ(nullptr, CIPProto::Create(0));
  EXPECT_EQ(nullptr, CIPProto::Create(6));
}

TEST_F(FramingTest, PropertiesOfTheKinds) {
  struct Row {
    int id, type;
    bool stream, header, standard, frame;
    int maxPort, sharing, frameSize, headerSize;
  } rows[] = {
      {1, SOCK_DGRAM, false, false, true, false, 65535, 1, 0, 8},
      {2, SOCK_STREAM, true, false, true, false, 65535, 1, 0, 20},
      {3, SOCK_DGRAM, false, false, true, true, 65535, 2, 8, 8},
      {4, SOCK_RAW, false, true, false, true, 15, 2, 2, 2},
  };
  for (const Row& r : rows) {
    std::unique_ptr<CIPProto> p(CIPProto::Create(r.id));
    ASSERT_NE(nullptr, p);
    SCOPED_TRACE(p->GetName());
    EXPECT_EQ(r.type, p->GetSocketType());
    EXPECT_EQ(r.stream, p->IsStream());
    EXPECT_EQ(r.header, p->ReceivesIPHeader());
    EXPECT_EQ(r.standard, p->IsStandardProtocol());
    EXPECT_EQ(r.frame, p->HasFrame());
    EXPECT_EQ(1, p->GetMinPort());
    EXPECT_EQ(r.maxPort, p->GetMaxPort());
    EXPECT_EQ(r.sharing, p->GetSocketSharing());
    EXPECT_EQ(r.frameSize, p->GetFrameSize());
    EXPECT_EQ(r.headerSize, p->GetHeaderSize());
  }
  // Without a frame the bytes pass unchanged.
  CIPProto_UDP udp;
  CBufferBase<unsigned char> b = Bytes("same");
  EXPECT_TRUE(udp.FormatFrame(b, nullptr, nullptr));
  EXPECT_TRUE(udp.ExtractFrame(b, nullptr, nullptr));
  EXPECT_EQ("same", Text(b));
  CIPv4 v4;
  EXPECT_FALSE(CIPProto_TCP().SetTransportOptions(&v4, INVALID_SOCKET));
  CIPv6 v6;
  EXPECT_FALSE(udp.SetTransportOptions(&v6, INVALID_SOCKET));
  EXPECT_EQ(2, CIPProto_Raw(2).GetProtocolNumber());
}

namespace {

// A RAW frame of `payload` from port `from` to port `to`.
std::string RawFrame(const std::string& payload, unsigned short from, unsigned short to) {
  CIPProto_Raw raw(2);
  CIPv4 source, destination;
  source.SetPort(from);
  destination.SetPort(to);
  CBufferBase<unsigned char> buffer = Bytes(payload);
  EXPECT_TRUE(raw.FormatFrame(buffer, &source, &destination)) << from << " " << to;
  return Text(buffer);
}

}  // namespace

TEST_F(FramingTest, RawTrailerCarriesPortsUnderParity) {
  CIPProto_Raw raw(2);
  std::string frame = RawFrame("data", 3, 5);
  ASSERT_EQ(6u, frame.size());
  EXPECT_EQ("data", frame.substr(0, 4));
  EXPECT_EQ(0x53, uint8_t(frame[4]));
  // The parity byte is the global codec's.
  CBufferBase<unsigned char> coded = Bytes(std::string(1, '\x53'));
  ASSERT_TRUE(GetGlobalRawFEC()->ComputeFEC(coded));
  EXPECT_EQ(Text(coded), frame.substr(4));
  for (int bit = 0; bit < 16; ++bit) {
    std::string f = frame;
    f[4 + bit / 8] ^= char(1 << (bit % 8));
    std::string rest;
    unsigned short from = 0, to = 0;
    ASSERT_TRUE(Extract(raw, f, &rest, &from, &to)) << bit;
    EXPECT_EQ("data", rest);
    EXPECT_EQ(3, from);
    EXPECT_EQ(5, to);
  }
  for (int from = 0; from < 16; ++from)
    for (int to = 0; to < 16; ++to) {
      unsigned short gotFrom = 99, gotTo = 99;
      std::string rest;
      ASSERT_TRUE(Extract(raw, RawFrame("", from, to), &rest, &gotFrom, &gotTo));
      EXPECT_EQ("", rest);
      EXPECT_EQ(from, gotFrom);
      EXPECT_EQ(to, gotTo);
    }
}

TEST_F(FramingTest, RawRefusesWidePortsAndShortFrames) {
  CIPProto_Raw raw(2);
  CIPv4 source, destination;
  source.SetPort(16);
  destination.SetPort(1);
  CBufferBase<unsigned char> buffer = Bytes("abc");
  {
    LogCapture log;
    EXPECT_FALSE(raw.FormatFrame(buffer, &source, &destination));
    EXPECT_FALSE(raw.FormatFrame(buffer, &destination, &source));
    EXPECT_TRUE(log.Has("RAW Protocol: ports must be between 0-15"));
  }
  EXPECT_EQ("abc", Text(buffer));
  EXPECT_FALSE(Extract(raw, "x"));
  EXPECT_FALSE(Extract(raw, ""));
  // A trailer the codec cannot correct leaves the frame as it was.
  std::string frame = RawFrame("abc", 1, 2);
  bool refused = false;
  for (int flips = 1; flips < 256 && !refused; ++flips) {
    std::string f = frame;
    f[3] ^= char(flips & 0x0F);
    f[4] ^= char(flips & 0xF0);
    std::string rest;
    if (!Extract(raw, f, &rest)) {
      refused = true;
      EXPECT_EQ(f, rest);
    }
  }
  EXPECT_TRUE(refused);
}
