#include "service/WatermarkChannel.h"

#include <cmath>
#include <cstring>

#include "drivers/AudioAsio.h"
#include "service/Liveness.h"
#include "service/TarvelKantarChannel.h"
#include "service/WatermarkBoard.h"
#include "tvlib/log/log.h"
#include "tvlib/time/clock.h"

// ---------------------------------------------------------------- rules

int64_t GetUtcSecondsPlusMinutes(int minutes) {
  return static_cast<int64_t>(GetUtcTimeMs() / 1000) + static_cast<int64_t>(minutes) * 60;
}

double DiffTimeSeconds(int64_t t1, int64_t t0) { return static_cast<double>(t1 - t0); }

double AbsDiffTimeSeconds(int64_t t1, int64_t t0) { return std::fabs(DiffTimeSeconds(t1, t0)); }

double TimeDriftSeconds(int64_t t0, int64_t t1, uint64_t frames, uint32_t rate) {
  const uint64_t fed = rate != 0 ? frames / rate : 0;
  return std::fabs(DiffTimeSeconds(t1, t0) - static_cast<double>(fed));
}

ResyncDecision DecideResync(int64_t now, int64_t lastResync, uint64_t framesSinceReference,
                            int64_t referenceTime, uint32_t rate) {
  if (now - lastResync >= 43200) return ResyncDecision{ResyncDecision::kRegular, 0.0};
  if (framesSinceReference != 0) {
    const double drift = TimeDriftSeconds(referenceTime, now, framesSinceReference, rate);
    if (drift >= 10.0) return ResyncDecision{ResyncDecision::kDrift, drift};
  }
  return ResyncDecision{ResyncDecision::kNone, 0.0};
}

int32_t AddFramesSaturating(int32_t frames, int32_t period) {
  const int64_t sum = static_cast<int64_t>(frames) + period;
  return sum < 2147483647 ? static_cast<int32_t>(sum) : frames;
}

uint32_t SlowPassLimitMs(int32_t period, int32_t rate) {
  if (rate <= 0 || period <= 0) return 0;
  return static_cast<uint32_t>(static_cast<int64_t>(period) * 3000 / rate);
}

int64_t QuarterPeriodTicks(int32_t period, int32_t rate, int64_t frequency) {
  if (rate <= 0 || period <= 0 || frequency <= 0) return 0;
  return static_cast<int64_t>(period) * frequency / (static_cast<int64_t>(rate) * 4);
}

bool NoteSwitchReturn(CSwitchPacing& pacing, int64_t now, int64_t quarter) {
  const bool early = pacing.lastReturn != 0 && now - pacing.lastReturn < quarter;
  pacing.lastReturn = now;
  pacing.early = early ? pacing.early + 1 : 0;
  return pacing.early >= CSwitchPacing::kEarlyLimit;
}

// ---------------------------------------------------------------- the channel

CWatermark_Channel::CWatermark_Channel(CWatermark_Board* board, CBaseDriver* driver, int32_t index)
    : CThread(3),
      m_pBoard(board),
      m_pDriver(driver),
      m_index(index),
      m_wakeCondition(nullptr),
      m_pSettings(nullptr),
      m_settingsFlags(0),
      m_settingsChannel(0),
      m_pStatus(nullptr),
      m_pAudio(nullptr),
      m_rate(48000),
      m_bytesPerPeriod(0),
      m_period(0),
      // Until a device is prepared the channel asks for what the board wants.
      m_latency(board ? board->GetLatency() : 512),
      m_enabled(false),
      m_configChanged(false),
      m_updatePos(kNotYet),
      m_threadPos(kNotYet),
      m_tick(0),
      m_pEmbedder(nullptr),
      m_flags(0),
      m_selectedName(-1),
      m_nameCount(-1),
      m_noResync(false),
      m_queue(16384, 0),
      m_watermarkId(0) {
  ::InitializeCriticalSection(&m_configLock);
  m_displayName = FormatString("%s Ch %d", board ? board->GetName().c_str() : "", index + 1);
  m_pEmbedder = new CTarvelKantar_channel(this);
}

CWatermark_Channel::~CWatermark_Channel() {
  // Everything below is the thread's too.
  Stop();
  LogLevel9("+++++++ CWatermark_Channel::~CWatermark_Channel +++++");
  const char* name = m_displayName.c_str();
  if (m_pEmbedder->IsInitialized()) {
    LogLevel8("%s: WATERMARKING: Finalize", name);
    m_pEmbedder->Finalize();
  }
  LogLevel8("%s: WATERMARKING: Destroy", name);
  m_pEmbedder->Destroy();
  LogLevel8("%s: WATERMARKING: Destroyed", name);
  delete m_pEmbedder;
  m_pEmbedder = nullptr;
  // A thread that ended on a failed wait leaves its device open; the file is
  // exclusive, so a replacement channel could never open it.
  if (m_pAudio != nullptr) {
    m_pAudio->Close();
    delete m_pAudio;
    m_pAudio = nullptr;
  }
  ::DeleteCriticalSection(&m_configLock);
}

