// The only door from the driver objects to the boards' kernel driver.
//
// Every SetupDi call, device-file open, seek, transfer and control call made
// under drivers/ goes through these functions, and so do the pauses and the
// clock of the reset waits. DeviceIo_win32.cpp forwards them one to one to
// Win32 and is linked into pelorin.exe; the simulated boards provide a second
// implementation that tests, tools and pelorin_sim.exe link instead. Which one
// a program gets is decided by the linker alone, never at run time.
//
// The signatures are Win32's minus the arguments that are always null
// (enumerator, window, overlapped, security attributes, template file).
// Failures set the calling thread's last error exactly as Win32 does.
#pragma once

#include <cstdint>

#include "tvlib/scoped_handle.h"
#include "tvlib/win.h"
#include <setupapi.h>

namespace devio {
HDEVINFO GetClassDevs(const GUID* cls, DWORD flags);
BOOL EnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD index, SP_DEVICE_INTERFACE_DATA*);
BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA*, SP_DEVICE_INTERFACE_DETAIL_DATA_A*,
                              DWORD size, DWORD* required);
BOOL DestroyDeviceInfoList(HDEVINFO);
BOOL GetVersionEx(OSVERSIONINFOA*);
HANDLE CreateFile(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
BOOL CloseHandle(HANDLE);
DWORD SetFilePointer(HANDLE, LONG low, LONG* high, DWORD method);
BOOL ReadFile(HANDLE, void* buf, DWORD len, DWORD* done);
BOOL WriteFile(HANDLE, const void* buf, DWORD len, DWORD* done);
BOOL DeviceIoControl(HANDLE, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned);
// Cancels the synchronous call that `thread` is blocked in; the call fails
// with ERROR_OPERATION_ABORTED once the driver honours the cancellation (a
// driver that does not leaves the call blocked). FALSE with ERROR_NOT_FOUND
// when the thread has no call pending.
BOOL CancelSynchronousIo(HANDLE thread);
void Sleep(DWORD ms);  // the pauses of the register transfers and resets only
uint64_t TickMs();     // the deadlines of WaitEndReset only
}  // namespace devio

// Guards for what the seam hands out; they close through the seam.
struct DevioFileTraits {
  typedef HANDLE Handle;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { devio::CloseHandle(h); }
};
struct DeviceInfoListTraits {
  typedef HDEVINFO Handle;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { devio::DestroyDeviceInfoList(h); }
};
typedef CScopedHandle<DevioFileTraits> ScopedDevioFile;
typedef CScopedHandle<DeviceInfoListTraits> ScopedDeviceInfoList;
