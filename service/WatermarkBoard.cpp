#include "service/WatermarkBoard.h"

#include <cassert>
#include <cstring>
#include <new>

#include "drivers/BaseDriver.h"
#include "service/BoardBlock.h"
#include "service/DspLayout.h"
#include "service/Liveness.h"
#include "service/WatermarkChannel.h"
#include "tvlib/files/files.h"
#include "tvlib/ipc/shared_memory.h"
#include "tvlib/log/log.h"
#include "tvlib/time/clock.h"

CWatermark_Board::CWatermark_Board(CWatermark_Server* server, const std::string& baseDirectory,
                                   CBaseDriver* prototype, int32_t boardIndex, const char* loadPath)
    : CThread(3),
      m_wakeCondition(nullptr),
      m_baseDirectory(baseDirectory),
      m_pServer(server),
      m_pDriver(nullptr),
      m_boardIndex(boardIndex),
      m_serialNumber(0),
      m_serialRead(false),
      m_byteOrderMark(false),
      m_pSharedMemBuf(nullptr),
      m_pSettings(nullptr),
      m_pSharedMem(nullptr),
      m_loadPath(loadPath),
      m_threadPos(kThreadNotYet),
      m_stepPos(kStepNotYet),
      m_channelPos(-1),
      m_tick(0),
      m_channelCount(-1),
      m_firstChannel(-1),
      m_latency(512),
      m_heartbeatCount(0),
      m_nextManageTime(0),
      m_threadId(0) {
  ::InitializeCriticalSection(&m_configLock);
  ::InitializeCriticalSection(&m_sharedMemLock);
  std::memset(m_settingsImage, 0, sizeof m_settingsImage);
  m_pDriver = prototype ? prototype->Clone(boardIndex) : nullptr;
  if (m_pDriver) m_pDriver->Open(-1);
}

CWatermark_Board::~CWatermark_Board() {
  // Members die before ~CThread could stop a thread that still uses them.
  Stop();
  // A thread that never ran, or could not take its locks on the way out,
  // leaves channels and block behind: they use the driver, so they go first.
  StopAndDeleteChannels(0, kFirstFirst, kQuiet);
  m_channels.Free();
  DeleteSharedMemory();
  delete m_pDriver;
  m_pDriver = nullptr;
  LogLevel9("%s: +++++++ CWatermark_Board::~CWatermark_Board +++++", GetName().c_str());
  ::DeleteCriticalSection(&m_sharedMemLock);
  ::DeleteCriticalSection(&m_configLock);
}

void CWatermark_Board::RequestStop() {
  const std::string name = GetName();
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop (pos %d)+++++", name.c_str(), m_threadPos.load());
  CThread::RequestStop();
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop Locking wakeup +++++", name.c_str());
  {
    CMutexLocker lock(*m_wakeCondition.GetMutex());
    // Without the mutex the stop request stands; the wait ends within a turn.
    if (lock.Locked()) {
      LogLevel9("%s: +++++++ CWatermark_Board::RequestStop Waking up+++++", name.c_str());
      m_wakeCondition.Broadcast();
    }
  }
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop DONE +++++", name.c_str());
}

// ---------------------------------------------------------------- names

bool CWatermark_Board::MayUseDriver() {
  return m_pDriver != nullptr && (m_threadId.load() == ::GetCurrentThreadId() || !IsRunning());
}

uint32_t CWatermark_Board::GetSerialNumber() {
  if (!m_serialRead.load() && MayUseDriver() && m_pDriver->IsOpen()) {
    m_serialNumber.store(m_pDriver->GetSerialNumber());
    m_serialRead.store(true);
  }
  return m_serialNumber.load();
}

std::string CWatermark_Board::GetName() { return FormatString("SN%08X", GetSerialNumber()); }

std::string CWatermark_Board::GetSerialString() { return FormatString("%08X", GetSerialNumber()); }

std::string CWatermark_Board::GetConfigDirectory() {
  return m_baseDirectory + "\\" + GetSerialString() + "\\";
}

int32_t CWatermark_Board::GetKind() const { return m_pDriver ? m_pDriver->GetKind() : -1; }

bool CWatermark_Board::IsAlive() {
  uint64_t tick;
  {
    CMutexLocker lock(m_tickMutex);
    if (!lock.Locked()) return false;
    tick = m_tick;
  }
  return IsTickAlive(tick, GetTickCountMs(), kAliveLimitMs);
}