void CWatermark_Channel::SetRecords(uint8_t* status, uint8_t* settings) {
  m_pStatus = status;
  m_pSettings = settings;
}

void CWatermark_Channel::RequestStop() {
  LogLevel9("%s: +++++++ CWatermark_Channel::RequestStop +++++", m_displayName.c_str());
  CThread::RequestStop();
  BroadcastWithMutex(&m_wakeCondition);
  LogLevel9("%s: +++++++ CWatermark_Channel::RequestStop DONE +++++", m_displayName.c_str());
}

void CWatermark_Channel::StoreTick(uint64_t tick) {
  ::InterlockedExchange64(&m_tick, static_cast<LONG64>(tick));
}

bool CWatermark_Channel::IsAlive() {
  const uint64_t tick = static_cast<uint64_t>(::InterlockedCompareExchange64(&m_tick, 0, 0));
  return IsTickAlive(tick, GetTickCountMs(), kAliveLimitMs);
}

bool CWatermark_Channel::CancelStuckDeviceCall() {
  // kPassInDevice spans the pass from the read lock to the switch's return;
  // with a tick older than the limit the thread has been blocked there that long.
  if (IsAlive() || m_threadPos.load(std::memory_order_relaxed) != kPassInDevice) return false;
  if (!CAudioAsio::CancelCall(GetThreadHandle())) return false;
  LogLevel2("%s: cancelling a device call blocked for more than %d ms", m_displayName.c_str(),
            static_cast<int>(kAliveLimitMs));
  return true;
}

void CWatermark_Channel::SetConfigChanged() {
  CCriticalSectionLocker lock(m_configLock);
  m_configChanged = true;
}

bool CWatermark_Channel::TestAndClearConfigChanged() {
  CCriticalSectionLocker lock(m_configLock);
  const bool changed = m_configChanged;
  m_configChanged = false;
  return changed;
}

// ---------------------------------------------------------------- the thread

void CWatermark_Channel::EndRtPassively() {
  if ((Flags() & (kFlagRtRunning | kFlagRtStopRequest)) != (kFlagRtRunning | kFlagRtStopRequest)) return;
  const int32_t pending = m_pEmbedder->ReadPendingCount();
  if (pending == 0)
    LogLevel8("%s: WATERMARKING: RT end (passive)", m_displayName.c_str());
  else
    LogLevel8("%s: WATERMARKING: RT wait end (%d) (passive)", m_displayName.c_str(), pending);
  ClearFlags(kFlagRtRunning | kFlagRtStopRequest);
}

CWatermark_Channel::Waited CWatermark_Channel::IdleWait() {
  SetThreadPos(kIdle);
  EndRtPassively();
  CMutexLocker lock(*m_wakeCondition.GetMutex());
  SetThreadPos(kIdleWaiting);
  // Tested under the wake mutex: a stop broadcast given just before the wait
  // would otherwise be lost. Without the mutex there is no wait.
  int rc = lock.Locked() ? int(CCondition::eCOND_NO_ERROR) : int(CCondition::eCOND_MISC_ERROR);
  if (lock.Locked() && !IsStopRequested()) rc = m_wakeCondition.WaitTimeout(1000);
  if (rc == CCondition::eCOND_NO_ERROR || rc == CCondition::eCOND_TIMEOUT) {
    SetThreadPos(kIdleWoken);
    return Waited::kGoOn;
  }
  SetThreadPos(kIdleWaitFailed);
  if (IsStopRequested()) return Waited::kLeave;
  LogFailure("%s: Stream Channel : Wait Error !", m_displayName.c_str());
  return Waited::kFailed;
}

