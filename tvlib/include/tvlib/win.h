// The one include of <windows.h> for the whole tree. Every source includes this
// header instead, so that the macro clean-ups are the same everywhere.
//
// The target version and the trimmings come from the command line (tvlib's
// public compile definitions): defined here, they would lose to mingw's own
// version as soon as any standard header came first.
#pragma once

#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0601
// Windows 7: GetTickCount64, SRW-era APIs.
#error "tvlib/win.h: build with _WIN32_WINNT=0x0601, as tvlib's target gives it"
#endif
#if !defined(WIN32_LEAN_AND_MEAN) || !defined(NOMINMAX)
#error "tvlib/win.h: build with WIN32_LEAN_AND_MEAN and NOMINMAX, as tvlib's target gives them"
#endif

#include <windows.h>
// timeBeginPeriod/timeEndPeriod, which WIN32_LEAN_AND_MEAN leaves out.
#include <mmsystem.h>

// mingw's winbase.h defines Yield() as an empty macro, which would silently
// delete CThread::Yield.
#undef Yield
