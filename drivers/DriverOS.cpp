#include "drivers/DriverOS.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "drivers/DeviceIo.h"
#include "drivers/DriverOSTables.h"
#include "tvlib/log/log.h"
#include "tvlib/threads/sync.h"

const GUID kGuidBoardsPCI = {0x9FB60060, 0xC831, 0x44F8, {0x89, 0x1E, 0x40, 0xFF, 0x75, 0xBD, 0x73, 0xF2}};
const GUID kGuidBoardsQBX = {0x9FB60060, 0xC831, 0x44F8, {0x89, 0x1E, 0x40, 0xFF, 0x75, 0xBD, 0x73, 0xF3}};

namespace driveros {

// Deliberately leaked: board threads may still read their entry while the
// process runs its exit-time destructors.
Tables& GetTables() {
  static Tables* tables = new Tables();
  return *tables;
}

}  // namespace driveros

namespace {

using driveros::GetTables;
using driveros::KindTable;
using driveros::kMaxPaths;
using driveros::Tables;

constexpr char kNoBoard[] = "No board found, or driver not installed. Can not continue.";

KindTable* TableOf(int32_t kind) {
  if (kind != kDriverKindPCI && kind != kDriverKindQBX) return nullptr;
  return &GetTables().kinds[kind];
}

}  // namespace

