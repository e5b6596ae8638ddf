// CWatermark_Board: one thread per audio board. It owns the board's driver
// object (a clone, opened at construction), the board's shared memory block
// (BoardBlock.h) and, once its thread runs, the board's channels; its 200 ms
// turn refreshes the block, runs every channel's update and writes every
// channel's status.
//
// What exists so far: construction and destruction, the names, the cached
// layout and latency the channels read, RequestStop, the creation of the
// block and the XML configuration. The thread body, the channel management
// and the upgrade state are still to come; until then the base body runs.
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

#include "BoardBlock.h"
#include "tinyxml.h"
#include "tvlib/buffers/buffer.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CBaseDriver;
class CSharedMemoryBuffer;
class CWatermark_Channel;
class CWatermark_Server;
struct CBoardConfigFiles;

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
  // Under m_sharedMemLock: the block's size and name; false without a block.
  bool GetBlockInfo(uint32_t& size, std::string& name);

 private:
  friend struct CWatermarkBoardTestAccess;

  // Start-up: when the driver is open and no block exists, reads the serial
  // number and creates the block "PELORIN_%08X" (read, write, create; 0x4400
  // bytes), zeroed but for the version text. A block that cannot be created
  // is logged and left out: the pointers stay null and the board runs on
  // without one.
  bool CreateSharedMemory();

  // The XML configuration (WatermarkBoardConfig.cpp). Both take the channels
  // read lock before m_configLock, the one order that cannot deadlock a save
  // from SetUpgrade against CreateChannel.
  //
  // LoadConfig (board thread at start-up, server thread when leaving the
  // upgrade state): the newest good copy, or the forced file, replaces the
  // document; its latency goes into m_latency, m_settingsImage and, when the
  // block exists, the block's settings area (under m_sharedMemLock); every
  // existing channel loads its element. False when nothing parsed: document,
  // latency and block stay as they were.
  bool LoadConfig();
  // SaveConfig (board thread on the save timer and at stop, server thread
  // when entering the upgrade state): the latency and every channel's block
  // record into the document, then the document into the oldest copy.
  bool SaveConfig();
  // One new channel's settings from the document, for CreateChannel (which
  // holds the channels write lock; this takes m_configLock): the channel's
  // element or the previous channel's (a copy is logged and reported as a
  // settings change), else the defaults.
  enum ChannelConfigLoad {
    kChannelConfigDefaults,  // no "config" in the document: defaults, no line
    kChannelConfigLoaded,    // "loaded config"
    kChannelConfigMissing,   // "can not load config": defaults
  };
  ChannelConfigLoad LoadChannelConfig(CWatermark_Channel& channel);
  // Where this board's files are and how its lines name it.
  CBoardConfigFiles ConfigFiles();

  CCondition m_wakeCondition;
  std::string m_baseDirectory;
  CWatermark_Server* m_pServer;
  CBaseDriver* m_pDriver;
  int32_t m_boardIndex;
  uint32_t m_serialNumber;
  CRITICAL_SECTION m_configLock;  // guards m_document and m_byteOrderMark
  TiXmlDocument m_document;
  bool m_byteOrderMark;                         // the loaded file began with the UTF-8 mark: saves keep it
  CRITICAL_SECTION m_sharedMemLock;             // the three block pointers change only under it
  CSharedMemoryBuffer* m_pSharedMemBuf;         // null when absent
  uint8_t* m_pSettings;                         // block + 0x4000; null when absent
  uint8_t m_settingsImage[kSettingsImageSize];  // the block's settings area as a load writes it
  uint8_t* m_pSharedMem;                        // null when absent
  const char* m_loadPath;
  CReadWriteLock m_channelsLock;                // guards m_channels
  CBufferBase<CWatermark_Channel*> m_channels;  // element i: channel i, owned
  std::atomic<int32_t> m_threadPos;             // read by the server when the board stops responding
  int32_t m_channelCount;                       // DSP layout cache, -1 until worked out
  int32_t m_firstChannel;
  std::atomic<uint32_t> m_latency;  // LoadConfig writes it on the server thread too
};
