// Simulated audio device of one board: the object that stands behind a
// board's "asio<n>" file and answers its control codes the way the boards'
// kernel driver is expected to (prepare, check, get buffers, start, switch,
// stop, unprepare), paces the switch calls on the device clock, feeds the
// input halves from a generator and classifies every played output half.
//
// Threads: the world calls Open/Ioctl/Close/Unplug from whatever thread made
// the device-file call. Several may be inside at once (a switch blocked on
// the pacing while another thread closes the handle); one mutex per device
// guards every field, and it is never held while sleeping. Stats() may be
// called from any thread at any time.
//
// Ownership: the device owns its mapped buffer block; the program only ever
// sees the four 32-bit addresses. The block lies below 4 GiB and at or above
// 2 GiB, so a program that sign-extends the addresses crashes at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tvlib/win.h"

namespace sim {

// Control codes the device answers (device type 0x8444).
constexpr DWORD kAsioPrepare = 0x84448404;
constexpr DWORD kAsioCheck = 0x84444418;
constexpr DWORD kAsioGetBuffers = 0x8444441C;
constexpr DWORD kAsioStart = 0x8444840F;
constexpr DWORD kAsioSwitch = 0x84448417;
constexpr DWORD kAsioStop = 0x84448413;
constexpr DWORD kAsioUnprepare = 0x8444840B;

// The 16-byte format record of prepare and check (little-endian u32 fields).
struct AudioFormat {
  uint32_t bits = 0;
  uint32_t channels = 0;
  uint32_t rate = 0;
  uint32_t period = 0;
};

enum class InputKind { Counter, Silence, Sine, Wav };

// Device keys of a board description, plus the [sim] settings the world
// copies in (fast, virtualClock, pace, captureDir, captureSeconds).
struct AudioConfig {
  uint32_t rate = 48000;
  std::vector<uint32_t> supportedBits{32};
  uint32_t bitsSet = 0;      // non-zero: the device always reports these bits
  uint32_t channelsSet = 0;  // non-zero: the device always reports these channels
  uint32_t fixedPeriod = 0;  // 0: period as requested (period_policy=as_requested)
  InputKind input = InputKind::Counter;
  double sineHz = 1000.0;
  std::string wavFile;
  double clockPpm = 0.0;      // >0: the device clock runs fast (periods shorter)
  bool fast = false;          // no pacing wait: periods as fast as the program asks
  bool virtualClock = false;  // the world runs on a virtual clock: no pacing either
  double pace = 1.0;          // the device clock runs this many times faster than real time
  std::string captureDir;     // non-empty: black-box mode, stats and raw capture files
  int captureSeconds = 10;

