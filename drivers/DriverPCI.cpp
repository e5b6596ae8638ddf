#include "drivers/DriverPCI.h"

#include <cstring>
#include <new>

#include "drivers/DeviceIo.h"
#include "tvlib/log/log.h"
#include "tvlib/threads/sync.h"

namespace {
constexpr uint32_t kRegionA = 0x7F000000, kRegionB = 0x7F000500, kRegionC = 0x7F000800;
constexpr uint32_t kRegionD = 0x7F000300, kRegionE = 0x7F000100;
constexpr uint32_t kSetAlias = 0x01000000, kClearAlias = 0x02000000;  // subtracted from 0x7F......
constexpr uint32_t kResetControl = 0x54;                              // region D
constexpr uint32_t kFeatureByte = 0x7F000400;

bool IsUnset(uint32_t v) { return v == 0 || v == 0xFFFFFFFFu; }
}  // namespace

CDriverPCI::CDriverPCI() : CDriverOS(kDriverKindPCI) {}

CDriverPCI::~CDriverPCI() { Close(); }

CBaseDriver* CDriverPCI::Clone(int32_t index) {
  CDriverPCI* copy = new (std::nothrow) CDriverPCI();
  if (copy == nullptr) return nullptr;
  copy->kind = kind;
  copy->boardIndex = index;
  // The copy is still closed, so this read fails and the aliases stay off.
  copy->Init();
  return copy;
}

bool CDriverPCI::Init() {
  uint8_t feature = 0;
  ReadHard(kFeatureByte, &feature, 1);
  hasSetClear = feature > 1;
  return true;
}

bool CDriverPCI::ReadRegA(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionA + o, b, n); }
bool CDriverPCI::WriteRegA(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionA + o, b, n); }
bool CDriverPCI::ReadRegB(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionB + o, b, n); }
bool CDriverPCI::WriteRegB(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionB + o, b, n); }
bool CDriverPCI::ReadRegC(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionC + o, b, n); }
bool CDriverPCI::WriteRegC(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionC + o, b, n); }
bool CDriverPCI::ReadRegD(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionD + o, b, n); }
bool CDriverPCI::WriteRegD(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionD + o, b, n); }
bool CDriverPCI::ReadRegE(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionE + o, b, n); }
bool CDriverPCI::ReadRaw(uint32_t p, void* b, int32_t n) { return ReadHard(p, b, n); }
bool CDriverPCI::WriteRaw(uint32_t p, const void* b, int32_t n) { return WriteHard(p, b, n); }

bool CDriverPCI::SetBitsB(uint32_t o, const uint8_t* m, int32_t n) {
  return ModifyBits(kRegionB + o, kRegionB - kSetAlias + o, m, n, true);
}
bool CDriverPCI::ClearBitsB(uint32_t o, const uint8_t* m, int32_t n) {
  return ModifyBits(kRegionB + o, kRegionB - kClearAlias + o, m, n, false);
}
bool CDriverPCI::SetBitsD(uint32_t o, const uint8_t* m, int32_t n) {
  return ModifyBits(kRegionD + o, kRegionD - kSetAlias + o, m, n, true);
}
bool CDriverPCI::ClearBitsD(uint32_t o, const uint8_t* m, int32_t n) {
  return ModifyBits(kRegionD + o, kRegionD - kClearAlias + o, m, n, false);
}

bool CDriverPCI::WriteDSP(uint32_t dsp, uint32_t address, int32_t length, const void* buffer) {
  return WriteHard(DspPosition(dsp, address), buffer, length);
}

bool CDriverPCI::ReadDSP(uint32_t dsp, uint32_t address, int32_t length, void* buffer) {
  return ReadHard(DspPosition(dsp, address), buffer, length);
}

bool CDriverPCI::ResetDSP(bool hold) {
  const uint8_t mask[4] = {0x04, 0x00, 0x00, 0x00};  // bit 2: DSPs out of reset
  if (!ClearBitsD(kResetControl, mask, 4)) return false;
  if (hold) return true;
  devio::Sleep(100);
  if (!SetBitsD(kResetControl, mask, 4)) return false;
  devio::Sleep(100);
  return true;
}

bool CDriverPCI::ResetBoard(bool hold) {
  const uint8_t mask[2] = {0x00, 0x01};  // bit 8 of the 16-bit board control
  CCriticalSectionLocker lock(accessLock);
  if (!SetBitsB(0, mask, 2)) return false;
  if (hold) return true;
  return ClearBitsB(0, mask, 2);
}

bool CDriverPCI::WaitEndReset() {
  uint64_t start = devio::TickMs();
  uint32_t control = 0;
  if (!ReadRegD(kResetControl, &control, 4)) return LogErrorFalse("WaitEndReset: Error reading reset flag");
  if ((control & 0x04) == 0) return LogErrorFalse("WaitEndReset: Error board is in reset");
  return WaitStatusSteps(start, 2, 2, 0, 4000);
}

uint32_t CDriverPCI::GetSerialNumber() {
  uint32_t serial = 0;
  if (!ReadHard(0x7F0001FC, &serial, 4)) return 0;
  if (!IsUnset(serial)) return serial;
  serial = 0;
  if (!ReadHard(0x7F000188, &serial, 4) || IsUnset(serial)) return 0;
  return serial;
}

std::string CDriverPCI::GetSerialNumberString() {
  char text[33];
  std::memset(text, 0, sizeof(text));
  if (!ReadHard(0x7F0001C0, text, 32)) return std::string();
  text[32] = 0;
  if (text[0] == 0 || static_cast<uint8_t>(text[0]) == 0x7F) return FormatSerialNumber(GetSerialNumber());
  return std::string(text);
}

uint32_t CDriverPCI::ReadSerialNumber(int32_t index) {
  CDriverPCI board;
  if (!board.Open(index)) return 0;
  return board.GetSerialNumber();
}

std::string CDriverPCI::ReadSerialNumberString(int32_t index) {
  CDriverPCI board;
  if (!board.Open(index)) return std::string();
  return board.GetSerialNumberString();
}
