// Runs the program body in this process, in the current directory, and stops
// it the way a console Ctrl+C does. Modes:
//   ctrl-c   stop once the start line is in Pelorin.log
//   early    stop requested before the body starts (the loop runs no turn)
//   wait     like ctrl-c, then report how long the handler waited: the handler
//            must return only after the main thread finished its stop sequence
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "service/WatermarkMain.h"
#include "tvlib/win.h"

namespace {

bool LogHasStartLine() {
  std::ifstream in("Pelorin.log", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str().find("Starting TARVEL Watermark Extension version 1.0.14") != std::string::npos;
}

volatile LONG g_handlerSawFinished = -1;

unsigned __stdcall StopWhenStarted(void*) {
  for (int i = 0; i < 3000 && !LogHasStartLine(); ++i) ::Sleep(10);
  ConsoleCtrlHandler(CTRL_C_EVENT);
  // The handler returns after the main thread has set the finished flag
  // (or after its 3000 ms wait ran out).
  ::InterlockedExchange(&g_handlerSawFinished, MainFinishedFlag ? 1 : 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "ctrl-c";
  if (strcmp(mode, "early") == 0) {
    StopRequestFlag = true;
    return WatermarkMain(1, argv);
  }
  HANDLE stopper = (HANDLE)_beginthreadex(nullptr, 0, StopWhenStarted, nullptr, 0, nullptr);
  int rc = WatermarkMain(1, argv);
  ::WaitForSingleObject(stopper, INFINITE);
  ::CloseHandle(stopper);
  if (strcmp(mode, "wait") == 0) return g_handlerSawFinished == 1 ? rc : 42;
  return rc;
}
