// The socket layer: start-up of Windows Sockets.
#pragma once

#include "tvlib/win.h"
#include <winsock2.h>

class CSocket {
 public:
  // WSAStartup for version 2.0; true when Winsock is ready. The program's main
  // body calls it once, before anything else of the network. Winsock stays up
  // until the process ends: nothing calls WSACleanup.
  static bool Startup();
};