void CWatermark_Board::CloseDriver() {
  if (MayUseDriver()) m_pDriver->Close();
}

// ---------------------------------------------------------------- block

bool CWatermark_Board::CreateSharedMemory() {
  if (m_pDriver == nullptr || !m_pDriver->IsOpen() || m_pSharedMem != nullptr) return m_pSharedMem != nullptr;
  m_serialNumber.store(m_pDriver->GetSerialNumber());
  m_serialRead.store(true);
  CCriticalSectionLocker lock(m_sharedMemLock);
  delete m_pSharedMemBuf;
  m_pSharedMemBuf = nullptr;
  const std::string name = kBoardBlockPrefix + GetSerialString();
  CSharedMemoryBuffer* block = new (std::nothrow) CSharedMemoryBuffer(
      name.c_str(), CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kCreate,
      kBoardBlockSize);
  // A name squatted by a smaller section, or a console run without the right
  // to create global objects, leaves no view to write.
  if (block == nullptr || !block->IsOk()) {
    LogError("%s: Can not create shared memory %s", GetName().c_str(), name.c_str());
    delete block;
    return false;
  }
  m_pSharedMemBuf = block;
  m_pSharedMem = block->GetData();
  InitBoardBlock(m_pSharedMem);
  m_pSettings = m_pSharedMem + kBlockSettingsOffset;
  return true;
}

void CWatermark_Board::DeleteSharedMemory() {
  CCriticalSectionLocker lock(m_sharedMemLock);
  m_pSharedMem = nullptr;
  m_pSettings = nullptr;
  delete m_pSharedMemBuf;
  m_pSharedMemBuf = nullptr;
}

bool CWatermark_Board::GetBlockInfo(uint32_t& size, std::string& name) {
  CCriticalSectionLocker lock(m_sharedMemLock);
  if (m_pSharedMemBuf == nullptr) return false;
  size = m_pSharedMemBuf->GetSize();
  name = m_pSharedMemBuf->GetName();
  return true;
}

// ---------------------------------------------------------------- thread

int CWatermark_Board::ThreadEntry() {
  m_threadId.store(::GetCurrentThreadId());
  SetThreadPos(kStarting);
  LogLevel9("%s: starting...", GetName().c_str());
  if (m_pDriver != nullptr && !m_pDriver->IsOpen()) {
    SetThreadPos(kOpeningDriver);
    LogLevel9("%s: opening driver...", GetName().c_str());
    if (m_pDriver->Open(-1)) LogLevel9("%s: driver opened...", GetName().c_str());
  }
  SetThreadPos(kDriverTried);
  if (m_pDriver != nullptr && m_pDriver->IsOpen() && m_pSharedMem == nullptr) {
    CBoardUpgradeGate::CWork work(m_upgrade);
    if (work.Held()) {
      SetThreadPos(kCreatingBlock);
      // Without a block the load still runs: the stop's save then writes the
      // stored settings back instead of a default document in front of them.
      CreateSharedMemory();
      const std::string directory = GetConfigDirectory();
      if (!CreateDirectoryPath(directory, false))
        LogError("%s: Can not create directory %s...", GetName().c_str(), directory.c_str());
      SetThreadPos(kLoadingConfig);
      LoadConfig();
    }
  }

  int result = 0;
  while (!IsStopRequested()) {
    if (!RunTurn(GetTickCountMs())) break;
    const Waited waited = WaitTurn();
    if (waited == Waited::kLeave) break;
    if (waited == Waited::kFailed) {
      // Ending here with the channels running would leave them on a driver
      // and a block the server is about to delete.
      LogError("Watermark Board : Wait Error !");
      result = -1;
      break;
    }
  }
  RunStopSequence();
  return result;
}

bool CWatermark_Board::RunTurn(uint64_t now) {
  SetThreadPos(kTurnStart);
  {
    CMutexLocker lock(m_tickMutex);
    if (lock.Locked()) m_tick = now;
  }
  // The turn's work holds the gate; the wait between turns does not.
  CBoardUpgradeGate::CWork work(m_upgrade);
  if (!work.Held()) return true;
  if (FollowUpgradeRequest()) return true;
  if (IsStopRequested()) return false;
  if (m_pSharedMem != nullptr) {
    SetThreadPos(kTurnHeartbeat);
    UpdateHeartbeat();
    if (m_nextManageTime == 0 || m_nextManageTime < now) {
      m_nextManageTime = now + kTurnMs;
      SetThreadPos(kTurnChannels);
      ManageChannels(now);
    }
  }
  ScanConfigChanges(now);
  if (m_saveTimer.IsDue(now)) {
    SetThreadPos(kTurnSave);
    SaveConfig();
    m_saveTimer.Clear();
  }
  return true;
}

