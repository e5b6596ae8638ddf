// Address objects: texts, ports, comparisons and the raw record.
#include <gtest/gtest.h>

#include <cstring>

#include "net_fixture.h"

using namespace nettest;

namespace {

IPRawAddress RawOf(const char* text) { return CIPbase::StringToRaw(text, std::strlen(text)); }

std::string Hex(const IPRawAddress& raw) {
  std::string out;
  char b[4];
  for (unsigned char c : raw.bytes) {
    snprintf(b, sizeof b, "%02X", c);
    out += b;
  }
  return out;
}

}  // namespace

class AddressTest : public NetTest {};

TEST_F(AddressTest, TextsRoundTrip) {
  CIPv4 v4;
  for (const char* text : {"0.0.0.0", "127.0.0.1", "10.1.2.3", "192.168.200.254"}) {
    ASSERT_TRUE(v4.Parse(text)) << text;
    EXPECT_STREQ(text, v4.ToString());
  }
  CIPv6 v6;
  ASSERT_TRUE(v6.Parse("[::1]:6001"));
  EXPECT_EQ(6001, v6.GetPort());
  EXPECT_STREQ("[::1]:6001", v6.ToString());
  ASSERT_TRUE(v6.Parse("fe80::2%4"));
  EXPECT_EQ(0, v6.GetPort());  // a text without a port sets port 0
  EXPECT_STREQ("fe80::2%4", v6.ToString());
  ASSERT_TRUE(v6.Parse("::1"));
  EXPECT_EQ(3u, std::strlen(v6.ToString()));
  EXPECT_STREQ("::1", v6.ToString());
}

TEST_F(AddressTest, EmptyTextIsTheAnyAddress) {
  CIPv4 v4;
  v4.SetLoopback();
  EXPECT_TRUE(v4.Parse(""));
  EXPECT_STREQ("0.0.0.0", v4.ToString());
  CIPv6 v6;
  v6.SetLoopback();
  EXPECT_TRUE(v6.Parse(nullptr));
  EXPECT_STREQ("::", v6.ToString());
}

TEST_F(AddressTest, FailedParsesLeaveUsableObjects) {
  CIPv4 v4;
  v4.SetPort(77);
  EXPECT_FALSE(v4.Parse("10.0.0.300"));
  EXPECT_EQ(INADDR_NONE, v4.GetAddress());
  EXPECT_EQ(77, v4.GetPort());
  EXPECT_FALSE(v4.Parse("255.255.255.255"));  // inet_addr's failure value itself

  CIPv6 v6;
  EXPECT_FALSE(v6.Parse("10.0.0.1"));
  EXPECT_EQ(AF_INET6, reinterpret_cast<const sockaddr_in6*>(v6.GetSockAddr())->sin6_family);
  v6.SetLoopback();
  v6.SetPort(Port(0));
  SOCKET s = ::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(INVALID_SOCKET, s);
  EXPECT_EQ(0, ::bind(s, v6.GetSockAddr(), v6.GetSockAddrSize())) << ::WSAGetLastError();
  ::closesocket(s);
}

TEST_F(AddressTest, PortsAndComparisons) {
  for (CIPbase* a : std::initializer_list<CIPbase*>{new CIPv4(), new CIPv6()}) {
    std::unique_ptr<CIPbase> owner(a);
    EXPECT_FALSE(a->SetPort(0));
    EXPECT_EQ(0, a->GetPort());
    EXPECT_TRUE(a->SetPort(4660));
    EXPECT_EQ(4660, a->GetPort());
  }
  auto any = Address("10.0.0.1", 0);
  auto p5000 = Address("10.0.0.1", 5000);
  auto p5001 = Address("10.0.0.1", 5001);
  auto other = Address("10.0.0.2", 5000);
  EXPECT_TRUE(any->Matches(p5000.get()));
  EXPECT_TRUE(any->Matches(p5001.get()));
  EXPECT_TRUE(p5000->Matches(any.get()));
  EXPECT_TRUE(p5000->Matches(p5000.get()));
  EXPECT_FALSE(p5000->Matches(p5001.get()));
  EXPECT_FALSE(p5000->Matches(other.get()));
  EXPECT_TRUE(p5000->IsSameAddress(p5001.get()));
  EXPECT_FALSE(p5000->IsSameAddress(other.get()));

  auto v6a = Address("::1", 0);
  auto v6b = Address("::1", 9);
  auto v6c = Address("::2", 9);
  EXPECT_TRUE(v6a->Matches(v6b.get()));
  EXPECT_TRUE(v6b->IsSameAddress(v6a.get()));
  EXPECT_FALSE(v6b->Matches(v6c.get()));
  // Across families nothing matches, whatever the bytes.
  EXPECT_FALSE(any->IsSameFamily(v6a.get()));
  EXPECT_FALSE(any->Matches(v6a.get()));
  EXPECT_FALSE(v6a->Matches(any.get()));
  EXPECT_FALSE(v6a->IsSameAddress(any.get()));
  EXPECT_FALSE(any->Assign(v6a.get()));

  std::unique_ptr<CIPbase> copy(p5001->Clone());
  EXPECT_TRUE(copy->Matches(p5001.get()));
  EXPECT_FALSE(copy->Matches(p5000.get()));
  EXPECT_TRUE(copy->Assign(other.get()));
  EXPECT_STREQ("10.0.0.2", copy->ToString());
  EXPECT_EQ(5000, copy->GetPort());
}

