// CWatermark_Channel: one channel of one board. Its thread moves the audio
// through the embedder in real time: every period it waits for the device's
// buffer switch, hands the fresh input half to the embedder, takes one period
// of marked audio from the queue that the embedder's callback fills and
// writes it to the output half (silence when the queue holds too little; the
// input unchanged whenever the channel is not marking). Its update, run by the
// board thread every turn, owns the life of the device and of the embedder;
// its status record tells client programs how the channel is.
//
// Threads:
// - the channel thread (ThreadEntry) and, at its end, UpdateStatus once;
// - the board thread: construction, SetRecords, Create, Update, UpdateStatus,
//   IsAlive, TestAndClearConfigChanged, RequestStop, Stop, deletion. It never
//   calls Update or UpdateStatus between RequestStop and Stop;
// - the SDK's threads, through the embedder object (TarvelKantarChannel.h):
//   the queue, the pending count, the error flag and the watermark ID.
//
// Locks and shared fields:
// - m_audioLock guards m_pAudio and m_period: the thread reads for a whole
//   pass, the switch included; the update writes around every device step.
//   m_bytesPerPeriod changes under the write lock too but is also read
//   without it, as a hint.
// - m_flags changes only by interlocked or/and (and one compare-exchange in
//   the update); the RT start and stop handshake lets each side act only on
//   its own transitions.
// - m_tick is written by the thread every pass and read by the board, both
//   with interlocked operations (a lock would cost two kernel calls a
//   period); m_configLock guards m_configChanged.
// - Everything else (settings cache, retry record, names, embedder life) is
//   the board thread's alone; m_enabled, the markers and m_watermarkId are
//   atomics because other threads read them.
//
// Waits: the thread blocks in the device's switch (paced by the driver; a
// switch stuck past the liveness limit is cancelled by the board's restart,
// CancelStuckDeviceCall), on the wake condition (at most 1000 ms) and on the
// audio lock (held against it only for the update's device steps). Stop and
// the destructor join the thread without a bound: after a stop request it
// leaves within one pass or idle wait, unless a driver that cannot cancel
// keeps its switch blocked.
//
// Ownership: the channel owns its device, its embedder object and its queue;
// the board, the driver and the two records in the board's block are not
// owned. The device is deleted only by the thread's end or the destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tvlib/buffers/queue_base.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CAudioAsio;
class CBaseDriver;
class CTarvelKantar_channel;
class CWatermark_Board;
class TiXmlElement;

// ---- rules of the channel, free of threads and clocks

// Audio retry record: device steps after a failure wait their back-off.
struct CAudioRetry {
  enum : int32_t { kGood = 0, kClosedForChange = 2, kBackOff = 3 };
  int32_t state = kClosedForChange;
  uint64_t tick = 0;     // ms tick when the state was last set
  int64_t wallTime = 0;  // UTC seconds when the state was last set
  uint32_t backOffMs = 0;
};
// States 0 and 2 allow every step; state 3 once the unsigned difference of
// the ticks' low 32 bits reaches the back-off.
bool IsDeviceStepAllowed(const CAudioRetry& retry, uint64_t now);
// Sets the state (with tick and time) unless it is already `state`.
void SetRetryState(CAudioRetry& retry, int32_t state, uint64_t now, int64_t wallTime);
// A failure: state 3 with the current tick and time, even when already 3, so
// that a repeated failure waits its full back-off again.
void SetRetryBackOff(CAudioRetry& retry, uint32_t backOffMs, uint64_t now, int64_t wallTime);

// An embedder creation that failed is not tried again for 5000 ms unless the
// channel's settings changed meanwhile.
struct CCreationRetry {
  bool failed = false;
  uint64_t tick = 0;
  int32_t flags = 0;
  int32_t channel = 0;
};
bool IsCreationDeferred(const CCreationRetry& retry, uint64_t now, int32_t flags, int32_t channel);

// Time functions of the marking pass (UTC seconds, 64-bit).
int64_t GetUtcSecondsPlusMinutes(int minutes);
double DiffTimeSeconds(int64_t t1, int64_t t0);
double AbsDiffTimeSeconds(int64_t t1, int64_t t0);
// |(t1 - t0) - frames / rate|, frames / rate an unsigned integer division.
double TimeDriftSeconds(int64_t t0, int64_t t1, uint64_t frames, uint32_t rate);

