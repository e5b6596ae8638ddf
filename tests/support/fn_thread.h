// A thread whose body is a lambda, for tests.
#pragma once

#include <functional>

#include "support/poll.h"
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