  // Accepts the audio keys of a board description: rate, supported_bits
  // (comma list), bits_set, channels_set, period_policy (as_requested |
  // fixed:N), input (counter | silence | sine:<Hz> | wav:<file>), clock_ppm,
  // capture_dir, capture_seconds. False for an unknown key or a bad value.
  bool Set(const std::string& key, const std::string& value);
};

// One matched fault rule for this ioctl call, resolved by the world.
struct IoctlFault {
  DWORD err = 0;               // fail with this Win32 code (299 on a switch still toggles)
  DWORD hangMs = 0;            // block this long before answering (a close ends it with 995)
  DWORD delayMs = 0;           // sleep this long on entry
  std::vector<uint8_t> value;  // replaces the output bytes (check, get buffers)
};

enum class AudioClass : uint8_t { Silence = 0, Pass = 1, Marked = 2, Other = 3 };
const char* AudioClassName(AudioClass c);

// Sample of the counter generator for frame f (since start) and channel c.
inline uint32_t CounterSample(uint64_t frame, uint32_t channel) {
  return (static_cast<uint32_t>(frame & 0xFFFFFF) << 8) | 0x10u | (channel & 0x0Fu);
}

// Writes `frames` interleaved counter frames starting at firstFrame. Formats
// other than 32 bits carry the top bits of each 32-bit sample (truncation).
void GenerateCounter(uint8_t* dst, uint32_t bits, uint32_t channels, uint64_t firstFrame, uint32_t frames);

// Classifies one played half. Only 32-bit data can be PASS or MARKED; on
// PASS/MARKED *startCounter receives the counter of the first frame.
AudioClass ClassifyPeriod(const uint8_t* data, uint32_t bits, uint32_t channels, uint32_t frames,
                          uint32_t* startCounter);

// The record the device sets for a requested one (prepare).
AudioFormat DeviceFormatFor(const AudioConfig& cfg, const AudioFormat& requested);

// Boundary of device period j in QPC ticks: t0 + j*P*freq/(rate*pace),
// scaled by the clock error, computed from t0 each time so that nothing
// accumulates. The pace counts in thousandths.
int64_t PeriodBoundary(int64_t t0, uint64_t j, uint32_t period, int64_t freq, uint32_t rate, double clockPpm,
                       double pace = 1.0);

struct AudioTransition {
  uint64_t period = 0;  // played-period number (1-based) where the new class began
  AudioClass from = AudioClass::Silence;
  AudioClass to = AudioClass::Silence;
};

struct AudioStats {
  uint64_t played = 0;
  uint64_t pass = 0;
  uint64_t marked = 0;
  uint64_t silence = 0;
  uint64_t other = 0;
  uint64_t discontinuities = 0;
  uint64_t late = 0;
  uint64_t missed = 0;
  uint64_t missedEvents = 0;  // switch calls that found whole periods gone
  // The marked stream, silence in between left out: a MARKED period whose
  // first counter does not follow the previous MARKED period's last is a
  // break; one that starts behind the last PASS or MARKED period played is a
  // backward jump (old audio played again).
  uint64_t markedBreaks = 0;
  uint64_t markedBackward = 0;
  // The marked stream against the input the device really delivered, in
  // samples (frames): between a start and the next PASS or OTHER period (or
  // the next start) each MARKED period must carry the input delivered right
  // after the one the previous MARKED period carried. Silence in between is
  // an underrun; periods the device skipped because the program was late
  // were never delivered, so they count as missed, not as lost. A delivered
  // period passed over is lost, one carried again duplicated, one carried
  // after a later one (or input not delivered lately) reordered.
  uint64_t markedRuns = 0;
  uint64_t markedLost = 0;
  uint64_t markedDuplicated = 0;
  uint64_t markedReordered = 0;
  uint64_t faultsInjected = 0;
  uint64_t switches = 0;                     // switch calls answered with success or 299
  double maxGapMs = 0.0;                     // longest time between two switch calls
  double firstMarkedMs = -1.0;               // ms after start of the first MARKED period, -1 none
  int latency = -1;                          // periods between input and its playing (last PASS/MARKED)
  std::vector<AudioTransition> transitions;  // last 32, oldest first
  uint64_t ioctlViolations = 0;              // calls made without a bytes-returned pointer
  std::vector<DWORD> codes;                  // the last 128 codes received, oldest first
};

class AudioDevice {
 public:
  AudioDevice(const AudioConfig& cfg, uint32_t boardSerial, int index);
  ~AudioDevice();
  AudioDevice(const AudioDevice&) = delete;
  AudioDevice& operator=(const AudioDevice&) = delete;

  // A handle was opened on the device (the world has done the name, access
  // and sharing checks). 0 or a Win32 error (1167 after Unplug).
  DWORD Open();
  // 0 or a Win32 error. A NULL `returned` fails with 87 and is counted.
  DWORD Ioctl(DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned,
              const IoctlFault* fault);
  // The handle was closed: implicit stop and unprepare; a switch blocked in
  // another thread returns 995. Buffers are released here.
  void Close();
  // The board went away: every later call fails with 1167, a blocked switch too.
  void Unplug();
  void Replug();
  // The call `thread` is making (the world knows which) ends: its waits on
  // the device clock and on a fault's delay or hang return, and it fails with
  // 995. A call that does not wait completes as usual.
  void Cancel(DWORD thread);
  // The call of `thread` has returned: a cancel that came too late for it
  // must not end the thread's next call.
  void ForgetCancel(DWORD thread);

  AudioStats Stats() const;
  void ResetStats();
  int Index() const { return index_; }
  uint32_t BoardSerial() const { return serial_; }
  const AudioConfig& Config() const { return cfg_; }
  bool IsOpen() const;
  // The whole mapped block (out0, out1, in0, in1) while buffers exist.
  uintptr_t BufferBase() const;
  // The bytes of the last prepare record received, as sent.
  std::vector<uint8_t> LastPrepareRecord() const;
  // For the benchmark: per period the time from a switch's return to the
  // next switch call, as (return, call) performance-counter values, the last
  // ones since ResetStats (a preallocated ring; nothing allocates per period).
  std::vector<std::pair<int64_t, int64_t>> SwitchGaps() const;

 private:
  enum class Dev { Closed, Open, Prepared, Started };

