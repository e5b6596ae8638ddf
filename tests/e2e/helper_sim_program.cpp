// pelorin_sim.exe's body with one more stop source: the console handler,
// called when a stop file appears. Tests stand it in for Ctrl+C, which a
// Windows process cannot send to another under Wine (no shared console).
//   helper_sim_program.exe STOPFILE [program options...]
#include <process.h>

#include <string>
#include <vector>

#include "service/WatermarkMain.h"
#include "tvlib/win.h"

namespace {

std::string g_stopFile;

unsigned __stdcall StopOnFile(void*) {
  while (::GetFileAttributesA(g_stopFile.c_str()) == INVALID_FILE_ATTRIBUTES) ::Sleep(20);
  ConsoleCtrlHandler(CTRL_C_EVENT);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_stopFile = argv[1];
  std::vector<char*> args = {argv[0]};
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  HANDLE watcher = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, StopOnFile, nullptr, 0, nullptr));
  if (watcher) ::CloseHandle(watcher);
  return ProgramMain(static_cast<int>(args.size()), args.data());
}