TEST_F(AddressTest, RawRecords) {
  CIPv4 v4;
  ASSERT_TRUE(v4.Parse("192.168.1.2"));
  IPRawAddress raw;
  v4.ToRaw(raw);
  EXPECT_EQ(
      "01000000"
      "000000000000000000000000"
      "0201A8C0",
      Hex(raw));
  CIPv4 back;
  EXPECT_TRUE(back.FromRaw(raw));
  EXPECT_STREQ("192.168.1.2", back.ToString());
  EXPECT_EQ("192.168.1.2", CIPbase::RawToString(raw));
  EXPECT_EQ(Hex(raw), Hex(RawOf("192.168.1.2")));

  // The broadcast record is an address like any other.
  IPRawAddress broadcast = {};
  broadcast.bytes[0] = 1;
  std::memset(broadcast.bytes + 16, 0xFF, 4);
  EXPECT_TRUE(back.FromRaw(broadcast));
  EXPECT_EQ(0xFFFFFFFFu, back.GetAddress());
  EXPECT_EQ("255.255.255.255", CIPbase::RawToString(broadcast));

  CIPv6 v6;
  ASSERT_TRUE(v6.Parse("2001:db8::102:304"));
  v6.ToRaw(raw);
  EXPECT_EQ(
      "02000000"
      "04030201"
      "0000000000000000"
      "B80D0120",
      Hex(raw));
  EXPECT_EQ(Hex(raw), Hex(RawOf("2001:db8::102:304")));
  std::unique_ptr<CIPbase> made(CIPbase::CreateFromRaw(raw));
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(1, made->GetVersionIndex());
  EXPECT_TRUE(made->IsSameAddress(&v6));
  EXPECT_FALSE(v4.FromRaw(raw));  // kinds are not crossed
  EXPECT_FALSE(v6.FromRaw(broadcast));

  IPRawAddress none = {};
  EXPECT_EQ(nullptr, CIPbase::CreateFromRaw(none));
  EXPECT_EQ("", CIPbase::RawToString(none));
  none.bytes[0] = 3;
  EXPECT_EQ(nullptr, CIPbase::CreateFromRaw(none));
}

TEST_F(AddressTest, StringToRawEdges) {
  const std::string zero(40, '0');
  EXPECT_EQ(zero, Hex(CIPbase::StringToRaw("1.2.3.4", 0)));
  CIPv4 any;
  IPRawAddress anyRaw;
  any.ToRaw(anyRaw);
  EXPECT_EQ(Hex(anyRaw), Hex(CIPbase::StringToRaw("", 1)));
  EXPECT_EQ(Hex(anyRaw), Hex(CIPbase::StringToRaw(nullptr, 5)));
  EXPECT_EQ(zero, Hex(RawOf("no address")));
  EXPECT_EQ(zero, Hex(RawOf("255.255.255.255")));

  // A text flush against an inaccessible page, with no terminator.
  GuardedBytes v4Text("10.9.8.7");
  EXPECT_EQ(Hex(RawOf("10.9.8.7")), Hex(CIPbase::StringToRaw(v4Text.Chars(), 8)));
  GuardedBytes v6Text("::1");
  EXPECT_EQ(Hex(RawOf("::1")), Hex(CIPbase::StringToRaw(v6Text.Chars(), 3)));
  EXPECT_EQ("::1", CIPbase::RawToString(CIPbase::StringToRaw(v6Text.Chars(), 3)));
}