  DWORD DoPrepare(void* in, DWORD inLen, DWORD outLen);
  DWORD DoCheck(void* out, DWORD outLen, DWORD* returned, const IoctlFault* fault);
  DWORD DoGetBuffers(void* out, DWORD outLen, DWORD* returned, const IoctlFault* fault);
  DWORD DoStart();
  DWORD DoSwitch(const IoctlFault* fault);
  DWORD DoStop();
  DWORD DoUnprepare();
  // Waits until `deadline` (QPC) or until the session ends or the calling
  // thread's call is cancelled; false if it ended.
  bool WaitUntil(int64_t deadline, uint64_t session);
  // Waits on wake_ and cancel_; the calling thread's cancel is consumed.
  bool Ended(uint64_t session);
  void WaitEvents(DWORD ms);
  bool SleepMs(DWORD ms, uint64_t session);
  DWORD EndedError() const;
  // Switches wait for the device clock only in realtime worlds.
  bool Paced() const { return !cfg_.fast && !cfg_.virtualClock; }
  void PlayHalf(int half, bool late);    // under mu_
  void FillInput(int half, uint64_t j);  // under mu_
  void RetireBuffers();                  // under mu_
  void ReleaseBuffers();                 // under mu_
  void RecordCode(DWORD code);           // under mu_
  void BeginCapture();                   // under mu_
  void WriteCaptureFiles(bool final);    // under mu_; final: at close
  void StatsWriterLoop(uint64_t session);
  void LoadWav();

  const AudioConfig cfg_;
  const uint32_t serial_;
  const int index_;

  mutable std::mutex mu_;
  HANDLE wake_ = nullptr;  // manual-reset: set by Close/Unplug to end blocked waits
  HANDLE cancel_ = nullptr;       // manual-reset: set while a cancelled call has not yet seen it
  std::vector<DWORD> cancelled_;  // threads whose call is cancelled
  std::atomic<bool> unplugged_{false};
  std::atomic<uint64_t> session_{0};  // raised by every Open and Close
  Dev dev_ = Dev::Closed;
  uint64_t switchCalls_ = 0;  // switch calls since start
  AudioFormat requested_;
  uint8_t requestBytes_[16] = {};
  AudioFormat set_;
  uint32_t bytesPerBuffer_ = 0;
  uint8_t* block_ = nullptr;  // current buffers (out0, out1, in0, in1)
  size_t blockSize_ = 0;
  std::vector<std::pair<uint8_t*, size_t>> retired_;  // NOACCESS until Close
  int64_t freq_ = 1;
  int64_t t0_ = 0;
  uint64_t j_ = 0;       // device period counter (switch calls plus skipped periods)
  int programHalf_ = 1;  // the device's view of the program's current half
  int64_t lastSwitchQpc_ = 0;
  AudioClass lastClass_ = AudioClass::Silence;
  bool haveLastCounter_ = false;
  uint32_t lastCounter_ = 0;
  bool haveLastMarked_ = false;
  uint32_t nextMarked_ = 0;  // the counter the next MARKED period should start with
  bool haveCountedEnd_ = false;
  uint32_t countedEnd_ = 0;  // the counter after the last PASS or MARKED period
  // The input delivered since the start, by delivery number: its first
  // frame, and whether the current run carried it or passed over it.
  static const uint64_t kDeliveredRing = 256;
  struct Delivered {
    uint64_t firstFrame;
    bool carried;
    bool passedOver;
  };
  Delivered delivered_[kDeliveredRing] = {};
  uint64_t deliveredCount_ = 0;
  bool inMarkedRun_ = false;
  uint64_t runLast_ = 0;  // delivery number the run's last MARKED period carried
  void NoteDelivered(uint64_t firstFrame);
  void FollowMarkedRun(AudioClass cls, uint32_t start);
  AudioStats stats_;
  static const size_t kGapRing = 16384;
  std::vector<std::pair<int64_t, int64_t>> gapRing_;
  uint64_t gapCount_ = 0;
  int64_t lastReturnQpc_ = 0;  // 0: no switch returned since the start
  DWORD codeRing_[128] = {};
  uint64_t codeCount_ = 0;
  AudioTransition transRing_[32] = {};
  uint64_t transCount_ = 0;
  std::vector<int32_t> wav_;  // interleaved 32-bit, wavChannels_ wide
  uint32_t wavChannels_ = 0;
  std::vector<uint8_t> capture_;  // 32-bit stereo, preallocated at start
  size_t captureUsed_ = 0;
  bool rawWritten_ = false;  // the complete capture is on disk
  std::thread statsThread_;
  std::atomic<bool> statsStop_{false};
};

}  // namespace sim
