// CDriverQBX: the register map, resets, serial number and flash information of
// the QBX (PCIe) boards. The flash bank operations serve both families and
// pick their positions by `kind`. Threads and locking as for every driver
// object (BaseDriver.h); the QBX reset sequences take no lock of their own.
#pragma once

#include "drivers/DriverOS.h"
#include "tvlib/buffers/buffer.h"

// Where a block keeps its two copies in flash, and the bytes that mark them.
struct FlashBlockLayout {
  uint32_t bank0;
  uint32_t bank1;
  uint32_t bankSize;  // the last byte of a bank holds the end marker
  uint8_t endMarker;
  uint8_t current;
  uint8_t previous;
};

const FlashBlockLayout& SerialBankLayout(int32_t kind);
const FlashBlockLayout& DspInfoLayout(int32_t kind);

// The bank choice: 0, 1, or -1 for none. firstN/lastN are the first and last
// bytes of bank N.
int ChooseBank(uint8_t first0, uint8_t last0, uint8_t first1, uint8_t last1, const FlashBlockLayout& layout);

class CDriverQBX : public CDriverOS {
 public:
  CDriverQBX();
  ~CDriverQBX() override;

  CBaseDriver* Clone(int32_t index) override;
  bool ReadRegA(uint32_t offset, void* buffer, int32_t length) override;
  bool WriteRegA(uint32_t offset, const void* buffer, int32_t length) override;
  bool ReadRegB(uint32_t offset, void* buffer, int32_t length) override;
  bool WriteRegB(uint32_t offset, const void* buffer, int32_t length) override;
  // These work on 0x7F000500 and its aliases, like the PCI boards, not on the
  // QBX region B.
  bool SetBitsB(uint32_t offset, const uint8_t* mask, int32_t length) override;
  bool ClearBitsB(uint32_t offset, const uint8_t* mask, int32_t length) override;
  bool ReadRegC(uint32_t offset, void* buffer, int32_t length) override;
  bool WriteRegC(uint32_t offset, const void* buffer, int32_t length) override;
  bool ReadRaw(uint32_t position, void* buffer, int32_t length) override;
  bool WriteRaw(uint32_t position, const void* buffer, int32_t length) override;
  bool WriteDSP(uint32_t dsp, uint32_t address, int32_t length, const void* buffer) override;
  bool ReadDSP(uint32_t dsp, uint32_t address, int32_t length, void* buffer) override;
  bool ResetDSP(bool hold) override;
  bool ResetBoard(bool hold) override;
  bool WaitEndReset() override;
  std::string GetSerialNumberString() override;
  uint32_t GetSerialNumber() override;
  bool Init() override;

  // Base of the current serial bank; with no usable bank, bank 0's base when
  // `fallBackToBank0`, else -1.
  int32_t FindFlashBank(bool fallBackToBank0);
  // The DSP information block; empty on any failure.
  CBufferBase<uint8_t> GetDSPXtraInfo();

  static uint32_t ReadSerialNumber(int32_t index);
  static std::string ReadSerialNumberString(int32_t index);

  // DSP memory position of (dsp, address); DSP 8 and above wrap.
  static uint32_t DspPosition(uint32_t dsp, uint32_t address) {
    return 0x80000000u | ((dsp << 28) & 0x7FFFFFFFu) | (address & 0x0FFFFFFFu);
  }

 private:
  // Base of the bank chosen for `layout`, or -1 (also when a read fails).
  int32_t ChooseFlashBank(const FlashBlockLayout& layout);
  bool RealResetBoard();
};
