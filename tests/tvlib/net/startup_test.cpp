#include <gtest/gtest.h>

#include "tvlib/net/socket.h"

// Without start-up every Winsock call fails with WSANOTINITIALISED.
TEST(SocketStartup, MakesWinsockUsable) {
  ASSERT_EQ(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), INVALID_SOCKET);
  EXPECT_EQ(::WSAGetLastError(), WSANOTINITIALISED);
  ASSERT_TRUE(CSocket::Startup());
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_NE(s, INVALID_SOCKET);
  ::closesocket(s);
  // A second start-up only counts up.
  EXPECT_TRUE(CSocket::Startup());
}