bool CWatermark_Channel::Mark(MarkClock& clock, CBufferBase<unsigned char>& work, const void* input,
                              uint32_t size, int32_t period, bool wasMarking) {
  const char* name = m_displayName.c_str();
  const int64_t now = GetUtcSecondsPlusMinutes(0);
  if (!m_noResync.load(std::memory_order_relaxed)) {
    const ResyncDecision decision = DecideResync(now, clock.lastResync, clock.framesSinceReference,
                                                 clock.referenceTime, static_cast<uint32_t>(m_rate));
    if (decision.reason == ResyncDecision::kRegular) {
      LogLevel3("%s: WATERMARKING: regular resynch (%d %s)", name, 12, "hours");
    } else if (decision.reason == ResyncDecision::kDrift) {
      LogLevel3("%s: WATERMARKING: time drifted or changed (%.1f sec), resynch", name, decision.drift);
      clock.framesSinceReference = 0;
      clock.referenceTime = 0;
    }
    if (decision.reason != ResyncDecision::kNone) {
      const int r = m_pEmbedder->ResynchronizeTimecode();
      if (r == 0) {
        clock.lastResync = now;
      } else if (r == 81) {
        LogLevel2("%s: WATERMARKING: Resynch not allowed", name);
        clock.lastResync = now;
      } else {
        LogError("%s: WATERMARKING: Resynch error %d: %s", name, r, CTarvelKantar::ErrorText(r));
        ClearFlags(kFlagRtRunning);
        LogLevel8("%s: WATERMARKING: RT stay on input", name);
        // Cleared again under the embedder's mutex, or without it: the flag is
        // interlocked, the mutex only orders it after the callback's count.
        CMutexLocker lock(m_pEmbedder->GetMutex());
        ClearFlags(kFlagRtRunning);
        return false;
      }
    }
  }

  if (!m_queue.PopBuffer(work, false)) {
    if (clock.framesSinceRtStart > 2560)
      LogError("%s: WATERMARKING: Synchronisation error, silence (req %u size %u)", name, size,
               static_cast<uint32_t>(m_queue.GetUsed()));
    std::memset(work.GetData(), 0, size);
  }
  if (!wasMarking) LogLevel8("%s: WATERMARKING: marking now", name);

  if ((Flags() & (kFlagRtRunning | kFlagRtStopRequest)) == kFlagRtRunning) {
    const int r = m_pEmbedder->AddAudioBuffer(input, size, this);
    if (r != 0) {
      LogError("%s: watermarking error %d: %s", name, r, CTarvelKantar::ErrorText(r));
    } else {
      m_pEmbedder->AddPending();
      if (clock.framesSinceReference == 0) clock.referenceTime = now;
      clock.framesSinceReference += static_cast<uint32_t>(period);
      clock.framesSinceRtStart = AddFramesSaturating(clock.framesSinceRtStart, period);
    }
  }
  return true;
}

CWatermark_Channel::PassResult CWatermark_Channel::RunPass(PassState& pass) {
  StoreTick(GetTickCountMs());
  SetThreadPos(kPassStart);
  // Only a hint: the size this pass uses is taken under the audio lock,
  // since the update re-prepares the device between passes.
  const int32_t hint = m_bytesPerPeriod.load(std::memory_order_relaxed);
  SetThreadPos(kPassSized);
  if (hint <= 0) return PassResult::kIdle;
  SetThreadPos(kPassAudioLock);
  bool switched;
  {
    CReadLocker lock(m_audioLock);
    if (!lock.Started()) return PassResult::kIdle;
    SetThreadPos(kPassInDevice);
    switched = SwitchAndMove(pass);
    if (!switched) {
      SetThreadPos(kPassNoSwitch);
      pass.ForgetSwitch();
    }
    SetThreadPos(kPassUnlocking);
  }
  SetThreadPos(kPassDone);
  return switched ? PassResult::kSwitched : PassResult::kIdle;
}

uint32_t CWatermark_Channel::PeriodBytes(CAudioAsio* device) const {
  if (device == nullptr || !device->IsStarted()) return 0;
  const uint32_t half = device->GetBytesPerBuffer();
  const int32_t bytes = m_bytesPerPeriod.load(std::memory_order_relaxed);
  return bytes > 0 && static_cast<uint32_t>(bytes) < half ? static_cast<uint32_t>(bytes) : half;
}

bool CWatermark_Channel::SwitchAndMove(PassState& pass) {
  const uint64_t now = GetTickCountMs();
  // A started device is serviced with or without an RT flag: it must pass
  // its input through whenever the channel is not marking.
  CAudioAsio* device = m_pAudio;
  const uint32_t size = PeriodBytes(device);
  if (size != 0 && size != pass.lastSize && size > pass.work.GetAllocated()) pass.work.Realloc(size);
  pass.lastSize = size;
  if (size == 0) return false;
  const int32_t period = m_period;
  if (pass.lastSwitch != 0 && now - pass.lastSwitch > SlowPassLimitMs(period, m_rate))
    LogLevel2("%s: Last audio chunk process took too long (%d ms)", m_displayName.c_str(),
              static_cast<int>(now - pass.lastSwitch));
  if (!SwitchPaced(device, pass, period)) return false;
  pass.lastSwitch = GetTickCountMs();
  SetThreadPos(kPassSwitched);
  const void* input = device->GetInputBuffer();
  void* output = device->GetOutputBuffer();
  RtHandshake(pass.clock);
  WriteOutput(pass, input, output, size, period);
  return true;
}

