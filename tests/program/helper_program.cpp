// Runs pieces of the program body in this process. Modes:
//   finished ARGS...   WatermarkMain with ARGS; exits with its result when
//                      MainFinishedFlag is set afterwards, else with 42
//   not-responding     logs to Pelorin.log in the current directory, then
//                      ends the way a hung server ends the process
//   idle               does nothing for two minutes, then exits with 0
#include <cstring>
#include <vector>

#include "service/WatermarkMain.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/win.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (strcmp(argv[1], "finished") == 0) {
    std::vector<char*> args = {argv[0]};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    int rc = WatermarkMain(static_cast<int>(args.size()), args.data());
    return MainFinishedFlag ? rc : 42;
  }
  if (strcmp(argv[1], "not-responding") == 0) {
    LogVerbosity = 3;
    SetLogConsoleEcho(false);
    GetLogger()->Open("Pelorin.log", true, true, true);
    // Enough lines ahead of the last one that the writer is still busy.
    for (int i = 0; i < 200; ++i) LogLevel3("line %d before the end", i);
    EndProcessNotResponding(false);
  }
  if (strcmp(argv[1], "idle") == 0) {
    ::Sleep(120000);
    return 0;
  }
  return 2;
}
