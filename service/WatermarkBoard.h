// CWatermark_Board: one thread per audio board. It owns the board's driver
// object (a clone, opened at construction), the board's shared memory block
// (BoardBlock.h), the board's XML configuration document and the board's
// channels. Every 200 ms its turn refreshes the block's header, lets every
// channel write its status, keeps one channel per channel of the DSP layout
// (restarting channels that stopped responding), runs every channel's update
// and saves the configuration some time after a channel reported a change.
//
// Threads:
// - the server thread constructs, starts (Create(2)), asks to stop and
//   deletes the object, and calls RequestStop, IsAlive, SetUpgrade, the
//   names, GetKind, the progress markers and GetBlockInfo;
// - the board thread runs ThreadEntry and everything it calls (the channels'
//   construction, update, status and deletion);
// - the channel threads call the read-only getters (latency, first channel,
//   names, server) and IsStopRequested, and never take a board lock.
//
// Locks, in the one order every path takes them: the upgrade gate ->
// m_channelsLock -> m_configLock -> m_sharedMemLock; and m_channelsLock ->
// m_configLock -> a channel's configuration lock.
// - the upgrade gate (BoardUpgradeGate.h, which states why it comes first)
//   is held by the board thread for all its work and by SetUpgrade;
// - m_channelsLock guards m_channels (written by the board thread and by
//   SetUpgrade);
// - m_configLock guards m_document and every load and save of it;
// - m_sharedMemLock is held whenever the block's three pointers change and
//   while the server thread uses them (the block request, SetUpgrade's writes);
//   the board thread, the only one that changes them, reads them without it;
//   nobody waits on anything while holding it;
// - m_tickMutex guards m_tick.
// Fields other threads read are atomics; the save timer and the next
// management time are the board thread's alone.
//
// Waits of the server thread on this board (the server must keep turning to
// stay alive): SetUpgrade waits at most kUpgradeLockWaitMs for the upgrade
// gate. A board thread stuck in its work (a device call that does not
// return) keeps it; the request is then given up, and the board is left to
// the server's liveness check. Holding the gate, SetUpgrade takes the
// channels lock, m_configLock and m_sharedMemLock without waiting, and waits
// at most 1000 ms for the board's entry into the state. The joins of the
// channels that entering the state deletes wait for channel threads, which
// end at their next period once asked; they are not bounded here, nor is the
// join of the board thread by Stop when the server replaces or stops a board.
// RequestStop, IsAlive, the names and GetBlockInfo take only locks that are
// never held across a wait.
//
// Waits of the board thread on other threads: the board thread joins channel threads (a restart
// of a channel that is not alive, a shrinking layout, the stop sequence)
// without a bound. A channel asked to stop leaves within one pass or idle
// wait; one that a restart finds stuck in its device switch has that call
// cancelled first (CWatermark_Channel::CancelStuckDeviceCall), so the join
// waits only as long as a driver that cannot cancel keeps the call, as the
// server's liveness check of the board then shows.
//
// Ownership: the board owns its driver, its block object, its document and
// its channels. The thread releases channels and block on its way out; the
// destructor releases whatever is still there.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "service/BoardBlock.h"
#include "service/BoardConfig.h"
#include "service/BoardUpgradeGate.h"
#include "tinyxml.h"
#include "tvlib/buffers/buffer.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CBaseDriver;
class CSharedMemoryBuffer;
class CWatermark_Channel;
class CWatermark_Server;

class CWatermark_Board : public CThread {
 public:
  // A tick older than this marks the board as not responding.
  static const uint64_t kAliveLimitMs = 10000;
  static const DWORD kTurnMs = 200;
  // How long SetUpgrade waits for the board thread to be between turns.
  static const DWORD kUpgradeLockWaitMs = 2000;

