// Shared by the driver tests: a simulated world per test and a capture of the
// log lines written meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/boards/World.h"
#include "support/log_capture.h"

inline sim::World& W() { return sim::World::Instance(); }

// The trace entries of one operation kind ("read", "write", "open", ...).
inline std::vector<sim::TraceEntry> TraceOf(const std::string& op) {
  std::vector<sim::TraceEntry> out;
  for (auto& e : W().Trace())
    if (e.op == op) out.push_back(e);
  return out;
}

inline uint32_t U32(const std::vector<uint8_t>& d) {
  uint32_t v = 0;
  for (size_t i = 0; i < d.size() && i < 4; ++i) v |= uint32_t(d[i]) << (8 * i);
  return v;
}

// A description with boards of one kind, named b0.., on the virtual clock.
inline std::string Boards(const char* kind, int count, const std::string& extra = std::string()) {
  std::string d = "[sim]\nclock=virtual\n";
  for (int i = 0; i < count; ++i) d += "[board b" + std::to_string(i) + "]\nkind=" + kind + "\n" + extra;
  return d;
}
