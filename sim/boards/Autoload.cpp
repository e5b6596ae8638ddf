// pelorin_sim.exe only: builds the simulated world before main() runs, from
// the description named by PELORIN_SIM. Without one there are no boards.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/boards/World.h"

namespace {

struct AutoLoad {
  AutoLoad() {
    const char* path = std::getenv("PELORIN_SIM");
    if (path == nullptr || *path == '\0') return;
    std::string error;
    if (!sim::World::Instance().LoadFile(path, &error)) {
      std::fprintf(stderr, "PELORIN_SIM=%s: %s\n", path, error.c_str());
      return;
    }
    sim::World::Instance().EnableTraceLog();
  }
};

AutoLoad autoLoad;

}  // namespace
