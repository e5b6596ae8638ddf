#include "drivers/DriverQBX.h"

#include <cstring>
#include <new>

#include "drivers/DeviceIo.h"
#include "tvlib/log/log.h"

namespace {
constexpr uint32_t kRegionA = 0x7F000000, kRegionB = 0x7F010000, kRegionC = 0x7F000800;
// The bit operations use the older region B position and its aliases.
constexpr uint32_t kBitsB = 0x7F000500, kBitsBSet = 0x7E000500, kBitsBClear = 0x7D000500;
constexpr uint32_t kFeatureByte = 0x7F000400;
constexpr uint32_t kControl = 0x00, kStatus = 0x04, kLogicVersion = 0x80;
constexpr uint32_t kBoardReset = 0x100, kFullReset = 0x10000, kDspReset = 0x20000;

const FlashBlockLayout kSerialQBX = {0x360000, 0x380000, 0x20000, 0x5E, 0xE5, 0x05};
const FlashBlockLayout kSerialPCI = {0x3A0000, 0x3B0000, 0x10000, 0x5E, 0xE5, 0x05};
const FlashBlockLayout kDspInfoQBX = {0x320000, 0x340000, 0x20000, 0xBE, 0xEB, 0x0B};
const FlashBlockLayout kDspInfoPCI = {0x380000, 0x390000, 0x10000, 0xBE, 0xEB, 0x0B};

bool IsUnset(uint32_t v) { return v == 0 || v == 0xFFFFFFFFu; }
}  // namespace

const FlashBlockLayout& SerialBankLayout(int32_t kind) {
  return kind == kDriverKindPCI ? kSerialPCI : kSerialQBX;
}
const FlashBlockLayout& DspInfoLayout(int32_t kind) {
  return kind == kDriverKindPCI ? kDspInfoPCI : kDspInfoQBX;
}

int ChooseBank(uint8_t first0, uint8_t last0, uint8_t first1, uint8_t last1, const FlashBlockLayout& layout) {
  // An invalid bank's state byte counts as 0, which is neither current nor previous.
  const uint8_t state0 = last0 == layout.endMarker ? first0 : 0;
  const uint8_t state1 = last1 == layout.endMarker ? first1 : 0;
  const bool valid1 = last1 == layout.endMarker;
  if (last0 == layout.endMarker) {
    if (state0 == layout.current) return 0;
    if (state0 == layout.previous) return (valid1 && state1 == layout.current) ? 1 : 0;
  }
  if (valid1 && (state1 == layout.current || state1 == layout.previous)) return 1;
  return -1;
}

CDriverQBX::CDriverQBX() : CDriverOS(kDriverKindQBX) {}

CDriverQBX::~CDriverQBX() { Close(); }

CBaseDriver* CDriverQBX::Clone(int32_t index) {
  CDriverQBX* copy = new (std::nothrow) CDriverQBX();
  if (copy == nullptr) return nullptr;
  copy->kind = kind;
  copy->boardIndex = index;
  // The copy is still closed, so this read fails and the aliases stay off.
  copy->Init();
  return copy;
}

bool CDriverQBX::Init() {
  uint8_t feature = 0;
  ReadHard(kFeatureByte, &feature, 1);
  hasSetClear = feature > 1;
  kind = kDriverKindQBX;
  return true;
}

bool CDriverQBX::ReadRegA(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionA + o, b, n); }
bool CDriverQBX::WriteRegA(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionA + o, b, n); }
bool CDriverQBX::ReadRegB(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionB + o, b, n); }
bool CDriverQBX::WriteRegB(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionB + o, b, n); }
bool CDriverQBX::ReadRegC(uint32_t o, void* b, int32_t n) { return ReadHard(kRegionC + o, b, n); }
bool CDriverQBX::WriteRegC(uint32_t o, const void* b, int32_t n) { return WriteHard(kRegionC + o, b, n); }
bool CDriverQBX::ReadRaw(uint32_t p, void* b, int32_t n) { return ReadHard(p, b, n); }
bool CDriverQBX::WriteRaw(uint32_t p, const void* b, int32_t n) { return WriteHard(p, b, n); }

bool CDriverQBX::SetBitsB(uint32_t o, const uint8_t* m, int32_t n) {
  return ModifyBits(kBitsB + o, kBitsBSet + o, m, n, true);
}
bool CDriverQBX::ClearBitsB(uint32_t o, const uint8_t* m, int32_t n) {
  return ModifyBits(kBitsB + o, kBitsBClear + o, m, n, false);
}

bool CDriverQBX::WriteDSP(uint32_t dsp, uint32_t address, int32_t length, const void* buffer) {
  return WriteHard(DspPosition(dsp, address), buffer, length);
}

