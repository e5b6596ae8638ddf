// The one include of <windows.h> for the whole tree. Every source includes this
// header instead, so that the target version and the macro clean-ups are the
// same everywhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: GetTickCount64, SRW-era APIs
#endif

#include <windows.h>
// timeBeginPeriod/timeEndPeriod, which WIN32_LEAN_AND_MEAN leaves out.
#include <mmsystem.h>

// mingw's winbase.h defines Yield() as an empty macro, which would silently
// delete CThread::Yield.
#undef Yield