bool CWatermark_Board::FollowUpgradeRequest() {
  switch (m_upgrade.TakeRequest()) {
    case CBoardUpgradeGate::kEntered:
      LogLevel2("SN%s: Entering upgrade state !", GetSerialString().c_str());
      // A layout worked out while SetUpgrade reset it must not outlive the state.
      ResetLayout();
      break;
    case CBoardUpgradeGate::kLeft:
      LogLevel2("SN%s: Leaving upgrade state !", GetSerialString().c_str());
      break;
    case CBoardUpgradeGate::kUnchanged: break;
  }
  return m_upgrade.InState();
}

void CWatermark_Board::ScanConfigChanges(uint64_t now) {
  SetThreadPos(kScanLock);
  CReadLocker lock(m_channelsLock);
  if (!lock.Started()) return;
  SetThreadPos(kScanStarted);
  for (uint32_t i = 0; i < m_channels.GetLength(); ++i) {
    SetThreadPos(kScanChannel);
    if (m_channels[i]->TestAndClearConfigChanged()) {
      m_saveTimer.Change(now);
      break;
    }
    SetThreadPos(kScanNext);
  }
}

CWatermark_Board::Waited CWatermark_Board::WaitTurn() {
  SetThreadPos(kWaitLock);
  CMutexLocker lock(*m_wakeCondition.GetMutex());
  // RequestStop broadcasts under this mutex: tested here, a stop cannot slip
  // in between the test and the wait.
  if (IsStopRequested()) return Waited::kLeave;
  int result = CCondition::eCOND_MISC_ERROR;  // without the mutex there is no wait
  if (lock.Locked()) {
    SetThreadPos(kWaiting);
    result = m_wakeCondition.WaitTimeout(kTurnMs);
    SetThreadPos(kWaitReturned);
  }
  if (result == CCondition::eCOND_NO_ERROR || result == CCondition::eCOND_TIMEOUT) return Waited::kGoOn;
  SetThreadPos(kWaitFailed);
  return IsStopRequested() ? Waited::kLeave : Waited::kFailed;
}

void CWatermark_Board::RunStopSequence() {
  // Without the gate the channels, the block and the driver are left to the
  // destructor, which runs after this thread has ended.
  CBoardUpgradeGate::CWork work(m_upgrade);
  if (!work.Held()) return;
  const std::string name = GetName();
  SetThreadPos(kStopSave);
  SaveConfig();
  SetThreadPos(kStopAsking);
  LogLevel9("%s: +++++++ CWatermark_Board::ThreadEntry REQUESTSTOP CHANNELS +++++", name.c_str());
  {
    SetThreadPos(kStopAskingLock);
    CReadLocker lock(m_channelsLock);
    if (lock.Started()) {
      for (uint32_t i = 0; i < m_channels.GetLength(); ++i) {
        SetThreadPos(kStopAskingOne);
        m_channels[i]->RequestStop();
      }
    }
    SetThreadPos(kStopAsked);
  }
  {
    CWriteLocker lock(m_channelsLock);
    if (lock.Started()) StopAndDeleteChannels(0, kFirstFirst, kTraced);
    SetThreadPos(kStopChannelsGone);
  }
  SetThreadPos(kStopBlock);
  DeleteSharedMemory();
  SetThreadPos(kStopDriver);
  LogLevel9("+++++++ CWatermark_Board::ThreadEntry CLOSE DRIVER +++++");
  if (m_pDriver != nullptr) m_pDriver->Close();
  LogLevel9("+++++++ CWatermark_Board::ThreadEntry EXIT+++++");
  SetThreadPos(kStopEnded);
}

// ---------------------------------------------------------------- channels

