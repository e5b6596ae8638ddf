// The slow half of a channel, on the board thread: settings, the device's
// life with its back-off, and the embedder's life with the RT handshake.
#include <new>

#include "drivers/AudioAsio.h"
#include "service/BoardBlock.h"
#include "service/TarvelKantarChannel.h"
#include "service/WatermarkBoard.h"
#include "service/WatermarkChannel.h"
#include "service/WatermarkServer.h"
#include "tvlib/files/files.h"
#include "tvlib/log/log.h"
#include "tvlib/time/clock.h"

// ---------------------------------------------------------------- rules

bool IsDeviceStepAllowed(const CAudioRetry& retry, uint64_t now) {
  if (retry.state == CAudioRetry::kGood || retry.state == CAudioRetry::kClosedForChange) return true;
  if (retry.state != CAudioRetry::kBackOff) return false;
  // Low 32 bits, unsigned: the difference stays right across their wrap.
  return static_cast<uint32_t>(now) - static_cast<uint32_t>(retry.tick) >= retry.backOffMs;
}

void SetRetryState(CAudioRetry& retry, int32_t state, uint64_t now, int64_t wallTime) {
  if (retry.state == state) return;
  retry.state = state;
  retry.tick = now;
  retry.wallTime = wallTime;
}

void SetRetryBackOff(CAudioRetry& retry, uint32_t backOffMs, uint64_t now, int64_t wallTime) {
  retry.state = CAudioRetry::kBackOff;
  retry.tick = now;
  retry.wallTime = wallTime;
  retry.backOffMs = backOffMs;
}

bool IsCreationDeferred(const CCreationRetry& retry, uint64_t now, int32_t flags, int32_t channel) {
  if (!retry.failed || flags != retry.flags || channel != retry.channel) return false;
  return static_cast<uint32_t>(now) - static_cast<uint32_t>(retry.tick) < 5000;
}

// ---------------------------------------------------------------- helpers

bool CWatermark_Channel::BoardStopRequested() { return m_pBoard != nullptr && m_pBoard->IsStopRequested(); }

bool CWatermark_Channel::StepAllowed() { return IsDeviceStepAllowed(m_retry, GetTickCountMs()); }

void CWatermark_Channel::SetRetry(int32_t state) {
  SetRetryState(m_retry, state, GetTickCountMs(), GetUtcSecondsPlusMinutes(0));
}

void CWatermark_Channel::Backoff(uint32_t ms) {
  SetRetryBackOff(m_retry, ms, GetTickCountMs(), GetUtcSecondsPlusMinutes(0));
}

bool CWatermark_Channel::LatencyChanged() {
  // The latency is that of the last prepare; a device that is not prepared
  // has none to be out of date.
  return m_pBoard != nullptr && m_pAudio != nullptr && m_pAudio->GetState() >= CAudioAsio::kPrepared &&
         m_latency != m_pBoard->GetLatency();
}

void CWatermark_Channel::DrainQueue() {
  const int32_t left = m_queue.GetUsed();
  if (left <= 0) return;
  LogLevel8("%s: WATERMARKING: left in queue %u", m_displayName.c_str(), static_cast<uint32_t>(left));
  CBufferBase<unsigned char> discard(static_cast<uint32_t>(left));
  if (discard.GetLength() == static_cast<uint32_t>(left)) m_queue.PopBuffer(discard, false);
}

void CWatermark_Channel::ResetEmbedderState() {
  // No SDK thread pushes now: the embedder is gone or not yet created.
  DrainQueue();
  m_pEmbedder->ResetPendingCount();
  m_pEmbedder->ClearErrorFlag();
}

// ---------------------------------------------------------------- Update

