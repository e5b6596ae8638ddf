#include "tvlib/ipc/pipe_io.h"

#include <cstring>

namespace {

// Between two looks for a pipe name that does not exist.
const DWORD kMissingPipePauseMs = 10;

}  // namespace

HANDLE NewPipeEvent() { return ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }

DWORD PipeTransfer(PipeOperation op, HANDLE pipe, OVERLAPPED* ov, void* data, DWORD size, HANDLE stopEvent,
                   DWORD timeoutMs, DWORD* transferred, bool* pended) {
  DWORD n = 0;
  if (transferred != nullptr) *transferred = 0;
  if (pended != nullptr) *pended = false;
  HANDLE event = ov->hEvent;
  std::memset(ov, 0, sizeof(*ov));
  ov->hEvent = event;
  BOOL ok = op == kPipeRead ? ::ReadFile(pipe, data, size, nullptr, ov)
                            : ::WriteFile(pipe, data, size, nullptr, ov);
  if (!ok) {
    DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) {
      // A message longer than the buffer fills it and reports ERROR_MORE_DATA.
      if (error == ERROR_MORE_DATA && transferred != nullptr)
        *transferred = static_cast<DWORD>(ov->InternalHigh);
      return error;
    }
    if (pended != nullptr) *pended = true;
    HANDLE handles[2];
    DWORD count = 0;
    if (stopEvent != nullptr) handles[count++] = stopEvent;
    handles[count++] = ov->hEvent;
    DWORD wait = ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (wait != WAIT_OBJECT_0 + count - 1) {
      // Stop, time-out or a failed wait: nothing may stay pending into the
      // caller's buffer or record once we return.
      ::CancelIoEx(pipe, ov);
      BOOL done = ::GetOverlappedResult(pipe, ov, &n, TRUE);
      if (wait == WAIT_TIMEOUT && done) {
        if (transferred != nullptr) *transferred = n;
        return ERROR_SUCCESS;
      }
      return wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
    }
  }
  if (!::GetOverlappedResult(pipe, ov, &n, FALSE)) {
    DWORD error = ::GetLastError();
    if (transferred != nullptr) *transferred = n;
    return error;
  }
  if (transferred != nullptr) *transferred = n;
  return ERROR_SUCCESS;
}

HANDLE OpenPipeClient(const char* name, DWORD timeoutMs, DWORD* error) {
  ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    // The server may learn who we are, never act as us: a process that
    // answers in the service's place gains nothing from our token.
    HANDLE pipe =
        ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    DWORD last = ::GetLastError();
    if (error != nullptr) *error = last;
    ULONGLONG now = ::GetTickCount64();
    if ((last != ERROR_PIPE_BUSY && last != ERROR_FILE_NOT_FOUND) || now >= deadline)
      return INVALID_HANDLE_VALUE;
    // Returns as soon as an instance listens, or at the end of the wait; the
    // open can still lose the race for it to another client. A name that
    // does not exist (a server between two instances, or one still starting)
    // fails at once: looked for again after a pause.
    DWORD remaining = static_cast<DWORD>(deadline - now);
    if (!::WaitNamedPipeA(name, remaining)) {
      DWORD waited = ::GetLastError();
      if (waited == ERROR_FILE_NOT_FOUND)
        ::Sleep(remaining < kMissingPipePauseMs ? remaining : kMissingPipePauseMs);
      else if (waited != ERROR_SEM_TIMEOUT)
        ::Sleep(1);
    }
  }
}