bool CWatermark_Channel::SwitchPaced(CAudioAsio* device, PassState& pass, int32_t period) {
  if (!device->SwitchBuffer()) return false;
  LARGE_INTEGER returned;
  ::QueryPerformanceCounter(&returned);
  if (!NoteSwitchReturn(pass.pacing, returned.QuadPart, QuarterPeriodTicks(period, m_rate, pass.frequency)))
    return true;
  // Not paced any more: the update closes the device and backs off, as after
  // a failed switch.
  LogError("%s: asio switchbuf returned %d times without waiting for the period", m_displayName.c_str(),
           static_cast<int>(CSwitchPacing::kEarlyLimit));
  device->SetSwitchError();
  return false;
}

void CWatermark_Channel::RtHandshake(MarkClock& clock) {
  const char* name = m_displayName.c_str();
  if (m_pEmbedder->TakeErrorFlag()) {
    LogLevel8("%s: WATERMARKING: Error Flag", name);
    ClearFlags(kFlagRtRunning | kFlagRtStopRequest);
  }
  const uint32_t flags = Flags();
  if ((flags & kFlagRtStartRequest) && !(flags & kFlagRtRunning)) {
    SetFlags(kFlagRtRunning);
    ClearFlags(kFlagRtStartRequest);
    clock = MarkClock();
    clock.lastResync = ResyncBaseAtRtStart(GetUtcSecondsPlusMinutes(0));
    LogLevel8("%s: WATERMARKING: RT starts", name);
  } else if ((flags & (kFlagRtRunning | kFlagRtStopRequest)) == (kFlagRtRunning | kFlagRtStopRequest)) {
    const int32_t pending = m_pEmbedder->ReadPendingCount();
    if (pending == 0)
      LogLevel8("%s: WATERMARKING: RT end", name);
    else
      LogLevel8("%s: WATERMARKING: RT wait end (%d)", name, pending);
    ClearFlags(kFlagRtRunning | kFlagRtStopRequest);
  }
}

void CWatermark_Channel::WriteOutput(PassState& pass, const void* input, void* output, uint32_t size,
                                     int32_t period) {
  // A work buffer that could not grow passes the input through.
  if ((Flags() & kFlagRtRunning) && pass.work.SetLength(size) &&
      Mark(pass.clock, pass.work, input, size, period, pass.wasMarking)) {
    pass.wasMarking = true;
    std::memcpy(output, pass.work.GetData(), size);
    return;
  }
  if (pass.wasMarking) {
    LogLevel8("%s: WATERMARKING: marking failed, stopped", m_displayName.c_str());
    pass.wasMarking = false;
  }
  std::memcpy(output, input, size);
}

void CWatermark_Channel::CloseDeviceAtEnd() {
  const char* name = m_displayName.c_str();
  SetThreadPos(kEnding);
  LogLevel9("%s: Acquiring audio", name);
  SetThreadPos(kEndAudioLock);
  {
    CWriteLocker lock(m_audioLock);
    if (!lock.Started()) {
      SetThreadPos(kEndNoAudioLock);
      return;
    }
    SetThreadPos(kEndAudioLocked);
    LogLevel9("%s: Stopping audio", name);
    if (m_pAudio != nullptr) {
      SetThreadPos(kEndClosing);
      LogLevel9("%s: close audio", name);
      m_pAudio->Close();
      SetThreadPos(kEndClosed);
      delete m_pAudio;
      m_pAudio = nullptr;
    }
    SetThreadPos(kEndUnlocking);
  }
  SetThreadPos(kEndUnlocked);
}

int CWatermark_Channel::ThreadEntry() {
  LogLevel9("%s: starting...", m_displayName.c_str());
  SetThreadPos(kThreadStarting);
  SetThreadRealtimePriority();
  PassState pass;
  LARGE_INTEGER frequency;
  if (::QueryPerformanceFrequency(&frequency)) pass.frequency = frequency.QuadPart;

  while (!IsStopRequested()) {
    if (RunPass(pass) == PassResult::kSwitched) continue;
    const Waited waited = IdleWait();
    if (waited == Waited::kLeave) break;
    if (waited == Waited::kFailed) return -1;
    pass.ForgetSwitch();
  }

  CloseDeviceAtEnd();
  m_enabled.exchange(false);
  UpdateStatus();
  SetThreadPos(kEnded);
  LogLevel9("+++++++ CWatermark_Channel::ThreadEntry EXIT+++++");
  return 0;
}
