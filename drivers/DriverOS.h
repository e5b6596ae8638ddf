// CDriverOS: a board reached through files below its device interface path,
// plus the process-wide tables of the paths found by enumeration.
//
// Tables: one path table (128 entries, append-only), count and driver version
// per kind. Enumeration turns (the first driver object's, then the server's
// through InitDriver) run one at a time under a process-wide lock, and only
// they append; board threads and audio devices read their own
// entry without a lock. That is safe because an entry is complete before the
// count that exposes it is published (release/acquire), and entries are never
// moved, changed or destroyed. The version strings sit behind a small lock of
// their own since a later turn may rewrite them.
//
// A driver object belongs to one thread; Open, Close and IsOpen take no lock,
// ReadHard/WriteHard take accessLock (see BaseDriver.h).
#pragma once

#include <cstdint>
#include <string>

#include "drivers/BaseDriver.h"

enum : int32_t { kDriverKindPCI = 0, kDriverKindQBX = 1 };

// Device interface class of each kind; they differ only in the last byte.
extern const GUID kGuidBoardsPCI;
extern const GUID kGuidBoardsQBX;

// Before Windows Vista the system handed out paths whose device part could be
// lower case; such paths are upper-cased up to (not including) the second '#'
// so that the same board compares equal between turns.
std::string NormalizePath(const std::string& path, unsigned long osMajor);

// "S/N %02d.%02d.%04d" of the fields v>>24, (v>>16)&0xFF, v&0xFFFF (decimal).
std::string FormatSerialNumber(uint32_t serial);

class CDriverWinInit {
 public:
  // Enumerates one kind and appends the new paths to its table. True for kinds
  // 0 and 1 even when the enumeration failed on the way.
  static bool OnInit(int32_t kind);
};

class CDriverOS : public CBaseDriver {
 public:
  explicit CDriverOS(int32_t kind);
  ~CDriverOS() override;

  // One enumeration turn for a kind (the server calls it before each scan).
  static bool InitDriver(int32_t kind);

  int32_t GetBoardCount() override;
  bool CheckPCIIdent() override;
  bool Open(int32_t index) override;
  HANDLE OpenRDS(int32_t index) override;
  bool Close() override;
  bool IsOpen() override;
  bool ReadHard(uint32_t position, void* buffer, int32_t length) override;
  bool WriteHard(uint32_t position, const void* buffer, int32_t length) override;
  // Both families: the end of the reset, then DSP 0's signature.
  bool IsBoardReady() override;

  // The board's path while open; "" when closed or for a bad index.
  std::string GetDevicePath();
  std::string GetDriverVersion();
  // QBX only, and only while open: the board's log file (caller closes it).
  HANDLE OpenLog();

  // Table access for code that has no object at hand (tests, tools).
  static int32_t GetPathCount(int32_t kind);
  static std::string GetPath(int32_t kind, int32_t index);

 protected:
  // OR (set) or AND NOT (clear) the mask bytes into the register at
  // `position`, under accessLock: one write to `aliasPosition` when the board
  // has the aliases, else read, modify, write.
  bool ModifyBits(uint32_t position, uint32_t aliasPosition, const uint8_t* mask, int32_t length, bool set);

  // The three status steps of WaitEndReset (board reset over, pico reset
  // over, pico ready), all timed from `start`. `pauseMs` follows each read
  // that does not end its step.
  bool WaitStatusSteps(uint64_t start, uint32_t statusOffset, int32_t width, DWORD pauseMs,
                       uint64_t readyLimitMs);

  HANDLE device;

 private:
  bool Transfer(bool write, uint32_t position, void* buffer, int32_t length);
  bool IndexIsValid() const;
};
