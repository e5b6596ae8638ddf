// The one way tests wait for something another thread or process does: poll a
// predicate with a generous limit. Never a timing assertion: the limit only
// bounds a test that would otherwise hang.
#pragma once

#include <functional>
#include <string>

#include "support/paths.h"
#include "tvlib/win.h"

namespace testsupport {

inline bool WaitUntil(const std::function<bool()>& pred, DWORD timeoutMs = 10000, DWORD stepMs = 2) {
  ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (!pred()) {
    if (::GetTickCount64() > end) return pred();
    ::Sleep(stepMs);
  }
  return true;
}

}  // namespace testsupport

using testsupport::WaitUntil;

namespace testsupport {

// Polls a file that another thread or process writes until a line holds `part`.
inline bool WaitForLineContaining(const std::string& path, const std::string& part, DWORD timeoutMs = 10000) {
  return WaitUntil([&] { return ReadBytes(path).find(part) != std::string::npos; }, timeoutMs, 10);
}

}  // namespace testsupport