void CWatermark_Board::StopAndDeleteChannels(uint32_t from, StopOrder order, StopTrace trace) {
  const bool traced = trace == kTraced;
  const std::string name = traced ? GetName() : std::string();
  // The stop sequence's positions are the board thread's; SetUpgrade prints
  // the same lines from the server thread.
  const bool positions = traced && m_threadId.load() == ::GetCurrentThreadId();
  const uint32_t count = m_channels.GetLength();
  const uint32_t n = from < count ? count - from : 0;
  // The index of the k-th channel to go.
  const auto at = [&](uint32_t k) { return order == kFirstFirst ? from + k : count - 1 - k; };
  for (uint32_t k = 0; k < n; ++k) m_channels[at(k)]->RequestStop();
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t i = at(k);
    if (positions) SetThreadPos(kStopChannel);
    if (traced) LogLevel9("%s: +++++++ CWatermark_Board::ThreadEntry STOP CHANNEL +++++", name.c_str());
    m_channels[i]->Stop();
    if (positions) SetThreadPos(kStopDeleteChannel);
    if (traced) LogLevel9("%s: +++++++ CWatermark_Board::ThreadEntry DELETE CHANNEL +++++", name.c_str());
    delete m_channels[i];
    m_channels[i] = nullptr;
    if (positions) SetThreadPos(kStopNextChannel);
  }
  if (traced) LogLevel9("%s: +++++++ CWatermark_Board::ThreadEntry RESIZE CHANNELS +++++", name.c_str());
  if (n != 0) m_channels.SetLength(from);
}

void CWatermark_Board::UpdateHeartbeat() {
  CReadLocker lock(m_channelsLock);
  if (!lock.Started()) return;
  WriteHeartbeat(m_pSharedMem, m_latency.load(), &m_heartbeatCount);
  for (uint32_t i = 0; i < m_channels.GetLength(); ++i) m_channels[i]->UpdateStatus();
}

void CWatermark_Board::ResetLayout() {
  m_channelCount.store(-1);
  m_firstChannel.store(-1);
}

int32_t CWatermark_Board::GetChannelCount() {
  const int32_t cached = m_channelCount.load();
  if (cached >= 0) return cached;
  CDspLayout layout = ComputeDspLayout(m_pDriver, GetName());
  // The block holds eight status and settings records.
  assert(layout.channelCount >= 0 && layout.channelCount <= kBlockMaxChannels);
  if (layout.channelCount > kBlockMaxChannels) layout.channelCount = kBlockMaxChannels;
  // First before the count: whoever sees the count sees its first channel.
  m_firstChannel.store(layout.firstChannel);
  m_channelCount.store(layout.channelCount);
  return layout.channelCount;
}

void CWatermark_Board::ManageChannels(uint64_t now) {
  SetStepPos(kStepStart);
  const uint32_t wanted = static_cast<uint32_t>(GetChannelCount());
  const uint32_t latency = LatencyModeToFrames(ReadLatencyMode(m_pSharedMem));
  const uint32_t old = m_latency.load();
  if (latency != old) {
    LogLevel9("%s: latency changed from %u to %u samples", GetName().c_str(), old, latency);
    m_latency.store(latency);
    // A client's latency is saved like a channel's change, not only at stop.
    m_saveTimer.Change(now);
  }
  SetStepPos(kStepChecking);
  {
    CWriteLocker lock(m_channelsLock);
    if (lock.Started()) {
      // Channels made now would outlive SetUpgrade's deletion into the
      // upgrade state.
      if (!m_upgrade.BlocksChannelCreation()) {
        if (m_channels.GetLength() == wanted) {
          RestartDeadChannels();
        } else {
          SetStepPos(kStepResizing);
          ResizeChannels(wanted);
        }
      }
      if (LoadU32(m_pSharedMem + kBlockChannelCountOffset) != m_channels.GetLength())
        PublishChannelCount("SET", m_channels.GetLength());
    }
  }

  SetStepPos(kStepUpdates);
  CReadLocker lock(m_channelsLock);
  if (!lock.Started()) return;
  SetStepPos(kStepUpdatePass);
  for (uint32_t i = 0; i < m_channels.GetLength(); ++i) {
    SetStepPos(kStepUpdating);
    m_channelPos = int32_t(i);
    m_channels[i]->Update();
    SetStepPos(kStepUpdated);
  }
}

void CWatermark_Board::RestartDeadChannels() {
  const std::string serial = GetSerialString();
  for (uint32_t i = 0; i < m_channels.GetLength(); ++i) {
    CWatermark_Channel* channel = m_channels[i];
    if (channel->IsAlive()) continue;
    LogLevel2("Board %s Channel %u is not responding (%d T%d S%d), restarting...", serial.c_str(), i,
              channel->GetUpdateMarker(), channel->GetThreadMarker(), channel->GetThreadMarker());
    channel->RequestStop();
    // A thread blocked in its device call would hold this join, and the
    // whole board with it, for as long as the driver holds the call.
    channel->CancelStuckDeviceCall();
    channel->Stop();
    delete channel;
    m_channels[i] = CreateChannel(int32_t(i), true);
    if (m_channels[i] == nullptr) {
      // No hole in the array: the tail goes too and grows back next turn.
      StopAndDeleteChannels(i + 1, kFirstFirst, kQuiet);
      m_channels.SetLength(i);
      return;
    }
  }
}