void CWatermark_Channel::Update() {
  const char* name = m_displayName.c_str();
  SetUpdatePos(kUpdateStarted);
  if (m_pSettings != nullptr) {
    // Clients write the record unlocked: each word is read once, whole.
    const int32_t flags = static_cast<int32_t>(LoadU32(m_pSettings));
    const int32_t channel = static_cast<int32_t>(LoadU32(m_pSettings + 4));
    if (flags != m_settingsFlags || channel != m_settingsChannel) {
      m_settingsFlags = flags;
      m_settingsChannel = channel;
      SetConfigChanged();
    }
  }

  const bool wanted = (m_settingsFlags & 1) != 0;
  if (!wanted && m_enabled.load()) {
    LogLevel5("%s: disabled", name);
    m_enabled.exchange(false);
  } else if (wanted && !m_enabled.load()) {
    LogLevel5("%s: Enabled", name);
    m_enabled.exchange(true);
  }
  const bool enabled = m_enabled.load();

  SetUpdatePos(kUpdateWorking);
  if (BoardStopRequested()) return;

  if (enabled && m_pAudio == nullptr && StepAllowed()) {
    CWriteLocker lock(m_audioLock);
    if (lock.Started()) {
      LogLevel9("%s: Creating Audio", name);
      m_pAudio = new (std::nothrow) CAudioAsio(m_displayName);
      if (m_pAudio != nullptr) SetRetry(CAudioRetry::kGood);
    }
  }
  if (BoardStopRequested()) return;
  UpdateDevice(enabled);

  if (BoardStopRequested()) return;
  if (m_pEmbedder->IsCreated() && (Flags() & kFlagsRt) == 0) {
    // An error path may have ended RT without a drain: finalise here, or the
    // SDK is destroyed while initialised.
    if (m_pEmbedder->IsInitialized()) {
      LogLevel8("%s: WATERMARKING: Upd Finalize", name);
      m_pEmbedder->Finalize();
      LogLevel8("%s: WATERMARKING: Upd Finalized", name);
    }
    LogLevel8("%s: WATERMARKING: Upd Destroy", name);
    m_pEmbedder->Destroy();
    LogLevel8("%s: WATERMARKING: Upd Destroyed", name);
    ::InterlockedExchange(&m_watermarkId, 0);
    ResetEmbedderState();
  }

  const uint32_t rt = Flags() & kFlagsRt;
  const bool nameChanged = m_selectedName >= 0 && m_selectedName != m_settingsChannel;
  if (!enabled) {
    if (rt != 0) StopEmbedder(enabled);
  } else if (rt == 0) {
    CreateEmbedder();
  } else if (nameChanged || LatencyChanged() || (rt & kFlagDraining)) {
    // Draining with the reason gone still has to finish.
    StopEmbedder(enabled);
  }
  SetUpdatePos(kUpdateDone);
}

void CWatermark_Channel::UpdateDevice(bool enabled) {
  const char* name = m_displayName.c_str();
  if (m_pAudio == nullptr) return;
  if (!enabled) {
    if (m_pAudio->GetState() > CAudioAsio::kClosed) {
      CWriteLocker lock(m_audioLock);
      if (lock.Started()) {
        LogLevel9("%s: Audio not enabled, Closed Audio %p", name, static_cast<void*>(m_pAudio));
        m_pAudio->Close();
        SetRetry(CAudioRetry::kGood);
      }
    }
    return;
  }
  if (!StepAllowed()) return;

  if (m_pAudio->GetState() >= CAudioAsio::kPrepared && m_pBoard && m_latency != m_pBoard->GetLatency() &&
      (!m_pEmbedder->IsCreated() || (Flags() & kFlagsRt) == 0)) {
    CWriteLocker lock(m_audioLock);
    if (lock.Started()) {
      LogLevel9("%s: latency changed, close Audio %p", name, static_cast<void*>(m_pAudio));
      m_pAudio->Close();
      SetRetry(CAudioRetry::kClosedForChange);
    }
  }
  if (BoardStopRequested()) return;

  if (m_pAudio->GetState() == CAudioAsio::kSwitchError) {
    CWriteLocker lock(m_audioLock);
    if (lock.Started()) {
      LogError("%s: Audio state error, Closed Audio %p", name, static_cast<void*>(m_pAudio));
      m_pAudio->Close();
      Backoff(5000);
    }
  }

  if (m_pAudio->GetState() == CAudioAsio::kClosed && StepAllowed()) {
    const int32_t first = m_pBoard ? m_pBoard->GetFirstChannel() : 0;
    const std::string path = m_pAudio->MakeDeviceName(m_pDriver, first + m_index);
    LogLevel9("%s: Board %s Channel %d: open in %s", name, m_pBoard ? m_pBoard->GetName().c_str() : "",
              first + m_index + 1, path.c_str());
    CWriteLocker lock(m_audioLock);
    if (lock.Started()) {
      if (!m_pAudio->Open(path)) {
        LogLevel5("%s: Can not Open audio %s", name, path.c_str());
        Backoff(10000);
      } else {
        LogLevel9("%s: Audio opened %p", name, static_cast<void*>(m_pAudio));
      }
    }
  }

  if (m_pAudio->GetState() == CAudioAsio::kOpen && StepAllowed()) {
    m_latency = m_pBoard ? m_pBoard->GetLatency() : 512;
    CWriteLocker lock(m_audioLock);
    if (lock.Started()) {
      uint32_t period = m_latency;
      if (!m_pAudio->Prepare(m_rate, 2, 1, period)) {
        LogLevel5("%s: Can not Prepare audio", name);
        Backoff(30000);
      } else if (!m_pAudio->GetPeriod(period) || period == 0) {
        LogLevel5("%s: Can not get audio period", name);
        m_period = 0;
        m_bytesPerPeriod.store(0, std::memory_order_relaxed);
        Backoff(30000);
      } else {
        m_period = static_cast<int32_t>(period);
        m_bytesPerPeriod.store(static_cast<int32_t>(period * 8), std::memory_order_relaxed);
        LogLevel9("%s: Audio prepared %p bufsize %u", name, static_cast<void*>(m_pAudio), period * 8);
      }
    }
  }
  if (BoardStopRequested()) return;

  // Started only for an active embedder; until then the thread idles.
  if (m_pAudio->GetState() == CAudioAsio::kPrepared && StepAllowed() && m_pEmbedder->IsCreated() &&
      (Flags() & kFlagsRt) != 0) {
    CWriteLocker lock(m_audioLock);
    if (lock.Started()) {
      if (!m_pAudio->Start()) {
        LogLevel5("%s: Can not initialize audio", name);
        Backoff(30000);
      } else {
        LogLevel9("%s: Audio initialized %p", name, static_cast<void*>(m_pAudio));
        SetRetry(CAudioRetry::kGood);
      }
    }
  }
}

