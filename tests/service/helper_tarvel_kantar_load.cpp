// Child process for the load tests: loads ostrel from argv[1] and tells by its
// exit code whether it worked (0) or not (1), and from where.
#include "service/TarvelKantar.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (!CTarvelKantar::LoadLibrary(argv[1])) {
    CTarvelKantar::UnloadLibrary();
    return 1;
  }
  char path[MAX_PATH] = "";
  GetModuleFileNameA(GetModuleHandleA("ostrel.dll"), path, MAX_PATH);
  printf("loaded %s version %d\n", path, CTarvelKantar::GetLibraryVersionNumber());
  CTarvelKantar::UnloadLibrary();
  return 0;
}