void CWatermark_Board::ResizeChannels(uint32_t wanted) {
  const uint32_t present = m_channels.GetLength();
  if (wanted < present) {
    LogLevel9("%s: found %d channel, need to remove %d", GetName().c_str(), int(wanted),
              int(present - wanted));
    StopAndDeleteChannels(wanted, kLastFirst, kQuiet);
    PublishChannelCount("RM", wanted);
  } else if (wanted > present) {
    LogLevel9("%s: found %d channel, need to add %d", GetName().c_str(), int(wanted), int(wanted - present));
    for (uint32_t i = present; i < wanted; ++i) {
      // Room first: a started channel outside the array would run unowned.
      if (!m_channels.Realloc(i + 1)) break;
      CWatermark_Channel* channel = CreateChannel(int32_t(i), false);
      if (channel == nullptr) break;
      m_channels.Append(channel);
    }
    PublishChannelCount("ADD", m_channels.GetLength());
  }
}

void CWatermark_Board::PublishChannelCount(const char* how, uint32_t count) {
  // Clients read the count unlocked: one whole word.
  StoreU32(m_pSharedMem + kBlockChannelCountOffset, count);
  LogLevel9("Watermark Board: %s VU nbchannel=%d for board %s", how,
            int(LoadU32(m_pSharedMem + kBlockChannelCountOffset)), GetSerialString().c_str());
}

CWatermark_Channel* CWatermark_Board::CreateChannel(int32_t index, bool keepRecord) {
  CWatermark_Channel* channel = new (std::nothrow) CWatermark_Channel(this, m_pDriver, index);
  if (channel == nullptr) return nullptr;
  channel->SetRecords(m_pSharedMem ? m_pSharedMem + StatusRecordOffset(index) : nullptr,
                      m_pSharedMem ? m_pSharedMem + SettingsRecordOffset(index) : nullptr);
  const std::string serial = GetSerialString();
  if (keepRecord) {
    // The record holds what the old channel ran with and what a client wrote
    // since the last save; the document may be older.
    channel->LoadConfigFromRecord();
  } else {
    const ChannelConfigLoad load = LoadChannelConfig(*channel);
    if (load == kChannelConfigLoaded)
      LogLevel9("Watermark Board: loaded config for channel %d for board %s", index, serial.c_str());
    else if (load == kChannelConfigMissing)
      LogLevel9("Watermark Board: can not load config for channel %d for board %s", index, serial.c_str());
  }
  LogLevel9("Watermark Board: starting channel %d for board %s", index, serial.c_str());
  // A thread that cannot start has logged it; the channel then looks dead
  // and is restarted in place.
  (void)channel->Create(5);
  return channel;
}

// ---------------------------------------------------------------- upgrade

bool CWatermark_Board::SetUpgrade(bool enter) {
  const std::string serial = GetSerialString();
  // Held, it means that the board thread is between turns and holds no other
  // lock of the board: the channels and the document below are free at once.
  CBoardUpgradeGate::CRequest request(m_upgrade, kUpgradeLockWaitMs);
  if (!request.Locked()) {
    LogLevel2("%s: Upgrade request given up, board busy for %u ms", serial.c_str(),
              static_cast<unsigned>(kUpgradeLockWaitMs));
    return false;
  }
  // Asked before the channels lock: the channel management reads the request
  // under that lock and creates nothing while it is set.
  if (!m_upgrade.Request(enter)) return true;
  if (!enter) {
    LogLevel2("%s: Upgrade ended", serial.c_str());
    LoadConfig();
    return true;
  }
  LogLevel2("%s: Upgrade started", serial.c_str());
  SaveConfig();
  {
    CWriteLocker channels(m_channelsLock);
    if (channels.Started()) StopAndDeleteChannels(0, kFirstFirst, kTraced);
    ResetLayout();
  }
  {
    CCriticalSectionLocker block(m_sharedMemLock);
    if (m_pSharedMem != nullptr) PublishChannelCount("RESET", 0);
  }
  m_upgrade.WaitTaken(1000);
  return true;
}