// ---------------------------------------------------------------- embedder

void CWatermark_Channel::FailCreation() {
  const char* name = m_displayName.c_str();
  LogLevel8("%s: WATERMARKING: Upd Failed create embedder", name);
  if (m_pEmbedder->IsCreated()) {
    if (m_pEmbedder->IsInitialized()) {
      LogLevel8("%s: WATERMARKING: Upd failed, Finalize", name);
      m_pEmbedder->Finalize();
    }
    LogLevel8("%s: WATERMARKING: Upd failed, Destroy", name);
    m_pEmbedder->Destroy();
    LogLevel8("%s: WATERMARKING: Upd failed, Destroyed", name);
  }
  ::InterlockedExchange(&m_watermarkId, 0);
  ResetEmbedderState();
  // Each attempt creates an SDK embedder and logs several lines: a failure
  // that repeats would turn the log over within minutes.
  m_creationRetry.failed = true;
  m_creationRetry.tick = GetTickCountMs();
  m_creationRetry.flags = m_settingsFlags;
  m_creationRetry.channel = m_settingsChannel;
}

void CWatermark_Channel::CreateEmbedder() {
  const char* name = m_displayName.c_str();
  if (m_pEmbedder->IsCreated()) {
    LogLevel8("%s: WATERMARKING: Upd Wait for it to stop", name);
    return;
  }
  if (!CTarvelKantar::IsLibraryLoaded()) {
    if (!(Flags() & kFlagNotSupported)) {
      LogLevel2("%s: WATERMARKING: Kantar is not supported", name);
      SetFlags(kFlagNotSupported);
    }
    return;
  }
  if (IsCreationDeferred(m_creationRetry, GetTickCountMs(), m_settingsFlags, m_settingsChannel)) return;
  m_creationRetry.failed = false;

  ClearFlags(kFlagNotSupported);
  LogLevel8("%s: WATERMARKING: Upd start it now", name);
  ::InterlockedExchange(&m_watermarkId, 0);
  ResetEmbedderState();
  LogLevel8("%s: WATERMARKING: Upd create embedder", name);
  int r = m_pEmbedder->Create(m_embedderConfig1.c_str(), m_embedderConfig2.c_str());
  if (r != 0) {
    LogError("%s: watermarking error %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
    FailCreation();
    return;
  }
  LogLevel8("%s: WATERMARKING: Upd created embedder", name);

  const int priority = IsProcessRealtimePriority() ? 15 : 2;
  r = m_pEmbedder->SetThreadPriority(priority);
  if (r != 0)
    LogError("%s: watermarking set priority %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());

  r = m_pEmbedder->SetBitsPerSample(32);
  if (r != 0) {
    LogError("%s: watermarking SetBpS %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
    FailCreation();
    return;
  }
  r = m_pEmbedder->SetChannels(2);
  if (r != 0) {
    LogError("%s: watermarking SetChannels %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
    FailCreation();
    return;
  }
  const char* const* list = nullptr;
  int count = 0;
  r = m_pEmbedder->GetChannelNameList(&list, &count);
  if (r != 0) {
    LogError("%s: watermarking GetChannelNameList %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
    FailCreation();
    return;
  }
  if (count <= kMaxNames) {
    LogLevel3("%s: watermarking has %d channels", name, count);
    m_nameCount = count;
  } else {
    LogError("%s: watermarking has %d channels, we are limited to %d", name, count, kMaxNames);
    m_nameCount = kMaxNames;
  }
  for (int i = 0; i < count; ++i) {
    // The SDK's list is its own: a hole in it must not crash the service.
    const char* entry = list != nullptr && list[i] != nullptr ? list[i] : "";
    LogLevel3("%s: watermarking channel %d: %s", name, i, entry);
    if (i < kMaxNames) m_names[i] = entry;
  }
  for (int i = m_nameCount < 0 ? 0 : m_nameCount; i < kMaxNames; ++i) m_names[i].clear();

  m_selectedName = m_settingsChannel;
  if (m_selectedName < 0 || m_selectedName >= m_nameCount) {
    LogError("%s: watermarking Channel request is too high %d max %d", name, m_selectedName, m_nameCount - 1);
    m_selectedName = -1;
    FailCreation();
    return;
  }
  r = m_pEmbedder->SetChannelName(m_names[m_selectedName].c_str());
  if (r != 0) {
    LogError("%s: watermarking SetChannelName %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
    FailCreation();
    return;
  }

  CWatermark_Server* server = m_pBoard ? m_pBoard->GetServer() : nullptr;
  if (server != nullptr && server->IsCertification() && m_names[m_selectedName] == "certif") {
    const std::string directory =
        FormatString("%skantar_record/ch%d", m_pBoard->GetConfigDirectory().c_str(), m_index + 1);
    CreateDirectoryPath(directory, false);
    LogLevel2("%s: KANTAR Certification recording direct to %s", name, directory.c_str());
    r = m_pEmbedder->EnableRecord(directory.c_str());
    if (r != 0) {
      LogError("%s: watermarking EnableRecord %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
      m_noResync.store(false);
      FailCreation();
      return;
    }
    m_noResync.store(true);
  } else {
    m_noResync.store(false);
  }

  LogLevel8("%s: WATERMARKING: Upd Init embedder", name);
  r = m_pEmbedder->Initialize();
  if (r != 0) {
    LogError("%s: watermarking Initialize %d: %s", name, r, CTarvelKantar::GetErrorString(r).c_str());
    FailCreation();
    return;
  }
  LogLevel8("%s: WATERMARKING: Upd embedder ready, start", name);
  SetFlags(kFlagRtStartRequest);
}

void CWatermark_Channel::StopEmbedder(bool enabled) {
  const char* name = m_displayName.c_str();
  const bool nameChanged = m_selectedName >= 0 && m_selectedName != m_settingsChannel;
  const bool latencyChanged = LatencyChanged();
  uint32_t flags = Flags();

  // A start request that the thread never took (the device did not start):
  // cancelled in one exchange, so that the drain below finishes the embedder.
  if ((flags & kFlagsRt) == kFlagRtStartRequest && m_pEmbedder->IsInitialized() &&
      (!enabled || nameChanged || latencyChanged)) {
    const LONG from = static_cast<LONG>(flags);
    const LONG to = static_cast<LONG>((flags & ~kFlagsRt) | kFlagDraining);
    if (::InterlockedCompareExchange(&m_flags, to, from) == from) {
      std::string reasons;
      if (!enabled) reasons += " WM-disable";
      if (nameChanged) reasons += " channel-changed";
      if (latencyChanged) reasons += " latency-changed";
      LogLevel8("%s: WATERMARKING: Upd stopping embedder because: %s", name, reasons.c_str());
    }
    return;
  }

  if ((flags & (kFlagRtRunning | kFlagRtStopRequest)) == kFlagRtRunning) {
    if (m_pEmbedder->IsInitialized()) {
      std::string reasons;
      if (!enabled) reasons += " WM-disable";
      if (nameChanged) reasons += " channel-changed";
      if (!(Flags() & kFlagRtRunning)) reasons += " stopped";
      if (latencyChanged) reasons += " latency-changed";
      LogLevel8("%s: WATERMARKING: Upd stopping embedder because: %s", name, reasons.c_str());
    }
    SetFlags(kFlagRtStopRequest | kFlagDraining);
  } else if ((flags & (kFlagDraining | kFlagRtRunning)) == kFlagDraining) {
    LogLevel8("%s: WATERMARKING: Upd stopped embedder RT", name);
    if (m_pEmbedder->IsInitialized()) {
      LogLevel8("%s: WATERMARKING: Upd Finalize", name);
      m_pEmbedder->Finalize();
      LogLevel8("%s: WATERMARKING: Upd Finalized", name);
    }
    DrainQueue();
    ClearFlags(kFlagDraining);
  }
}