// Whether the marking pass resynchronises the embedder's timecode: 12 hours
// after the last resynchronisation, or once the wall clock and the frames fed
// since the reference disagree by 10 s or more.
struct ResyncDecision {
  enum Reason { kNone, kRegular, kDrift } reason;
  double drift;  // kDrift: the difference
};
ResyncDecision DecideResync(int64_t now, int64_t lastResync, uint64_t framesSinceReference,
                            int64_t referenceTime, uint32_t rate);
// The last resynchronisation an RT start leaves: the first regular one falls
// due 60 s later.
inline int64_t ResyncBaseAtRtStart(int64_t now) { return now - 43140; }

// frames + period while that stays below 2147483647; frames otherwise.
int32_t AddFramesSaturating(int32_t frames, int32_t period);
// A pass slower than three periods is logged: period x 3000 / rate ms.
uint32_t SlowPassLimitMs(int32_t period, int32_t rate);

// Switches that come back too soon to have waited for a period boundary. A
// device that answers the switch at once (a driver fault, error 299 without
// waiting) would keep the thread spinning at time-critical priority; a
// working one paces every switch, so eight early returns in a row cannot be
// a late pass catching up.
struct CSwitchPacing {
  static const int32_t kEarlyLimit = 8;
  int64_t lastReturn = 0;  // performance counter at the last return; 0: none
  int32_t early = 0;       // early returns in a row
};
// A quarter of a period in performance-counter ticks; 0 when unknown.
int64_t QuarterPeriodTicks(int32_t period, int32_t rate, int64_t frequency);
// Notes a switch that returned at `now`: early when less than `quarter` after
// the one before. True at the kEarlyLimit-th early return in a row.
bool NoteSwitchReturn(CSwitchPacing& pacing, int64_t now, int64_t quarter);
// The pass was left without a switch: the next one has no predecessor.
inline void ForgetSwitchReturn(CSwitchPacing& pacing) { pacing = CSwitchPacing(); }

// What the status record shows, gathered by UpdateStatus.
struct ChannelStatusView {
  bool enabled = false;
  bool libraryLoaded = false;
  bool notSupported = false;   // flag 0x40
  bool deviceStarted = false;  // the device exists and is started
  bool rtRunning = false;      // flag 0x08
  int32_t nameCount = -1;
  const std::string* names = nullptr;  // 64 entries
  int32_t selected = -1;
  uint32_t watermarkId = 0;
};
// Writes the 1636-byte status record in place, each field with its final
// value (clients read it without a lock). Returns the "Status changed" line
// to log (a format with one %s, the display name), or null.
const char* WriteStatusRecord(uint8_t* record, const ChannelStatusView& view);

// ---- the channel

class CWatermark_Channel : public CThread {
 public:
  enum : uint32_t {
    kFlagRtStartRequest = 0x04,
    kFlagRtRunning = 0x08,
    kFlagRtStopRequest = 0x10,
    kFlagDraining = 0x20,
    kFlagNotSupported = 0x40,
    kFlagsRt = 0x3C,
  };
  static const int kMaxNames = 64;
  static const uint64_t kAliveLimitMs = 3000;

  // The channel's positions: where its thread and its update last were. The
  // board prints them when the channel stops turning ("Board %s Channel %u is
  // not responding (%d T%d S%d)": the update's position, then the thread's,
  // shown twice), and a restart reads the thread's to find a stuck switch.
  // Both are -1 before the first store.
  enum Position : int32_t {
    kNotYet = -1,
    // The thread's pass, in order.
    kThreadStarting = 1,  // the thread began; its priority not yet raised
    kPassStart = 2,       // a pass began, its tick stored
    kPassSized = 3,       // the period's size read (a hint, no lock)
    kPassAudioLock = 5,   // waiting for the audio lock: an update is changing the device
    kPassInDevice = 6,    // holds the audio lock, until the device's switch returns
    kPassSwitched = 7,    // the switch returned: RT handshake, then the period out
    kPassNoSwitch = 9,    // no started device, or its switch failed
    kPassUnlocking = 10,  // releasing the audio lock
    kPassDone = 13,       // lock released; the next pass, or the idle wait
    // The thread's idle wait (no started device, or a failed switch).
    kIdle = 240,         // a passive RT end
    kIdleWaiting = 241,  // waiting on the wake condition, at most 1000 ms
    kIdleWaitFailed = 243,
    kIdleWoken = 244,
    // The thread's end.
    kEnding = 300,
    kEndAudioLock = 301,    // waiting for the audio lock: an update is changing the device
    kEndNoAudioLock = 302,  // the lock failed: the device stays to the destructor
    kEndAudioLocked = 303,
    kEndClosing = 304,  // closing the device
    kEndClosed = 305,
    kEndUnlocking = 307,
    kEndUnlocked = 308,
    kEnded = 570,
    // The update (board thread).
    kUpdateStarted = 1,    // the settings record read
    kUpdateWorking = 100,  // the device's and the embedder's steps
    kUpdateDone = 1000,
  };

