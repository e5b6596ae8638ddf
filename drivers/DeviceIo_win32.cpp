// Production side of the board seam: each call goes straight to Win32.
#include "drivers/DeviceIo.h"

#include "tvlib/time/clock.h"

namespace devio {

HDEVINFO GetClassDevs(const GUID* cls, DWORD flags) {
  return ::SetupDiGetClassDevsA(cls, nullptr, nullptr, flags);
}

BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  return ::SetupDiEnumDeviceInterfaces(set, nullptr, cls, index, data);
}

BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required) {
  return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, nullptr);
}

BOOL DestroyDeviceInfoList(HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }

BOOL GetVersionEx(OSVERSIONINFOA* info) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExA(info);
#pragma GCC diagnostic pop
}

HANDLE CreateFile(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  return ::CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
}

BOOL CloseHandle(HANDLE h) { return ::CloseHandle(h); }

DWORD SetFilePointer(HANDLE h, LONG low, LONG* high, DWORD method) {
  return ::SetFilePointer(h, low, high, method);
}

BOOL ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done) { return ::ReadFile(h, buf, len, done, nullptr); }

BOOL WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done) {
  return ::WriteFile(h, buf, len, done, nullptr);
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) {
  return ::DeviceIoControl(h, code, in, inLen, out, outLen, returned, nullptr);
}

BOOL CancelSynchronousIo(HANDLE thread) { return ::CancelSynchronousIo(thread); }

void Sleep(DWORD ms) { ::Sleep(ms); }

uint64_t TickMs() { return GetTickCountMs(); }

}  // namespace devio
