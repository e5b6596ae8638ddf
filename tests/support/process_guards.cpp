// Linked into every test executable: two guards that turn a test that would
// pass by accident, or fail in silence, into a failure with a reason.
//
// Crashes. Under Wine an unhandled exception starts the debugger, which ends
// the process with exit code 0, so a test whose thread crashed would count as
// passed. The top-level filter runs first and ends the process with the
// exception's code instead.
//
// Hangs. A test that waits for ever would cost CTest's whole time-out and
// print nothing. A watchdog thread gives every test kTestBoundMs (and the
// process's exit after the last test kExitBoundMs); past it, it names the
// test and ends the process with code 3.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tvlib/win.h"

namespace {

LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
  const DWORD code = record ? record->ExceptionCode : 1;
  std::fprintf(stderr, "unhandled exception 0x%08lX at %p\n", static_cast<unsigned long>(code),
               record ? record->ExceptionAddress : nullptr);
  std::fflush(stderr);
  ::TerminateProcess(::GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Well under CTest's 300 s, well over the longest test on a loaded machine.
constexpr DWORD kTestBoundMs = 200000;
constexpr DWORD kExitBoundMs = 60000;

// The bound of the running test, read by the watchdog thread. Allocated once
// and never freed: the thread outlives every static object of the process.
struct WatchdogState {
  CRITICAL_SECTION lock;
  HANDLE changed;
  std::string what;        // under lock
  ULONGLONG deadline = 0;  // under lock; 0 when nothing is bounded
};

class Watchdog : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& info) override {
    Arm(std::string(info.test_suite_name()) + "." + info.name(), kTestBoundMs);
  }
  void OnTestEnd(const ::testing::TestInfo&) override { Arm("", 0); }
  void OnTestProgramEnd(const ::testing::UnitTest&) override { Arm("the process's exit", kExitBoundMs); }

 private:
  // Called on the gtest thread only.
  void Arm(const std::string& what, DWORD boundMs) {
    if (m_state == nullptr) {
      m_state = new WatchdogState;
      ::InitializeCriticalSection(&m_state->lock);
      m_state->changed = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
      ::CloseHandle(::CreateThread(nullptr, 0, &Watchdog::Main, m_state, 0, nullptr));
    }
    ::EnterCriticalSection(&m_state->lock);
    m_state->what = what;
    m_state->deadline = boundMs ? ::GetTickCount64() + boundMs : 0;
    ::LeaveCriticalSection(&m_state->lock);
    ::SetEvent(m_state->changed);
  }

  static DWORD WINAPI Main(void* arg) {
    WatchdogState* state = static_cast<WatchdogState*>(arg);
    for (;;) {
      ::EnterCriticalSection(&state->lock);
      const ULONGLONG deadline = state->deadline;
      const std::string what = state->what;
      ::LeaveCriticalSection(&state->lock);
      const ULONGLONG now = ::GetTickCount64();
      if (deadline != 0 && now >= deadline) {
        std::fprintf(stdout, "\n[ WATCHDOG ] %s did not end within its bound; ending the process\n",
                     what.c_str());
        std::fprintf(stderr, "[ WATCHDOG ] %s did not end within its bound\n", what.c_str());
        std::fflush(stdout);
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
      }
      ::WaitForSingleObject(state->changed, deadline == 0 ? INFINITE : static_cast<DWORD>(deadline - now));
    }
  }

  WatchdogState* m_state = nullptr;
};

const bool kInstalled = (::SetUnhandledExceptionFilter(EndWithExceptionCode),
                         ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog), true);

}  // namespace
