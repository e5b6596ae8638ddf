// CDriverPCI: the register map, resets and serial number of the PCI boards.
// Threads and locking as for every driver object (BaseDriver.h); the
// read-modify-write operations and ResetDSP hold accessLock across their steps.
#pragma once

#include "drivers/DriverOS.h"

class CDriverPCI : public CDriverOS {
 public:
  CDriverPCI();
  ~CDriverPCI() override;

  CBaseDriver* Clone(int32_t index) override;
  bool ReadRegA(uint32_t offset, void* buffer, int32_t length) override;
  bool WriteRegA(uint32_t offset, const void* buffer, int32_t length) override;
  bool ReadRegB(uint32_t offset, void* buffer, int32_t length) override;
  bool WriteRegB(uint32_t offset, const void* buffer, int32_t length) override;
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

  bool ReadRegD(uint32_t offset, void* buffer, int32_t length);
  bool WriteRegD(uint32_t offset, const void* buffer, int32_t length);
  bool SetBitsD(uint32_t offset, const uint8_t* mask, int32_t length);
  bool ClearBitsD(uint32_t offset, const uint8_t* mask, int32_t length);
  bool ReadRegE(uint32_t offset, void* buffer, int32_t length);

  // The serial number of board `index`, through a temporary exclusive open:
  // 0 / "" while another object holds the board.
  static uint32_t ReadSerialNumber(int32_t index);
  static std::string ReadSerialNumberString(int32_t index);

  // DSP memory position of (dsp, address).
  static uint32_t DspPosition(uint32_t dsp, uint32_t address) {
    return 0x40000000u | (dsp << 24) | (address & 0x00FFFFFFu);
  }
};