bool CDriverQBX::ReadDSP(uint32_t dsp, uint32_t address, int32_t length, void* buffer) {
  return ReadHard(DspPosition(dsp, address), buffer, length);
}

bool CDriverQBX::ResetDSP(bool /*hold*/) {
  uint32_t version = 0;
  // An unreadable version must not lead to the full reset: that one lasts
  // until the computer restarts, far too much for a passing I/O error.
  if (!ReadRegB(kLogicVersion, &version, 4)) return false;
  if (version > 0x10066 && version != 0x101001E && version != 0x101001F) {
    uint32_t control = 0;
    if (!ReadRegB(kControl, &control, 4)) return false;
    control |= kDspReset;
    return WriteRegB(kControl, &control, 4);
  }
  return RealResetBoard();
}

bool CDriverQBX::RealResetBoard() {
  uint32_t control = 0;
  if (!ReadRegB(kControl, &control, 4)) return false;
  control |= kFullReset;
  if (!WriteRegB(kControl, &control, 4)) return false;
  LogLevel2("QBX1: Real ResetBoard, no more access until PC reboot !");
  return true;
}

bool CDriverQBX::ResetBoard(bool hold) {
  uint32_t control = 0;
  if (!ReadRegB(kControl, &control, 4)) return false;
  uint32_t value = control | kBoardReset;
  if (!WriteRegB(kControl, &value, 4)) return false;
  if (hold) return true;
  value = control & ~kBoardReset;
  return WriteRegB(kControl, &value, 4);
}

bool CDriverQBX::WaitEndReset() {
  uint64_t start = devio::TickMs();
  return WaitStatusSteps(start, kStatus, 4, 100, 15000);
}

uint32_t CDriverQBX::GetSerialNumber() {
  uint8_t marker[4] = {0, 0, 0, 0};
  if (!ReadHard(0x19FFFC, marker, 4) || std::memcmp(marker, "TRVL", 4) != 0) return 0;
  uint32_t serial = 0;
  if (!ReadHard(0x19FFE8, &serial, 4) || IsUnset(serial)) return 0x01010001;
  return serial;
}

std::string CDriverQBX::GetSerialNumberString() {
  char text[33];
  std::memset(text, 0, sizeof(text));
  int32_t bank = FindFlashBank(false);
  if (bank >= 0 && !ReadHard(static_cast<uint32_t>(bank) + 0x4000, text, 32))
    std::memset(text, 0, sizeof(text));
  if (text[0] == 0 || static_cast<uint8_t>(text[0]) == 0x7F) return FormatSerialNumber(GetSerialNumber());
  return std::string(text);
}

int32_t CDriverQBX::ChooseFlashBank(const FlashBlockLayout& layout) {
  uint8_t first0 = 0, last0 = 0, first1 = 0, last1 = 0;
  if (!ReadRaw(layout.bank0, &first0, 1) || !ReadRaw(layout.bank0 + layout.bankSize - 1, &last0, 1) ||
      !ReadRaw(layout.bank1, &first1, 1) || !ReadRaw(layout.bank1 + layout.bankSize - 1, &last1, 1))
    return -1;
  switch (ChooseBank(first0, last0, first1, last1, layout)) {
    case 0: return static_cast<int32_t>(layout.bank0);
    case 1: return static_cast<int32_t>(layout.bank1);
    default: return -1;
  }
}

int32_t CDriverQBX::FindFlashBank(bool fallBackToBank0) {
  const FlashBlockLayout& layout = SerialBankLayout(kind);
  int32_t bank = ChooseFlashBank(layout);
  if (bank < 0 && fallBackToBank0) return static_cast<int32_t>(layout.bank0);
  return bank;
}

CBufferBase<uint8_t> CDriverQBX::GetDSPXtraInfo() {
  int32_t bank = ChooseFlashBank(DspInfoLayout(kind));
  if (bank >= 0) {
    uint8_t h[4] = {0, 0, 0, 0};
    if (ReadRaw(static_cast<uint32_t>(bank) + 0x34, h, 4) && h[3] > 16) {
      // The header holds the position byte-swapped, with its low byte forced.
      uint32_t position = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | 0x10;
      uint32_t size = h[3] - 16u;
      CBufferBase<uint8_t> info;
      if (info.Resize(size) && ReadRaw(position, info.GetData(), static_cast<int32_t>(size))) return info;
    }
  }
  LogLevel8("CDriverQBX::GetDSPXtraInfo failed");
  return CBufferBase<uint8_t>();
}

uint32_t CDriverQBX::ReadSerialNumber(int32_t index) {
  CDriverQBX board;
  if (!board.Open(index)) return 0;
  return board.GetSerialNumber();
}

std::string CDriverQBX::ReadSerialNumberString(int32_t index) {
  CDriverQBX board;
  if (!board.Open(index)) return std::string();
  return board.GetSerialNumberString();
}
