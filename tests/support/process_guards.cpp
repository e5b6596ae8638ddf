// Linked into every test executable. Under Wine an unhandled exception starts
// the debugger, which ends the process with exit code 0, so a test whose
// thread crashed would count as passed. The top-level filter runs first and
// ends the process with the exception's code instead.
#include <cstdio>

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

const bool kInstalled = (::SetUnhandledExceptionFilter(EndWithExceptionCode), true);

}  // namespace