  // Builds the channel's locks, queue and embedder object; the thread is
  // started by the board (Create(5)) after SetRecords.
  CWatermark_Channel(CWatermark_Board* board, CBaseDriver* driver, int32_t index);
  // Stops the thread first, then finalises and destroys the embedder and
  // closes a device that is still open.
  ~CWatermark_Channel() override;

  void RequestStop() override;
  int ThreadEntry() override;

  // "SN%08X Ch %d" (index + 1), the start of every line the channel logs.
  const std::string& GetDisplayName() const { return m_displayName; }
  int32_t GetIndex() const { return m_index; }
  // The channel's status record (1636 bytes) and settings record (8 bytes)
  // in the board's block.
  void SetRecords(uint8_t* status, uint8_t* settings);
  // True before the first pass and while the thread's tick is at most
  // 3000 ms old.
  bool IsAlive();
  // Board thread, when it restarts a channel that is not alive, after
  // RequestStop and before Stop: a thread that has been inside its pass's
  // device switch (kPassInDevice) for longer than the liveness limit would
  // make the join wait as long as the driver does, so that call is cancelled
  // and fails like any failed switch. Never touches a thread that is not
  // stuck there. True when a call was cancelled.
  bool CancelStuckDeviceCall();
  int32_t GetUpdateMarker() const { return m_updatePos.load(std::memory_order_relaxed); }
  int32_t GetThreadMarker() const { return m_threadPos.load(std::memory_order_relaxed); }

  // One update step (board thread; WatermarkChannelUpdate.cpp).
  void Update();
  void SetConfigChanged();
  bool TestAndClearConfigChanged();
  // Writes the status record (WatermarkChannelStatus.cpp); nothing without one.
  void UpdateStatus();

  // The settings in the board's XML document (WatermarkChannelConfig.cpp;
  // board thread, or the server thread while the board has no channels; the
  // caller holds the board's configuration lock).
  // "ch%d" of index + 1: the channel's element in the document.
  std::string GetShortName() const;
  // Takes the element's settings (the defaults without one) into the cached
  // copy and the settings record, and clears the changed flag. `version` is
  // the file's version; nothing depends on it yet. Returns true.
  bool LoadConfig(const TiXmlElement* element, uint32_t version);
  // A channel restarted in place: the record in the block is what the old
  // channel ran with and what a client last wrote, newer than the document,
  // so it becomes the cached copy as it is (changed flag clear).
  bool LoadConfigFromRecord();
  // Writes "enable" (bit 0 of the record's flags) and "watermarking_channel"
  // of the settings record (the cached copy without a record).
  bool SaveConfig(TiXmlElement* element);

  // For the embedder object's callbacks (SDK threads).
  CQueueBase<unsigned char>& GetQueue() { return m_queue; }
  void SetWatermarkId(uint32_t id) { ::InterlockedExchange(&m_watermarkId, static_cast<LONG>(id)); }

 private:
  friend struct CWatermarkChannelTestAccess;

  uint32_t Flags() const { return static_cast<uint32_t>(::InterlockedCompareExchange(&m_flags, 0, 0)); }
  void SetFlags(uint32_t bits) { ::InterlockedOr(&m_flags, static_cast<LONG>(bits)); }
  void ClearFlags(uint32_t bits) { ::InterlockedAnd(&m_flags, ~static_cast<LONG>(bits)); }
  void StoreTick(uint64_t tick);
  void SetThreadPos(Position pos) { m_threadPos.store(pos, std::memory_order_relaxed); }
  void SetUpdatePos(Position pos) { m_updatePos.store(pos, std::memory_order_relaxed); }