  // Where the board thread is: the first number of the server's "Board %s is
  // not responding (%d/%d/%d)" line. -1 before the thread runs.
  enum ThreadPos : int32_t {
    kThreadNotYet = -1,
    // Start-up.
    kStarting = 1,       // before the driver test
    kOpeningDriver = 2,  // the driver was not open: opening it
    kDriverTried = 3,    // after the open attempt
    kCreatingBlock = 4,  // reading the serial number, creating the block
    kLoadingConfig = 5,  // loading the settings file
    // A turn.
    kTurnStart = 6,      // the tick stored; the upgrade state followed next
    kTurnHeartbeat = 7,  // the block's header and every channel's status
    kTurnChannels = 9,   // the channel management (its step: StepPos)
    kScanLock = 11,      // taking the channels read lock for the change scan
    kScanStarted = 12,
    kScanChannel = 13,  // asking one channel whether its settings changed
    kScanNext = 14,
    kTurnSave = 15,  // saving the settings file
    // The wait between turns.
    kWaitLock = 19,  // taking the wake condition's mutex
    kWaiting = 20,   // the 200 ms wait
    kWaitReturned = 21,
    kWaitFailed = 22,
    // The stop sequence.
    kStopSave = 23,        // the last save
    kStopAsking = 24,      // asking the channels to stop
    kStopAskingLock = 25,  // the channels read lock for that
    kStopAskingOne = 27,   // the stop request to one channel
    kStopAsked = 29,
    kStopChannel = 30,        // stopping one channel: waiting for its thread
    kStopDeleteChannel = 31,  // deleting it
    kStopNextChannel = 32,
    kStopChannelsGone = 33,
    kStopBlock = 34,   // deleting the block
    kStopDriver = 35,  // closing the driver
    kStopEnded = 36,
  };
  // Where the channel management is: the second number of that line, which
  // matters while the first is kTurnChannels. -1 before it first runs.
  enum StepPos : int32_t {
    kStepNotYet = -1,
    kStepStart = 1,     // the DSP layout and the latency
    kStepChecking = 3,  // the channels checked; one that stopped responding restarted
    kStepResizing = 4,  // channels added or removed to match the layout
    kStepUpdates = 10,  // before the update pass
    kStepUpdatePass = 11,
    kStepUpdating = 12,  // inside the update of channel m_channelPos (the third number)
    kStepUpdated = 13,   // that update returned
  };

  // Clones `prototype` for board `boardIndex` and opens the clone. The thread
  // is not started. `loadPath` (not owned, may be null) names a forced XML
  // configuration file.
  CWatermark_Board(CWatermark_Server* server, const std::string& baseDirectory, CBaseDriver* prototype,
                   int32_t boardIndex, const char* loadPath);
  // Stops the thread, then whatever it left behind (channels, block), then
  // deletes the driver.
  ~CWatermark_Board() override;

  void RequestStop() override;
  int ThreadEntry() override;

  // Read once from the driver (on the board thread, or while the thread does
  // not run), then cached: the server never touches a running board's driver.
  uint32_t GetSerialNumber();
  bool IsSerialNumberRead() const { return m_serialRead.load(); }
  std::string GetName();             // "SN%08X"
  std::string GetSerialString();     // "%08X"
  std::string GetConfigDirectory();  // base directory, "\", "%08X", "\"
  int32_t GetFirstChannel() const { return m_firstChannel.load(); }
  // The channels' period in frames (512, 2560 or 5120).
  uint32_t GetLatency() const { return m_latency.load(); }
  CWatermark_Server* GetServer() const { return m_pServer; }
  CBaseDriver* GetDriver() const { return m_pDriver; }
  // The driver's kind (0 PCI, 1 and 2 QBX); -1 without a driver.
  int32_t GetKind() const;
  int32_t GetBoardIndex() const { return m_boardIndex; }
  // Progress markers, printed when the board stops responding.
  int32_t GetThreadPos() const { return m_threadPos.load(); }
  int32_t GetStepPos() const { return m_stepPos.load(); }
  int32_t GetChannelPos() const { return m_channelPos.load(); }

  // True before the first turn and while the last turn is at most 10 s old.
  bool IsAlive();
  // Enters or leaves the upgrade state (server thread). Entering saves the
  // configuration, stops and deletes every channel and waits up to 1 s for
  // the board thread to take the state; leaving reloads the configuration,
  // and the channels come back through the channel management. False, with
  // nothing changed and one line, when the board thread is busy for longer
  // than kUpgradeLockWaitMs.
  bool SetUpgrade(bool enter);
  // Under m_sharedMemLock: the block's size and name (without
  // "Global\TARVEL_"); false without a block.
  bool GetBlockInfo(uint32_t& size, std::string& name);
  // Closes the driver of a board whose thread does not run (a board left
  // unstarted must not hold the board's device file).
  void CloseDriver();

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

  // One turn of the board's loop, without its wait: the tick, the upgrade
  // state, the heartbeat, the channel management when due at `now`, the
  // settings-change scan and a due save. Holds the upgrade gate throughout.
  // False when a stop was requested: the loop ends. Called by the board
  // thread every kTurnMs, and by the channel tests (and bench/) on a board
  // whose thread never runs, which turn it by hand instead.
  bool RunTurn(uint64_t now);

 private:
  friend struct CWatermarkBoardTestAccess;

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

  // Start-up: when the driver is open and no block exists, reads the serial
  // number and creates the block "PELORIN_%08X" (read, write, create; 0x4400
  // bytes), zeroed but for the version text. A block that cannot be created
  // is logged and left out: the pointers stay null and the board runs on
  // without one.
  bool CreateSharedMemory();
  // Clears the pointers and deletes the block, under m_sharedMemLock.
  void DeleteSharedMemory();
  bool MayUseDriver();
  void SetThreadPos(ThreadPos pos) { m_threadPos.store(pos); }
  void SetStepPos(StepPos pos) { m_stepPos.store(pos); }

