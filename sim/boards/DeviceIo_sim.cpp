// Simulated side of the board seam: every call goes to the simulated world.
#include "drivers/DeviceIo.h"
#include "sim/boards/World.h"

namespace devio {

HDEVINFO GetClassDevs(const GUID* cls, DWORD flags) {
  return sim::World::Instance().GetClassDevs(cls, flags);
}

BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  return sim::World::Instance().EnumDeviceInterfaces(set, cls, index, data);
}

BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required) {
  return sim::World::Instance().GetDeviceInterfaceDetail(set, data, detail, size, required);
}

BOOL DestroyDeviceInfoList(HDEVINFO set) { return sim::World::Instance().DestroyDeviceInfoList(set); }

BOOL GetVersionEx(OSVERSIONINFOA* info) { return sim::World::Instance().GetVersionEx(info); }

HANDLE CreateFile(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  return sim::World::Instance().CreateFile(name, access, share, disposition, flags);
}

BOOL CloseHandle(HANDLE h) { return sim::World::Instance().CloseHandle(h); }

DWORD SetFilePointer(HANDLE h, LONG low, LONG* high, DWORD method) {
  return sim::World::Instance().SetFilePointer(h, low, high, method);
}

BOOL ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done) {
  return sim::World::Instance().ReadFile(h, buf, len, done);
}

BOOL WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done) {
  return sim::World::Instance().WriteFile(h, buf, len, done);
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) {
  return sim::World::Instance().DeviceIoControl(h, code, in, inLen, out, outLen, returned);
}

BOOL CancelSynchronousIo(HANDLE thread) { return sim::World::Instance().CancelSynchronousIo(thread); }

void Sleep(DWORD ms) { sim::World::Instance().SleepMs(ms); }

uint64_t TickMs() { return uint64_t(sim::World::Instance().NowUs() / 1000); }

}  // namespace devio