  // Update pieces (WatermarkChannelUpdate.cpp).
  bool BoardStopRequested();
  bool StepAllowed();
  void UpdateDevice(bool enabled);
  void CreateEmbedder();
  void FailCreation();
  void StopEmbedder(bool enabled);
  bool LatencyChanged();
  // Empties the marked-audio queue ("left in queue").
  void DrainQueue();
  // Before a creation and after every destroy: no stale audio, count or flag
  // survives into the next embedder.
  void ResetEmbedderState();
  void Backoff(uint32_t ms);
  void SetRetry(int32_t state);

  // The time keeping of one thread's marking (thread only).
  struct MarkClock {
    uint64_t framesSinceReference = 0;
    int32_t framesSinceRtStart = 0;
    int64_t referenceTime = 0;
    int64_t lastResync = 0;
  };
  // What the thread carries from one pass to the next, on its own stack:
  // nothing of it is allocated on the period path but the work buffer's
  // growth with the period.
  struct PassState {
    CBufferBase<unsigned char> work;  // grows with the period, never shrinks
    uint32_t lastSize = 0;
    uint64_t lastSwitch = 0;  // ms tick at the last switch's return; 0: none since the last idle wait
    int64_t frequency = 0;    // of the performance counter; 0 unknown
    CSwitchPacing pacing;
    bool wasMarking = false;
    MarkClock clock;
    // The pass was left without a switch: the next one has no predecessor.
    void ForgetSwitch() {
      lastSwitch = 0;
      ForgetSwitchReturn(pacing);
    }
  };
  enum class PassResult {
    kSwitched,  // a period went out: the next pass follows at once
    kIdle,      // no period: the idle wait follows
  };
  // One pass, under the audio lock for reading (a guard: the lock is held
  // from the device's switch to the period written).
  PassResult RunPass(PassState& pass);
  // The bytes of this pass's period: the device's half, or the prepared
  // period's bytes when those are fewer; 0 without a started device.
  uint32_t PeriodBytes(CAudioAsio* device) const;
  // With the read lock held: the switch, the RT handshake and the period out.
  // False when no period went out.
  bool SwitchAndMove(PassState& pass);
  // The device's switch, paced: a device that stops waiting for the period
  // is treated as one whose switch failed.
  bool SwitchPaced(CAudioAsio* device, PassState& pass, int32_t period);
  // After a switch: the embedder's error flag, then an RT start or an RT end
  // that the update asked for.
  void RtHandshake(MarkClock& clock);
  // The period's output: marked audio while RT runs, else the input as it is.
  void WriteOutput(PassState& pass, const void* input, void* output, uint32_t size, int32_t period);
  // One marking pass; false when the pass must pass the input through.
  bool Mark(MarkClock& clock, CBufferBase<unsigned char>& work, const void* input, uint32_t size,
            int32_t period, bool wasMarking);
  void EndRtPassively();
  enum class Waited {
    kGoOn,    // signalled or timed out: the next pass
    kLeave,   // a stop was requested: the thread's end
    kFailed,  // the wait failed without a stop request: the thread ends at once
  };
  // The idle wait, at most 1000 ms.
  Waited IdleWait();
  // The thread's end: the device closed and deleted under the write lock.
  void CloseDeviceAtEnd();

  CWatermark_Board* m_pBoard;
  CBaseDriver* m_pDriver;
  int32_t m_index;
  CCondition m_wakeCondition;
  uint8_t* m_pSettings;
  int32_t m_settingsFlags;
  int32_t m_settingsChannel;
  uint8_t* m_pStatus;
  CAudioAsio* m_pAudio;
  CReadWriteLock m_audioLock;
  int32_t m_rate;
  std::atomic<int32_t> m_bytesPerPeriod;
  int32_t m_period;
  uint32_t m_latency;
  std::atomic<bool> m_enabled;
  CRITICAL_SECTION m_configLock;
  bool m_configChanged;
  CAudioRetry m_retry;
  std::atomic<int32_t> m_updatePos;
  std::atomic<int32_t> m_threadPos;
  volatile LONG64 m_tick;
  CTarvelKantar_channel* m_pEmbedder;
  mutable volatile LONG m_flags;
  std::string m_embedderConfig1;
  std::string m_embedderConfig2;
  int32_t m_selectedName;
  int32_t m_nameCount;
  std::string m_names[kMaxNames];
  std::atomic<bool> m_noResync;
  CQueueBase<unsigned char> m_queue;
  volatile LONG m_watermarkId;
  // Beyond the record of the class: the name every line starts with, built
  // once, and the pause after a failed creation.
  std::string m_displayName;
  CCreationRetry m_creationRetry;
};