  // The turn's start, holding the gate: follows the upgrade request; true
  // while in the state.
  bool FollowUpgradeRequest();
  // The header words, then every channel's status record.
  void UpdateHeartbeat();
  // The latency from the block, the channels to the layout (restarts,
  // growth, shrinking, the count published), then every channel's update.
  void ManageChannels(uint64_t now);
  // Under the channels write lock, the layout's count unchanged: every
  // channel that stopped responding is stopped and replaced in place.
  void RestartDeadChannels();
  // Under the channels write lock: channels created or deleted until there
  // are `wanted`.
  void ResizeChannels(uint32_t wanted);
  // The one writer of the block's channel count: stores `count` and logs
  // "Watermark Board: <how> VU nbchannel=..." (how: ADD, RM, SET, RESET).
  // The caller makes sure the block exists.
  void PublishChannelCount(const char* how, uint32_t count);
  // A new channel with index `index`, its records pointed into the block and
  // its thread started. It loads its settings from the document, or, when
  // `keepRecord` (a restart in place), from its record in the block. Null when
  // it cannot be built.
  CWatermark_Channel* CreateChannel(int32_t index, bool keepRecord);

  enum StopOrder {
    // Every channel is asked to stop, then each is stopped and deleted, from
    // the first: the stop sequence, the upgrade state, the destructor.
    kFirstFirst,
    // A layout that shrank gives up its channels from the top: they are
    // asked to stop, then stopped and deleted, both from the last down to
    // the new count, so that the channels still running are always the
    // layout's first ones, as if it had shrunk one channel at a time.
    kLastFirst,
  };
  enum StopTrace {
    kQuiet,
    // The "STOP CHANNEL", "DELETE CHANNEL" and "RESIZE CHANNELS" lines, and
    // on the board thread the stop sequence's positions.
    kTraced,
  };
  // Stops and deletes the channels from index `from` on, in `order`, and
  // shrinks the array to `from`. The caller holds the channels write lock
  // (or is the last owner).
  void StopAndDeleteChannels(uint32_t from, StopOrder order, StopTrace trace);
  // The DSP layout's channel count (0..8), worked out once and cached.
  int32_t GetChannelCount();
  void ResetLayout();
  // The settings-change scan: the first channel that reports a change arms
  // the save timer.
  void ScanConfigChanges(uint64_t now);
  enum class Waited {
    kGoOn,    // signalled or timed out: the next turn
    kLeave,   // a stop was requested: the stop sequence
    kFailed,  // the wait failed without a stop request: the thread ends at once
  };
  // The wait between turns.
  Waited WaitTurn();
  // After the loop: save, stop and delete the channels, delete the block,
  // close the driver.
  void RunStopSequence();

  CCondition m_wakeCondition;
  std::string m_baseDirectory;
  CWatermark_Server* m_pServer;
  CBaseDriver* m_pDriver;
  int32_t m_boardIndex;
  std::atomic<uint32_t> m_serialNumber;
  std::atomic<bool> m_serialRead;
  CRITICAL_SECTION m_configLock;
  TiXmlDocument m_document;  // guarded by m_configLock
  bool m_byteOrderMark;      // the loaded file's mark; guarded by m_configLock
  CRITICAL_SECTION m_sharedMemLock;
  CSharedMemoryBuffer* m_pSharedMemBuf;  // null when absent
  uint8_t* m_pSettings;                  // block + 0x4000; null when absent
  uint8_t m_settingsImage[kSettingsImageSize];
  uint8_t* m_pSharedMem;  // null when absent
  const char* m_loadPath;
  CReadWriteLock m_channelsLock;
  CBufferBase<CWatermark_Channel*> m_channels;  // element i has index i
  std::atomic<int32_t> m_threadPos;
  std::atomic<int32_t> m_stepPos;
  std::atomic<int32_t> m_channelPos;
  CMutex m_tickMutex;
  uint64_t m_tick;  // guarded by m_tickMutex; 0 until the first turn
  CBoardUpgradeGate m_upgrade;
  std::atomic<int32_t> m_channelCount;  // DSP layout cache, -1 until worked out
  std::atomic<int32_t> m_firstChannel;
  std::atomic<uint32_t> m_latency;
  uint32_t m_heartbeatCount;
  // The board thread's own.
  CConfigSaveTimer m_saveTimer;
  uint64_t m_nextManageTime;
  std::atomic<DWORD> m_threadId;
};