std::string NormalizePath(const std::string& path, unsigned long osMajor) {
  if (osMajor >= 6) return path;
  std::string out = path;
  int hashes = 0;
  for (char& c : out) {
    if (c == '#' && ++hashes == 2) break;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string FormatSerialNumber(uint32_t serial) {
  return FormatString("S/N %02d.%02d.%04d", static_cast<int>(serial >> 24),
                      static_cast<int>((serial >> 16) & 0xFF), static_cast<int>(serial & 0xFFFF));
}

// ---------------------------------------------------------------- enumeration

bool CDriverWinInit::OnInit(int32_t kind) {
  KindTable* table = TableOf(kind);
  if (table == nullptr) return false;
  CCriticalSectionLocker turn(GetTables().enumerationLock);
  const GUID* guid = kind == kDriverKindPCI ? &kGuidBoardsPCI : &kGuidBoardsQBX;
  const char* name = kind == kDriverKindPCI ? "PCI" : "QBX";

  OSVERSIONINFOA os;
  std::memset(&os, 0, sizeof(os));
  os.dwOSVersionInfoSize = sizeof(os);
  devio::GetVersionEx(&os);

  ScopedDeviceInfoList set(devio::GetClassDevs(guid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.IsValid()) {
    LogError(" CDriverOS::InitDriver : SetupDiGetClassDevs for %s FAILED", name);
    LogError(" CDriverWinInit::OnInit EnumExisting Devices failed");
    return true;
  }

  std::vector<std::string> found;
  ScopedHeapRecord<SP_DEVICE_INTERFACE_DETAIL_DATA_A> detail;
  bool failed = false;
  for (DWORD member = 0;; ++member) {
    // The record sizes are those of this process's ABI: the 32-bit values
    // (28 and 5) make every x64 call fail, and no board would ever be found.
    SP_DEVICE_INTERFACE_DATA iface;
    std::memset(&iface, 0, sizeof(iface));
    iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    // Any failure ends the list; systems differ in the code they give.
    if (!devio::EnumDeviceInterfaces(set.Get(), guid, member, &iface)) break;
    detail.Reset();
    DWORD required = 0;
    if (!devio::GetDeviceInterfaceDetail(set.Get(), &iface, nullptr, 0, &required) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      LogError(" CDriverWinInit::OnInit : SetupDiGetDeviceInterfaceDetail for %s FAILED", name);
      failed = true;
      break;
    }
    detail.Reset(static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(
        ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, required)));
    if (!detail.IsValid()) {
      LogError(" CDriverWinInit::OnInit : HeapAlloc for %s FAILED", name);
      failed = true;
      break;
    }
    detail.Get()->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!devio::GetDeviceInterfaceDetail(set.Get(), &iface, detail.Get(), required, nullptr)) {
      LogError(" CDriverWinInit::OnInit : SetupDiGetDeviceInterfaceDetail for %s FAILED", name);
      failed = true;
      break;
    }
    if (found.size() < static_cast<size_t>(kMaxPaths))
      found.push_back(NormalizePath(detail.Get()->DevicePath, os.dwMajorVersion));
  }
  if (failed) LogError(" CDriverWinInit::OnInit EnumExisting Devices failed");

  if (!failed && !found.empty()) {
    std::string file = found.front() + "\\tvVersion";
    ScopedDevioFile version(devio::CreateFile(file.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    if (!version.IsValid()) {
      LogLevel8("No version info in driver!");
    } else {
      char text[21];
      std::memset(text, 0, sizeof(text));
      DWORD done = 0;
      if (devio::ReadFile(version.Get(), text, 20, &done)) {
        CCriticalSectionLocker lock(GetTables().versionLock);
        table->version = text;
      }
    }
  }

  detail.Reset();
  set.Reset();
  if (failed) return true;

  for (const std::string& path : found) {
    int32_t count = table->count.load(std::memory_order_acquire);
    if (count >= kMaxPaths) break;
    bool known = false;
    for (int32_t i = 0; i < count && !known; ++i) known = table->paths[i] == path;
    if (known) continue;
    table->paths[count] = path;
    table->count.store(count + 1, std::memory_order_release);
  }
  return true;
}

bool CDriverOS::InitDriver(int32_t kind) { return CDriverWinInit::OnInit(kind); }

int32_t CDriverOS::GetPathCount(int32_t kind) {
  KindTable* table = TableOf(kind);
  return table == nullptr ? 0 : table->count.load(std::memory_order_acquire);
}

std::string CDriverOS::GetPath(int32_t kind, int32_t index) {
  KindTable* table = TableOf(kind);
  if (table == nullptr || index < 0 || index >= table->count.load(std::memory_order_acquire))
    return std::string();
  return table->paths[index];
}

// ---------------------------------------------------------------- object

CDriverOS::CDriverOS(int32_t driverKind) : device(INVALID_HANDLE_VALUE) {
  kind = driverKind;
  // The first object of the process enumerates both kinds, once; an object
  // built meanwhile on another thread waits for that turn and then sees its
  // boards.
  Tables& t = GetTables();
  CCriticalSectionLocker turn(t.enumerationLock);
  if (!t.enumerated) {
    CDriverWinInit::OnInit(kDriverKindPCI);
    t.enumerated = CDriverWinInit::OnInit(kDriverKindQBX);
  }
}

CDriverOS::~CDriverOS() { Close(); }

int32_t CDriverOS::GetBoardCount() { return GetPathCount(kind); }

bool CDriverOS::IndexIsValid() const {
  // A negative index is as unknown as one past the end (it would read before the table).
  return boardIndex >= 0 && boardIndex < GetPathCount(kind);
}

bool CDriverOS::CheckPCIIdent() {
  if (kind == kDriverKindQBX) return false;
  uint32_t ident = 0;
  if (!ReadRegA(0, &ident, 4)) {
    LogError("Can not read PCI ident");
    return true;
  }
  uint32_t vendor = ident & 0xFFFF, deviceId = ident >> 16;
  if (vendor == 0x10B5 && deviceId == 0x3164) return false;
  if (ident == 0x903010B5) return true;
  LogError("Bad PCI ident for board (VenId=%04X DevId=%04X)", vendor, deviceId);
  return true;
}

bool CDriverOS::Open(int32_t index) {
  if (index >= 0) boardIndex = index;
  if (!IndexIsValid()) return LogErrorFalse(kNoBoard);
  // Opening again must not lose the old handle: the file is exclusive, so a
  // leaked handle would lock the board away until the process ends.
  Close();
  std::string name = GetPath(kind, boardIndex) + "\\Driver";
  device = devio::CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  return device != INVALID_HANDLE_VALUE;
}

HANDLE CDriverOS::OpenRDS(int32_t index) {
  if (index >= 0) boardIndex = index;
  if (!IndexIsValid()) return LogErrorNull(kNoBoard);
  std::string name = GetPath(kind, boardIndex) + "\\rds";
  return devio::CreateFile(name.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0);
}

bool CDriverOS::Close() {
  if (device != INVALID_HANDLE_VALUE) {
    devio::CloseHandle(device);
    device = INVALID_HANDLE_VALUE;
  }
  return true;
}

bool CDriverOS::IsOpen() { return device != INVALID_HANDLE_VALUE; }

std::string CDriverOS::GetDevicePath() {
  if (!IsOpen() || !IndexIsValid()) return std::string();
  return GetPath(kind, boardIndex);
}

std::string CDriverOS::GetDriverVersion() {
  KindTable* table = TableOf(kind);
  if (table == nullptr) return std::string();
  CCriticalSectionLocker lock(GetTables().versionLock);
  return table->version;
}

HANDLE CDriverOS::OpenLog() {
  if (kind != kDriverKindQBX || !IsOpen() || !IndexIsValid()) return INVALID_HANDLE_VALUE;
  std::string name = GetPath(kind, boardIndex) + "\\Log";
  return devio::CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

// ---------------------------------------------------------------- transfers

bool CDriverOS::ReadHard(uint32_t position, void* buffer, int32_t length) {
  return Transfer(false, position, buffer, length);
}

bool CDriverOS::WriteHard(uint32_t position, const void* buffer, int32_t length) {
  return Transfer(true, position, const_cast<void*>(buffer), length);
}

bool CDriverOS::Transfer(bool write, uint32_t position, void* buffer, int32_t length) {
  if (length < 1) return true;
  CCriticalSectionLocker lock(accessLock);
  if (device == INVALID_HANDLE_VALUE) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt == 2) devio::Sleep(10);
    // Seek on every attempt: a short transfer has moved the pointer. The high
    // part must be passed (as 0): without it, positions from 0x80000000 on
    // (all of the QBX DSP memory) would be taken as negative distances.
    ::SetLastError(0);
    LONG high = 0;
    DWORD low = devio::SetFilePointer(device, static_cast<LONG>(position), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER) {
      DWORD error = ::GetLastError();
      if (error != 0) {
        if (write)
          LogError("### SetFilePointer failed (%lu)", error);
        else
          LogError("### SetFilePointer failed (%d)", static_cast<int>(error));
        continue;
      }
    }
    ::SetLastError(0);
    DWORD done = 0;
    BOOL ok = write ? devio::WriteFile(device, buffer, static_cast<DWORD>(length), &done)
                    : devio::ReadFile(device, buffer, static_cast<DWORD>(length), &done);
    DWORD error = ::GetLastError();
    if (!ok) {
      if (write)
        LogError("### WriteFile failed (%lu)", error);
      else
        LogError("### ReadHard failed (%d)", static_cast<int>(error));
      continue;
    }
    if (done == static_cast<DWORD>(length)) return true;
    LONG curHigh = 0;
    DWORD current = devio::SetFilePointer(device, 0, &curHigh, FILE_CURRENT);
    if (write)
      LogError("### Wrote %lu bytes instead of %d (ptr is %lx for adr %x) (%lu)", done,
               static_cast<int>(length), current, position, error);
    else
      LogError("### Read %lu bytes instead of %d (ptr is %lx for adr %x) (%lu)", done,
               static_cast<int>(length), current, position, error);
  }
  return false;
}

bool CDriverOS::ModifyBits(uint32_t position, uint32_t aliasPosition, const uint8_t* mask, int32_t length,
                           bool set) {
  CCriticalSectionLocker lock(accessLock);
  if (hasSetClear) return WriteHard(aliasPosition, mask, length);
  if (length < 1) return true;
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!ReadHard(position, bytes.data(), length)) return false;
  for (int32_t i = 0; i < length; ++i) bytes[i] = set ? (bytes[i] | mask[i]) : (bytes[i] & ~mask[i]);
  return WriteHard(position, bytes.data(), length);
}

bool CDriverOS::WaitStatusSteps(uint64_t start, uint32_t statusOffset, int32_t width, DWORD pauseMs,
                                uint64_t readyLimitMs) {
  struct Step {
    uint32_t bit;
    bool wantSet;
    uint64_t limitMs;
    const char* timeout;
  };
  const Step steps[3] = {
      {1u << 12, false, 1000, "WaitEndReset: Timeout waiting board reset"},
      {1u << 13, false, 2000, "WaitEndReset: Timeout waiting pico reset"},
      {1u << 1, true, readyLimitMs, "WaitEndReset: Timeout waiting pico ready"},
  };
  for (const Step& step : steps) {
    for (;;) {
      uint32_t status = 0;
      if (!ReadRegB(statusOffset, &status, width)) return LogErrorFalse("WaitEndReset: Error reading status");
      // The bit is tested before the deadline, so a step that is already
      // over never times out however late it is looked at.
      if (((status & step.bit) != 0) == step.wantSet) break;
      if (devio::TickMs() - start > step.limitMs) return LogErrorFalse("%s", step.timeout);
      if (pauseMs != 0) devio::Sleep(pauseMs);
    }
  }
  return true;
}

bool CDriverOS::IsBoardReady() {
  if (!WaitEndReset()) return false;
  uint8_t signature[11];
  if (!ReadDSP(0, 0x33, sizeof(signature), signature)) {
    devio::Sleep(500);
    return false;
  }
  for (int i = 0; i < 11; ++i)
    if (signature[i] != 0x33 + i) return false;
  return true;
}
