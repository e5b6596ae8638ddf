// A thread whose body is a lambda, for tests.
//
// Join() waits for the end and returns what the body returned. Tests assert a
// body's result through it, never through CThread::Wait, which reads 0 for a
// thread that had already ended when Wait was reached.
#pragma once

#include <functional>

#include "support/poll.h"
#include "tvlib/threads/thread.h"

class FnThread : public CThread {
 public:
  // What Join() returns for a body that never ran.
  static constexpr int kNotRun = -0x7A11;

  explicit FnThread(std::function<int(FnThread&)> body, int stackClass = 0)
      : CThread(stackClass), m_body(std::move(body)) {}
  // The body is a member of this class: stop before it goes.
  ~FnThread() override { Stop(); }
  int ThreadEntry() override {
    m_result = m_body(*this);
    return m_result;
  }

  // Waits for the body's end without asking it to stop.
  int Join() {
    Wait();
    return m_result;
  }

  volatile LONG requestStopCalls = 0;
  void RequestStop() override {
    ::InterlockedIncrement(&requestStopCalls);
    CThread::RequestStop();
  }

 private:
  std::function<int(FnThread&)> m_body;
  int m_result = kNotRun;  // written by the body's thread before it ends
};

// Runs fn on a thread of its own (priority index 2) and returns its result.
inline int RunOnThread(const std::function<int()>& fn) {
  FnThread t([&](FnThread&) { return fn(); });
  return t.Create(2) == 0 ? t.Join() : FnThread::kNotRun;
}
