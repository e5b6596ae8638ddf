// A thread whose body is a lambda, for tests.
#pragma once

#include <functional>

#include "tvlib/threads/thread.h"

class FnThread : public CThread {
 public:
  explicit FnThread(std::function<int(FnThread&)> body, int stackClass = 0)
      : CThread(stackClass), m_body(std::move(body)) {}
  // The body is a member of this class: stop before it goes.
  ~FnThread() override { Stop(); }
  int ThreadEntry() override { return m_body(*this); }

  volatile LONG requestStopCalls = 0;
  void RequestStop() override {
    ::InterlockedIncrement(&requestStopCalls);
    CThread::RequestStop();
  }

 private:
  std::function<int(FnThread&)> m_body;
};

// Polls a predicate up to timeoutMs; true once it holds.
inline bool WaitUntil(const std::function<bool()>& pred, DWORD timeoutMs = 10000) {
  ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (!pred()) {
    if (::GetTickCount64() > end) return false;
    ::Sleep(1);
  }
  return true;
}
