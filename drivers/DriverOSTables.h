// The process-wide tables behind CDriverOS: the paths that enumeration found,
// per kind (DriverOS.h says who appends and who reads them). DriverOS.cpp
// owns them. The only other user is the simulated boards' world, which
// replaces the machine's boards between one world and the next and so makes
// the next driver object enumerate afresh (sim::NewWorld).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tvlib/win.h"

namespace driveros {

constexpr int kMaxPaths = 128;

struct KindTable {
  std::string paths[kMaxPaths];  // each entry written once, before the count exposes it
  std::atomic<int32_t> count{0};
  std::string version;  // guarded by Tables::versionLock
};

struct Tables {
  KindTable kinds[2];
  bool enumerated = false;  // guarded by enumerationLock
  // Serialises enumeration turns: the appends of two turns would race for the
  // same free entry, and the first driver objects may be built on several
  // threads at once. Readers of the tables never take it.
  CRITICAL_SECTION enumerationLock;
  CRITICAL_SECTION versionLock;
  Tables() {
    ::InitializeCriticalSection(&enumerationLock);
    ::InitializeCriticalSection(&versionLock);
  }
};

Tables& GetTables();

}  // namespace driveros
