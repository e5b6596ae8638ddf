// CWatermark_Board: one thread per audio board. It owns the board's driver
// object (a clone, opened at construction), the board's shared memory block
// (BoardBlock.h) and, once its thread runs, the board's channels; its 200 ms
// turn refreshes the block, runs every channel's update and writes every
// channel's status.
//
// What exists so far: construction and destruction, the names, the cached
// layout and latency the channels read, RequestStop, and the creation of the
// block. The thread body, the channel management, the XML configuration and
// the upgrade state are still to come; until then the base body runs.
//
// Threads: the server thread constructs, starts, asks to stop and deletes the
// object, and calls RequestStop and GetName; everything else runs on the board
// thread (and the channels' updates, which it calls). m_sharedMemLock is held
// while the block is created (and, later, while the server answers a block
// request). The channel threads never take the board's locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CBaseDriver;
class CSharedMemoryBuffer;
class CWatermark_Server;

class CWatermark_Board : public CThread {
 public:
  // Clones `prototype` for board `boardIndex` and opens the clone. The thread
  // is not started. `loadPath` (not owned, may be null) names a forced XML
  // configuration file.
  CWatermark_Board(CWatermark_Server* server, const std::string& baseDirectory, CBaseDriver* prototype,
                   int32_t boardIndex, const char* loadPath);
  ~CWatermark_Board() override;

  void RequestStop() override;

  // Read once from the driver, then cached; 0 while it cannot be read.
  uint32_t GetSerialNumber();
  std::string GetName();             // "SN%08X"
  std::string GetSerialString();     // "%08X"
  std::string GetConfigDirectory();  // base directory, "\", "%08X", "\"
  int32_t GetFirstChannel() const { return m_firstChannel; }
  // The channels' period in frames (512, 2560 or 5120).
  uint32_t GetLatency() const { return m_latency; }
  CWatermark_Server* GetServer() const { return m_pServer; }
  CBaseDriver* GetDriver() const { return m_pDriver; }

 private:
  friend struct CWatermarkBoardTestAccess;

  // Start-up: when the driver is open and no block exists, reads the serial
  // number and creates the block "PELORIN_%08X" (read, write, create; 0x4400
  // bytes), zeroed but for the version text. A block that cannot be created
  // is logged and left out: the pointers stay null and the board runs on
  // without one.
  bool CreateSharedMemory();

  CCondition m_wakeCondition;
  std::string m_baseDirectory;
  CWatermark_Server* m_pServer;
  CBaseDriver* m_pDriver;
  int32_t m_boardIndex;
  uint32_t m_serialNumber;
  CRITICAL_SECTION m_sharedMemLock;
  CSharedMemoryBuffer* m_pSharedMemBuf;  // null when absent
  uint8_t* m_pSettings;                  // block + 0x4000; null when absent
  uint8_t* m_pSharedMem;                 // null when absent
  const char* m_loadPath;
  std::atomic<int32_t> m_threadPos;  // read by the server when the board stops responding
  int32_t m_channelCount;            // DSP layout cache, -1 until worked out
  int32_t m_firstChannel;
  uint32_t m_latency;
};
