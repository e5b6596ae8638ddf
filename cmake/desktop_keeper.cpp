// Holds Wine's desktop for the life of the build prefix's wineserver.
//
// The first program of a prefix that touches the desktop makes Wine start
// explorer.exe /desktop, which inherits that program's standard handles, and
// the desktop process ends only once the desktop has been idle for a second.
// When a test process started it, the explorer kept the test's output pipe
// open long after the test had ended, and CTest waited for it, 40 to 190 s
// while the rest of the suite kept the desktop busy. wine-run starts this
// program with the persistent server, its output sent nowhere: the explorer
// is started here, with those handles, and never idles until the server ends.
//
// Prints "ready" once it holds the desktop; then waits until it is killed.
#include <cstdio>

#include "tvlib/win.h"

int main() {
  if (::GetDesktopWindow() == nullptr) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  ::Sleep(INFINITE);
  return 0;
}
