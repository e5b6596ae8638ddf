// Liveness rule shared by the server, board and channel threads: each stores
// a millisecond tick every loop turn and the level above compares it with the
// clock.
#pragma once

#include <cstdint>

// A tick of 0 means "has not turned yet" and counts as alive. The caller must
// read the stored tick before reading the clock; otherwise a tick stored in
// between would be newer than `now`, and the unsigned difference would wrap.
inline bool IsTickAlive(uint64_t tick, uint64_t now, uint64_t limitMs) {
  if (tick == 0) return true;
  if (now < tick) return true;
  return now - tick <= limitMs;
}
