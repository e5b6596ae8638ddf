#include "tvlib/net/socket.h"

bool CSocket::Startup() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 0), &data) == 0;
}
