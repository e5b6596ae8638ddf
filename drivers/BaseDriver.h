// CBaseDriver: the driver object of one board, the interface through which the
// service reaches the hardware. CDriverOS (DriverOS.h) gives it device-file
// access; CDriverPCI and CDriverQBX give it each family's register map.
//
// Threads: one object belongs to one board thread (or to the server as an
// enumerator). accessLock serialises every positioned transfer and each
// read-modify-write sequence on the object; it is re-entrant because the
// set/clear sequences take it and the transfers inside them take it again.
#pragma once

#include <cstdint>
#include <string>

#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CBaseDriver : public CObject {
 public:
  CBaseDriver();
  virtual ~CBaseDriver();
  CBaseDriver(const CBaseDriver&) = delete;
  CBaseDriver& operator=(const CBaseDriver&) = delete;

  // A new, closed object of the same class for board `index`; the caller owns it.
  virtual CBaseDriver* Clone(int32_t index) = 0;
  virtual int32_t GetBoardCount() = 0;
  virtual bool CheckPCIIdent() = 0;
  // index -1 keeps the stored board index.
  virtual bool Open(int32_t index) = 0;
  // The caller owns and closes the handle. Null for a bad index,
  // INVALID_HANDLE_VALUE when the open itself fails: callers test both.
  virtual HANDLE OpenRDS(int32_t index) = 0;
  virtual bool Close() = 0;
  virtual bool IsOpen() = 0;
  virtual bool ReadHard(uint32_t position, void* buffer, int32_t length) = 0;
  virtual bool WriteHard(uint32_t position, const void* buffer, int32_t length) = 0;
  virtual bool ReadRegA(uint32_t offset, void* buffer, int32_t length) = 0;
  virtual bool WriteRegA(uint32_t offset, const void* buffer, int32_t length) = 0;
  virtual bool ReadRegB(uint32_t offset, void* buffer, int32_t length) = 0;
  virtual bool WriteRegB(uint32_t offset, const void* buffer, int32_t length) = 0;
  virtual bool SetBitsB(uint32_t offset, const uint8_t* mask, int32_t length) = 0;
  virtual bool ClearBitsB(uint32_t offset, const uint8_t* mask, int32_t length) = 0;
  virtual bool ReadRegC(uint32_t offset, void* buffer, int32_t length) = 0;
  virtual bool WriteRegC(uint32_t offset, const void* buffer, int32_t length) = 0;
  virtual bool ReadRaw(uint32_t position, void* buffer, int32_t length) = 0;
  virtual bool WriteRaw(uint32_t position, const void* buffer, int32_t length) = 0;
  virtual bool WriteDSP(uint32_t dsp, uint32_t address, int32_t length, const void* buffer) = 0;
  virtual bool ReadDSP(uint32_t dsp, uint32_t address, int32_t length, void* buffer) = 0;
  virtual bool IsBoardReady() = 0;
  virtual bool ResetDSP(bool hold) = 0;
  virtual bool ResetBoard(bool hold) = 0;
  virtual bool WaitEndReset() = 0;
  virtual std::string GetSerialNumberString() = 0;
  virtual uint32_t GetSerialNumber() = 0;
  virtual bool Init() = 0;

  int32_t GetKind() const { return kind; }
  int32_t GetBoardIndex() const { return boardIndex; }
  bool HasSetClear() const { return hasSetClear; }

 protected:
  int32_t boardIndex;
  CRITICAL_SECTION accessLock;
  int32_t kind;
  bool hasSetClear;
};
