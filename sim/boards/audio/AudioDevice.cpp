#include "AudioDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr DWORD kErrInvalidFunction = 1;
constexpr DWORD kErrInvalidHandle = 6;
constexpr DWORD kErrNoMemory = 8;
constexpr DWORD kErrNotReady = 21;
constexpr DWORD kErrSharing = 32;
constexpr DWORD kErrInvalidParameter = 87;
constexpr DWORD kErrInsufficientBuffer = 122;
constexpr DWORD kErrBusy = 170;
constexpr DWORD kErrPartialCopy = 299;
constexpr DWORD kErrAborted = 995;
constexpr DWORD kErrNotConnected = 1167;

// A format the device refuses outright rather than adjusts (keeps the
// mapping within the 2..4 GiB window).
constexpr uint64_t kMaxBytesPerBuffer = 16u << 20;

int64_t Qpc() {
  LARGE_INTEGER v;
  QueryPerformanceCounter(&v);
  return v.QuadPart;
}

int64_t QpcFreq() {
  LARGE_INTEGER v;
  QueryPerformanceFrequency(&v);
  return v.QuadPart;
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Stores one 32-bit sample in the device's sample format (truncation for
// narrower formats, keeping the most significant bytes).
void PutSample(uint8_t* p, uint32_t bits, uint32_t s) {
  switch (bits) {
    case 32: PutU32(p, s); break;
    case 24:
      p[0] = uint8_t(s >> 8);
      p[1] = uint8_t(s >> 16);
      p[2] = uint8_t(s >> 24);
      break;
    case 16:
      p[0] = uint8_t(s >> 16);
      p[1] = uint8_t(s >> 24);
      break;
    case 8: p[0] = uint8_t(s >> 24); break;
    default: break;
  }
}

bool ParseU32(const std::string& s, uint32_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = uint32_t(v);
  return true;
}

bool ParseDouble(const std::string& s, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ValidBits(uint32_t b) { return b == 8 || b == 16 || b == 24 || b == 32; }

// Finds `size` bytes somewhere in [2 GiB, 4 GiB). Walking the free regions
// with VirtualQuery keeps this to a handful of calls. Only the pages the
// halves need are committed; the rest of the reservation stays uncommitted, so
// that a program copying past the last half faults at once.
uint8_t* AllocateHighLow(size_t size) {
  const uintptr_t kLow = 0x80000000u;
  const uintptr_t kHigh = uintptr_t(1) << 32;
  const uintptr_t kGran = 0x10000;
  const size_t used = size;
  size = (size + kGran - 1) & ~(kGran - 1);
  uintptr_t a = kLow;
  while (a + size <= kHigh) {
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(reinterpret_cast<void*>(a), &mbi, sizeof mbi) == 0) break;
    uintptr_t regionEnd = uintptr_t(mbi.BaseAddress) + mbi.RegionSize;
    if (mbi.State == MEM_FREE && regionEnd - a >= size && a + size <= kHigh) {
      void* p = VirtualAlloc(reinterpret_cast<void*>(a), size, MEM_RESERVE, PAGE_NOACCESS);
      if (p && !VirtualAlloc(p, used, MEM_COMMIT, PAGE_READWRITE)) {
        VirtualFree(p, 0, MEM_RELEASE);
        p = nullptr;
      }
      if (p) return static_cast<uint8_t*>(p);
      a += kGran;  // raced with another allocation: keep walking
      continue;
    }
    a = std::max(a + kGran, (regionEnd + kGran - 1) & ~(kGran - 1));
  }
  return nullptr;
}

}  // namespace

const char* AudioClassName(AudioClass c) {
  switch (c) {
    case AudioClass::Silence: return "SILENCE";
    case AudioClass::Pass: return "PASS";
    case AudioClass::Marked: return "MARKED";
    case AudioClass::Other: return "OTHER";
  }
  return "?";
}

bool AudioConfig::Set(const std::string& key, const std::string& value) {
  uint32_t u = 0;
  if (key == "rate") {
    if (!ParseU32(value, &u) || u == 0) return false;
    rate = u;
    return true;
  }
  if (key == "supported_bits") {
    std::vector<uint32_t> list;
    size_t pos = 0;
    while (pos <= value.size()) {
      size_t comma = value.find(',', pos);
      if (comma == std::string::npos) comma = value.size();
      if (!ParseU32(value.substr(pos, comma - pos), &u) || !ValidBits(u)) return false;
      list.push_back(u);
      pos = comma + 1;
    }
    if (list.empty()) return false;
    supportedBits = list;
    return true;
  }
  if (key == "bits_set") {
    if (!ParseU32(value, &u) || !ValidBits(u)) return false;
    bitsSet = u;
    return true;
  }
  if (key == "channels_set") {
    if (!ParseU32(value, &u) || u == 0 || u > 64) return false;
    channelsSet = u;
    return true;
  }
  if (key == "period_policy") {
    if (value == "as_requested") {
      fixedPeriod = 0;
      return true;
    }
    if (value.compare(0, 6, "fixed:") == 0 && ParseU32(value.substr(6), &u) && u > 0) {
      fixedPeriod = u;
      return true;
    }
    return false;
  }
  if (key == "input") {
    if (value == "counter") {
      input = InputKind::Counter;
    } else if (value == "silence") {
      input = InputKind::Silence;
    } else if (value.compare(0, 5, "sine:") == 0) {
      double hz = 0;
      if (!ParseDouble(value.substr(5), &hz) || hz <= 0) return false;
      input = InputKind::Sine;
      sineHz = hz;
    } else if (value.compare(0, 4, "wav:") == 0 && value.size() > 4) {
      input = InputKind::Wav;
      wavFile = value.substr(4);
    } else {
      return false;
    }
    return true;
  }
  if (key == "clock_ppm") {
    double v = 0;
    if (!ParseDouble(value, &v) || v <= -100000.0 || v >= 100000.0) return false;
    clockPpm = v;
    return true;
  }
  if (key == "capture_dir") {
    captureDir = value;
    return true;
  }
  if (key == "capture_seconds") {
    if (!ParseU32(value, &u) || u > 3600) return false;
    captureSeconds = int(u);
    return true;
  }
  return false;
}

void GenerateCounter(uint8_t* dst, uint32_t bits, uint32_t channels, uint64_t firstFrame, uint32_t frames) {
  const uint32_t bps = bits / 8;
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      PutSample(dst, bits, CounterSample(firstFrame + f, c));
      dst += bps;
    }
  }
}

AudioClass ClassifyPeriod(const uint8_t* data, uint32_t bits, uint32_t channels, uint32_t frames,
                          uint32_t* startCounter) {
  const size_t bytes = size_t(bits / 8) * channels * frames;
  bool allZero = true;
  for (size_t i = 0; i < bytes; ++i) {
    if (data[i] != 0) {
      allZero = false;
      break;
    }
  }
  if (allZero) return AudioClass::Silence;
  if (bits != 32 || channels == 0 || frames == 0) return AudioClass::Other;

  const uint32_t first = GetU32(data);
  uint8_t tag;
  AudioClass cls;
  if ((first & 0xF0) == 0x10) {
    tag = 0x10;
    cls = AudioClass::Pass;
  } else if ((first & 0xF0) == 0xA0) {
    tag = 0xA0;
    cls = AudioClass::Marked;
  } else {
    return AudioClass::Other;
  }
  const uint32_t start = first >> 8;
  for (uint32_t f = 0; f < frames; ++f) {
    const uint32_t counter = (start + f) & 0xFFFFFF;
    for (uint32_t c = 0; c < channels; ++c) {
      const uint32_t s = GetU32(data + (size_t(f) * channels + c) * 4);
      if (s != ((counter << 8) | tag | (c & 0x0F))) return AudioClass::Other;
    }
  }
  if (startCounter) *startCounter = start;
  return cls;
}

AudioFormat DeviceFormatFor(const AudioConfig& cfg, const AudioFormat& requested) {
  AudioFormat set;
  if (cfg.bitsSet) {
    set.bits = cfg.bitsSet;
  } else if (std::find(cfg.supportedBits.begin(), cfg.supportedBits.end(), requested.bits) !=
             cfg.supportedBits.end()) {
    set.bits = requested.bits;
  } else {
    set.bits = cfg.supportedBits.empty() ? 32 : cfg.supportedBits.front();
  }
  set.channels = cfg.channelsSet ? cfg.channelsSet : requested.channels;
  set.rate = cfg.rate;
  set.period = cfg.fixedPeriod ? cfg.fixedPeriod : requested.period;
  return set;
}

int64_t PeriodBoundary(int64_t t0, uint64_t j, uint32_t period, int64_t freq, uint32_t rate, double clockPpm,
                       double pace) {
  // Parts per billion and thousandths of the pace, so that the whole product
  // stays integer; a fast device clock (positive ppm, a pace above 1) makes
  // each period shorter in QPC ticks.
  const int64_t ppb = int64_t(std::llround(clockPpm * 1000.0));
  const uint64_t milli = uint64_t(std::max<int64_t>(1, std::llround(pace * 1000.0)));
  const unsigned __int128 num = (unsigned __int128)j * period * uint64_t(freq) * 1000000000u * 1000u;
  const unsigned __int128 den = (unsigned __int128)rate * uint64_t(1000000000 + ppb) * milli;
  return t0 + int64_t(num / den);
}

AudioDevice::AudioDevice(const AudioConfig& cfg, uint32_t boardSerial, int index)
    : cfg_(cfg), serial_(boardSerial), index_(index), gapRing_(kGapRing) {
  wake_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  cancel_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  freq_ = QpcFreq();
  if (cfg_.input == InputKind::Wav) LoadWav();
}

AudioDevice::~AudioDevice() {
  Close();
  if (statsThread_.joinable()) {
    statsStop_ = true;
    statsThread_.join();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ReleaseBuffers();
  }
  if (wake_) CloseHandle(wake_);
  if (cancel_) CloseHandle(cancel_);
}

DWORD AudioDevice::Open() {
  std::thread old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (unplugged_) return kErrNotConnected;
    if (dev_ != Dev::Closed) return kErrSharing;
    ++session_;
    ResetEvent(wake_);
    dev_ = Dev::Open;
    if (statsThread_.joinable()) old.swap(statsThread_);
  }
  if (old.joinable()) {
    statsStop_ = true;
    old.join();
  }
  if (!cfg_.captureDir.empty()) {
    std::lock_guard<std::mutex> lock(mu_);
    statsStop_ = false;
    statsThread_ = std::thread(&AudioDevice::StatsWriterLoop, this, session_.load());
  }
  return 0;
}

void AudioDevice::Close() {
  std::thread writer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (dev_ == Dev::Closed) return;
    // End any switch or hang still blocked in another thread before the
    // buffers it would touch go away.
    ++session_;
    SetEvent(wake_);
    dev_ = Dev::Closed;
    RetireBuffers();
    ReleaseBuffers();
    WriteCaptureFiles(true);
    writer.swap(statsThread_);
  }
  if (writer.joinable()) {
    statsStop_ = true;
    writer.join();
  }
}

void AudioDevice::Unplug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = true;
  SetEvent(wake_);
}

void AudioDevice::Replug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = false;
  if (dev_ == Dev::Closed) ResetEvent(wake_);
}

void AudioDevice::Cancel(DWORD thread) {
  std::lock_guard<std::mutex> lock(mu_);
  if (std::find(cancelled_.begin(), cancelled_.end(), thread) == cancelled_.end())
    cancelled_.push_back(thread);
  SetEvent(cancel_);
}

void AudioDevice::ForgetCancel(DWORD thread) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto mine = std::remove(cancelled_.begin(), cancelled_.end(), thread);
  if (mine == cancelled_.end()) return;  // the common case: no kernel call after every switch
  cancelled_.erase(mine, cancelled_.end());
  if (cancelled_.empty()) ResetEvent(cancel_);
}

bool AudioDevice::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dev_ != Dev::Closed;
}

uintptr_t AudioDevice::BufferBase() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reinterpret_cast<uintptr_t>(block_);
}

std::vector<uint8_t> AudioDevice::LastPrepareRecord() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::vector<uint8_t>(requestBytes_, requestBytes_ + 16);
}

DWORD AudioDevice::EndedError() const { return unplugged_ ? kErrNotConnected : kErrAborted; }

bool AudioDevice::Ended(uint64_t session) {
  if (session_ != session || unplugged_) return true;
  std::lock_guard<std::mutex> lock(mu_);
  const auto mine = std::find(cancelled_.begin(), cancelled_.end(), GetCurrentThreadId());
  if (mine == cancelled_.end()) return false;
  cancelled_.erase(mine);
  if (cancelled_.empty()) ResetEvent(cancel_);
  return true;
}

void AudioDevice::WaitEvents(DWORD ms) {
  const HANDLE events[2] = {wake_, cancel_};
  WaitForMultipleObjects(2, events, FALSE, ms);
}

bool AudioDevice::SleepMs(DWORD ms, uint64_t session) {
  const int64_t deadline = Qpc() + int64_t(ms) * freq_ / 1000;
  for (;;) {
    if (Ended(session)) return false;
    const int64_t now = Qpc();
    if (now >= deadline) return true;
    // Woken by wake_ the call is over; by another thread's cancel it waits on.
    const HANDLE events[2] = {wake_, cancel_};
    if (WaitForMultipleObjects(2, events, FALSE, DWORD((deadline - now) * 1000 / freq_ + 1)) == WAIT_OBJECT_0)
      return !Ended(session);
  }
}

bool AudioDevice::WaitUntil(int64_t deadline, uint64_t session) {
  for (;;) {
    if (Ended(session)) return false;
    const int64_t now = Qpc();
    if (now >= deadline) return true;
    const double remainingMs = double(deadline - now) * 1000.0 / double(freq_);
    // Sleep to 1.5 ms before the boundary, then yield the rest: sleeping all
    // the way would land up to a timer tick late.
    if (remainingMs > 2.5) {
      WaitEvents(DWORD(remainingMs - 1.5));
    } else {
      SwitchToThread();
    }
  }
}

void AudioDevice::RecordCode(DWORD code) {
  codeRing_[codeCount_ % 128] = code;
  ++codeCount_;
}

DWORD AudioDevice::Ioctl(DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned,
                         const IoctlFault* fault) {
  uint64_t session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    RecordCode(code);
    if (!returned) {
      // Windows demands lpBytesReturned when no overlapped structure is given.
      ++stats_.ioctlViolations;
      return kErrInvalidParameter;
    }
    *returned = 0;
    if (fault) ++stats_.faultsInjected;
    if (dev_ == Dev::Closed) return kErrInvalidHandle;
    session = session_;
  }
  if (unplugged_) return kErrNotConnected;
  if (fault && fault->delayMs && !SleepMs(fault->delayMs, session)) return EndedError();

  if (code == kAsioSwitch) return DoSwitch(fault);

  if (fault && fault->hangMs && !SleepMs(fault->hangMs, session)) return EndedError();
  if (fault && fault->err) return fault->err;
  std::lock_guard<std::mutex> lock(mu_);
  if (session_ != session) return EndedError();
  switch (code) {
    case kAsioPrepare: return DoPrepare(in, inLen, outLen);
    case kAsioCheck: return DoCheck(out, outLen, returned, fault);
    case kAsioGetBuffers: return DoGetBuffers(out, outLen, returned, fault);
    case kAsioStart: return DoStart();
    case kAsioStop: return DoStop();
    case kAsioUnprepare: return DoUnprepare();
    default: return kErrInvalidFunction;
  }
}

DWORD AudioDevice::DoPrepare(void* in, DWORD inLen, DWORD outLen) {
  if (dev_ == Dev::Started) return kErrBusy;
  if (!in || inLen != 16 || outLen != 0) return kErrInvalidParameter;
  const uint8_t* p = static_cast<const uint8_t*>(in);
  std::memcpy(requestBytes_, p, 16);
  AudioFormat req;
  req.bits = GetU32(p);
  req.channels = GetU32(p + 4);
  req.rate = GetU32(p + 8);
  req.period = GetU32(p + 12);
  AudioFormat set = DeviceFormatFor(cfg_, req);
  const uint64_t bpb = uint64_t(set.bits / 8) * set.channels * set.period;
  if (bpb == 0 || bpb > kMaxBytesPerBuffer) return kErrInvalidParameter;
  // A re-prepare drops the mapping of the previous preparation.
  RetireBuffers();
  requested_ = req;
  set_ = set;
  bytesPerBuffer_ = uint32_t(bpb);
  dev_ = Dev::Prepared;
  return 0;
}

DWORD AudioDevice::DoCheck(void* out, DWORD outLen, DWORD* returned, const IoctlFault* fault) {
  if (dev_ != Dev::Prepared && dev_ != Dev::Started) return kErrNotReady;
  if (!out || outLen < 16) return kErrInsufficientBuffer;
  uint8_t* o = static_cast<uint8_t*>(out);
  PutU32(o, set_.bits);
  PutU32(o + 4, set_.channels);
  PutU32(o + 8, set_.rate);
  PutU32(o + 12, set_.period);
  if (fault && !fault->value.empty())
    std::memcpy(o, fault->value.data(), std::min<size_t>(fault->value.size(), 16));
  *returned = 16;
  return 0;
}

DWORD AudioDevice::DoGetBuffers(void* out, DWORD outLen, DWORD* returned, const IoctlFault* fault) {
  if (dev_ != Dev::Prepared && dev_ != Dev::Started) return kErrNotReady;
  if (!out || outLen < 16) return kErrInsufficientBuffer;
  if (!block_) {
    blockSize_ = size_t(bytesPerBuffer_) * 4;
    block_ = AllocateHighLow(blockSize_);
    if (!block_) {
      blockSize_ = 0;
      return kErrNoMemory;
    }
  }
  std::memset(block_, 0, blockSize_);
  uint8_t* o = static_cast<uint8_t*>(out);
  for (int i = 0; i < 4; ++i)
    PutU32(o + 4 * i, uint32_t(reinterpret_cast<uintptr_t>(block_) + size_t(i) * bytesPerBuffer_));
  if (fault && !fault->value.empty())
    std::memcpy(o, fault->value.data(), std::min<size_t>(fault->value.size(), 16));
  *returned = 16;
  return 0;
}

DWORD AudioDevice::DoStart() {
  if (dev_ != Dev::Prepared || !block_) return kErrNotReady;
  t0_ = Qpc();
  j_ = 0;
  switchCalls_ = 0;
  programHalf_ = 1;
  lastSwitchQpc_ = t0_;
  lastClass_ = AudioClass::Silence;
  haveLastCounter_ = false;
  haveLastMarked_ = false;
  haveCountedEnd_ = false;
  deliveredCount_ = 0;
  inMarkedRun_ = false;
  lastReturnQpc_ = 0;
  BeginCapture();
  dev_ = Dev::Started;
  return 0;
}

DWORD AudioDevice::DoStop() {
  if (dev_ != Dev::Started) return kErrNotReady;
  dev_ = Dev::Prepared;
  return 0;
}

DWORD AudioDevice::DoUnprepare() {
  if (dev_ == Dev::Started) return kErrBusy;
  if (dev_ != Dev::Prepared) return kErrNotReady;
  RetireBuffers();
  bytesPerBuffer_ = 0;
  dev_ = Dev::Open;
  return 0;
}

DWORD AudioDevice::DoSwitch(const IoctlFault* fault) {
  const int64_t arrival = Qpc();
  uint64_t session;
  uint64_t j;
  int64_t boundary;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (dev_ != Dev::Started) return kErrNotReady;
    session = session_;
    const double gapMs = double(arrival - lastSwitchQpc_) * 1000.0 / double(freq_);
    stats_.maxGapMs = std::max(stats_.maxGapMs, gapMs);
    lastSwitchQpc_ = arrival;
    if (lastReturnQpc_ != 0) gapRing_[gapCount_++ % kGapRing] = std::make_pair(lastReturnQpc_, arrival);

    j = j_ + 1;
    boundary = PeriodBoundary(t0_, j, set_.period, freq_, set_.rate, cfg_.clockPpm, cfg_.pace);
    bool late = false;
    if (Paced()) {
      const int64_t next =
          PeriodBoundary(t0_, j + 1, set_.period, freq_, set_.rate, cfg_.clockPpm, cfg_.pace);
      if (arrival > next) {
        // More than a whole period behind: the device went on without the
        // program. The input counter follows the device clock, so the lost
        // audio shows as a jump in the next input half.
        const int64_t pticks = std::max<int64_t>(1, next - boundary);
        uint64_t k = uint64_t((arrival - boundary) / pticks);
        while (k > 0 &&
               PeriodBoundary(t0_, j + k, set_.period, freq_, set_.rate, cfg_.clockPpm, cfg_.pace) > arrival)
          --k;
        while (PeriodBoundary(t0_, j + k + 1, set_.period, freq_, set_.rate, cfg_.clockPpm, cfg_.pace) <
               arrival)
          ++k;
        stats_.missed += k;
        ++stats_.missedEvents;
        j += k;
        boundary = PeriodBoundary(t0_, j, set_.period, freq_, set_.rate, cfg_.clockPpm, cfg_.pace);
      }
      late = arrival > boundary;
    }
    j_ = j;
    if (switchCalls_ > 0) PlayHalf(programHalf_, late);
    ++switchCalls_;
  }

  if (Paced() && !WaitUntil(boundary, session)) return EndedError();
  if (fault && fault->hangMs && !SleepMs(fault->hangMs, session)) return EndedError();

  std::lock_guard<std::mutex> lock(mu_);
  if (session_ != session || dev_ != Dev::Started) return EndedError();
  if (unplugged_) return kErrNotConnected;
  DWORD err = fault ? fault->err : 0;
  if (err != 0 && err != kErrPartialCopy) return err;
  // 299 reports a recovered hardware error: the halves still move on.
  programHalf_ ^= 1;
  FillInput(programHalf_, j);
  NoteDelivered((j - 1) * set_.period);
  ++stats_.switches;
  lastReturnQpc_ = Qpc();
  return err;
}

void AudioDevice::FillInput(int half, uint64_t j) {
  uint8_t* dst = block_ + size_t(2 + half) * bytesPerBuffer_;
  const uint64_t first = (j - 1) * set_.period;
  const uint32_t bps = set_.bits / 8;
  switch (cfg_.input) {
    case InputKind::Counter: GenerateCounter(dst, set_.bits, set_.channels, first, set_.period); break;
    case InputKind::Silence: std::memset(dst, 0, bytesPerBuffer_); break;
    case InputKind::Sine: {
      const double w = 2.0 * 3.14159265358979323846 * cfg_.sineHz / double(set_.rate);
      for (uint32_t f = 0; f < set_.period; ++f) {
        const double x = std::sin(w * double((first + f) % (uint64_t(set_.rate) * 1000)));
        const uint32_t s = uint32_t(int32_t(x * 0.25 * 2147483647.0));
        for (uint32_t c = 0; c < set_.channels; ++c, dst += bps) PutSample(dst, set_.bits, s);
      }
      break;
    }
    case InputKind::Wav: {
      if (wav_.empty() || wavChannels_ == 0) {
        std::memset(dst, 0, bytesPerBuffer_);
        break;
      }
      const uint64_t wavFrames = wav_.size() / wavChannels_;
      for (uint32_t f = 0; f < set_.period; ++f) {
        const size_t base = size_t((first + f) % wavFrames) * wavChannels_;
        for (uint32_t c = 0; c < set_.channels; ++c, dst += bps)
          PutSample(dst, set_.bits, uint32_t(wav_[base + c % wavChannels_]));
      }
      break;
    }
  }
}

void AudioDevice::PlayHalf(int half, bool late) {
  const uint8_t* src = block_ + size_t(half) * bytesPerBuffer_;
  uint32_t start = 0;
  const AudioClass cls = ClassifyPeriod(src, set_.bits, set_.channels, set_.period, &start);
  ++stats_.played;
  if (late) ++stats_.late;
  switch (cls) {
    case AudioClass::Silence: ++stats_.silence; break;
    case AudioClass::Pass: ++stats_.pass; break;
    case AudioClass::Marked: ++stats_.marked; break;
    case AudioClass::Other: ++stats_.other; break;
  }
  const double sinceStartMs = double(Qpc() - t0_) * 1000.0 / double(freq_);
  if (cls == AudioClass::Marked && stats_.firstMarkedMs < 0) stats_.firstMarkedMs = sinceStartMs;
  // lastClass_ starts as SILENCE, so a device that plays silence first
  // records nothing until the program's audio arrives.
  if (cls != lastClass_) {
    transRing_[transCount_ % 32] = AudioTransition{stats_.played, lastClass_, cls};
    ++transCount_;
  }
  const bool counted = cls == AudioClass::Pass || cls == AudioClass::Marked;
  if (cfg_.input == InputKind::Counter && counted) {
    if (haveLastCounter_ && ((start - lastCounter_) & 0xFFFFFF) != (set_.period & 0xFFFFFF))
      ++stats_.discontinuities;
    // This half is played at device period j_; the input of period j_-1
    // began at frame (j_-2)*P, so straight pass-through gives 1.
    const uint32_t playingFrame = uint32_t(((j_ - 1) * set_.period) & 0xFFFFFF);
    stats_.latency = int(((playingFrame - start) & 0xFFFFFF) / set_.period);
  }
  if (cfg_.input == InputKind::Counter && cls == AudioClass::Marked) {
    // Behind what was played last (silence aside): old audio played again.
    if (haveCountedEnd_ && ((start - countedEnd_) & 0xFFFFFF) >= 0x800000)
      ++stats_.markedBackward;
    else if (haveLastMarked_ && start != nextMarked_)
      ++stats_.markedBreaks;
    haveLastMarked_ = true;
    nextMarked_ = (start + set_.period) & 0xFFFFFF;
  }
  if (cfg_.input == InputKind::Counter) FollowMarkedRun(cls, start);
  if (cfg_.input == InputKind::Counter && counted) {
    haveCountedEnd_ = true;
    countedEnd_ = (start + set_.period) & 0xFFFFFF;
  }
  haveLastCounter_ = counted;
  lastCounter_ = start;
  lastClass_ = cls;

  // Capture as 32-bit stereo, into the block reserved at start.
  if (captureUsed_ < capture_.size()) {
    const uint32_t bps = set_.bits / 8;
    for (uint32_t f = 0; f < set_.period && captureUsed_ + 8 <= capture_.size(); ++f) {
      for (uint32_t c = 0; c < 2; ++c) {
        uint32_t s = 0;
        if (set_.channels > 0) {
          const uint8_t* p = src + (size_t(f) * set_.channels + std::min(c, set_.channels - 1)) * bps;
          for (uint32_t b = 0; b < bps; ++b) s |= uint32_t(p[b]) << (8 * (4 - bps + b));
        }
        PutU32(&capture_[captureUsed_], s);
        captureUsed_ += 4;
      }
    }
  }
}

void AudioDevice::NoteDelivered(uint64_t firstFrame) {
  delivered_[deliveredCount_ % kDeliveredRing] = Delivered{firstFrame, false, false};
  ++deliveredCount_;
}

void AudioDevice::FollowMarkedRun(AudioClass cls, uint32_t start) {
  if (cls == AudioClass::Pass || cls == AudioClass::Other) {
    // The run ends; what it had not yet carried was drained, not lost.
    inMarkedRun_ = false;
    return;
  }
  if (cls != AudioClass::Marked) return;
  const uint64_t period = set_.period;
  // The newest delivery whose first counter matches: the 24-bit counter
  // repeats only every 2^24 frames, far beyond the ring.
  const uint64_t oldest = deliveredCount_ > kDeliveredRing ? deliveredCount_ - kDeliveredRing : 0;
  uint64_t d = deliveredCount_;
  while (d > oldest && (delivered_[(d - 1) % kDeliveredRing].firstFrame & 0xFFFFFF) != start) --d;
  if (d == oldest) {
    stats_.markedReordered += period;
    return;
  }
  Delivered& carried = delivered_[--d % kDeliveredRing];
  if (!inMarkedRun_) {
    inMarkedRun_ = true;
    ++stats_.markedRuns;
  } else if (d > runLast_) {
    for (uint64_t x = runLast_ + 1; x < d; ++x) {
      stats_.markedLost += period;
      if (x >= oldest) delivered_[x % kDeliveredRing].passedOver = true;
    }
  } else if (carried.carried) {
    stats_.markedDuplicated += period;
    return;
  } else {
    // Passed over before, so counted lost: it came, only late.
    stats_.markedReordered += period;
    if (carried.passedOver) stats_.markedLost -= period;
    carried.passedOver = false;
    carried.carried = true;
    return;
  }
  carried.carried = true;
  runLast_ = d;
}

void AudioDevice::RetireBuffers() {
  if (!block_) return;
  // The program may still hold the addresses: make any later touch fault
  // at once instead of reading stale audio.
  DWORD old = 0;
  VirtualProtect(block_, blockSize_, PAGE_NOACCESS, &old);
  retired_.emplace_back(block_, blockSize_);
  block_ = nullptr;
  blockSize_ = 0;
}

void AudioDevice::ReleaseBuffers() {
  for (auto& r : retired_) VirtualFree(r.first, 0, MEM_RELEASE);
  retired_.clear();
}

void AudioDevice::BeginCapture() {
  if (cfg_.captureDir.empty() || !capture_.empty() || cfg_.captureSeconds <= 0) return;
  capture_.assign(size_t(set_.rate) * size_t(cfg_.captureSeconds) * 8, 0);
  captureUsed_ = 0;
}

void AudioDevice::WriteCaptureFiles(bool final) {
  if (cfg_.captureDir.empty()) return;
  char name[64];
  std::snprintf(name, sizeof name, "SN%08X_asio%d", serial_, index_);
  const std::string base = cfg_.captureDir + "\\" + name;
  if (FILE* f = std::fopen((base + ".stats").c_str(), "w")) {
    const AudioStats& s = stats_;
    std::fprintf(f,
                 "played=%llu\npass=%llu\nmarked=%llu\nsilence=%llu\nother=%llu\n"
                 "discontinuities=%llu\nlate=%llu\nmissed=%llu\nfaults_injected=%llu\n"
                 "switches=%llu\nmax_gap_ms=%.3f\nfirst_marked_ms=%.3f\nlatency=%d\n"
                 "ioctl_violations=%llu\nmarked_breaks=%llu\nmarked_backward=%llu\n"
                 "marked_runs=%llu\nmarked_lost=%llu\nmarked_duplicated=%llu\nmarked_reordered=%llu\n",
                 (unsigned long long)s.played, (unsigned long long)s.pass, (unsigned long long)s.marked,
                 (unsigned long long)s.silence, (unsigned long long)s.other,
                 (unsigned long long)s.discontinuities, (unsigned long long)s.late,
                 (unsigned long long)s.missed, (unsigned long long)s.faultsInjected,
                 (unsigned long long)s.switches, s.maxGapMs, s.firstMarkedMs, s.latency,
                 (unsigned long long)s.ioctlViolations, (unsigned long long)s.markedBreaks,
                 (unsigned long long)s.markedBackward, (unsigned long long)s.markedRuns,
                 (unsigned long long)s.markedLost, (unsigned long long)s.markedDuplicated,
                 (unsigned long long)s.markedReordered);
    std::fclose(f);
  }
  // The raw capture is megabytes: rewriting it every second under the
  // device lock would hold up the switch that waits for the lock and make
  // black-box runs report late periods the program did not cause. Write it
  // once when it is complete, or as far as it got when the handle closes.
  const bool complete = !capture_.empty() && captureUsed_ >= capture_.size();
  if (captureUsed_ > 0 && !rawWritten_ && (final || complete)) {
    if (FILE* f = std::fopen((base + ".raw").c_str(), "wb")) {
      std::fwrite(capture_.data(), 1, captureUsed_, f);
      std::fclose(f);
    }
    rawWritten_ = complete;
  }
}

void AudioDevice::StatsWriterLoop(uint64_t session) {
  int ticks = 0;
  while (!statsStop_) {
    Sleep(100);
    if (++ticks % 10 != 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (session_ != session) break;
    WriteCaptureFiles(false);
  }
}

AudioStats AudioDevice::Stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  AudioStats s = stats_;
  const uint64_t nt = std::min<uint64_t>(transCount_, 32);
  for (uint64_t i = transCount_ - nt; i < transCount_; ++i) s.transitions.push_back(transRing_[i % 32]);
  const uint64_t nc = std::min<uint64_t>(codeCount_, 128);
  for (uint64_t i = codeCount_ - nc; i < codeCount_; ++i) s.codes.push_back(codeRing_[i % 128]);
  return s;
}

std::vector<std::pair<int64_t, int64_t>> AudioDevice::SwitchGaps() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<int64_t, int64_t>> gaps;
  const uint64_t n = std::min<uint64_t>(gapCount_, kGapRing);
  for (uint64_t i = gapCount_ - n; i < gapCount_; ++i) gaps.push_back(gapRing_[i % kGapRing]);
  return gaps;
}

void AudioDevice::ResetStats() {
  std::lock_guard<std::mutex> lock(mu_);
  stats_ = AudioStats();
  gapCount_ = 0;
  transCount_ = 0;
  codeCount_ = 0;
}

void AudioDevice::LoadWav() {
  FILE* f = std::fopen(cfg_.wavFile.c_str(), "rb");
  if (!f) return;
  std::vector<uint8_t> d;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) != 0 || std::memcmp(d.data() + 8, "WAVE", 4) != 0)
    return;
  uint32_t fmtTag = 0, chans = 0, bits = 0;
  size_t pos = 12;
  while (pos + 8 <= d.size()) {
    const uint32_t len = GetU32(&d[pos + 4]);
    const size_t body = pos + 8;
    if (body + len > d.size()) break;
    if (std::memcmp(&d[pos], "fmt ", 4) == 0 && len >= 16) {
      fmtTag = uint32_t(d[body]) | uint32_t(d[body + 1]) << 8;
      chans = uint32_t(d[body + 2]) | uint32_t(d[body + 3]) << 8;
      bits = uint32_t(d[body + 14]) | uint32_t(d[body + 15]) << 8;
      if (fmtTag == 0xFFFE && len >= 26) fmtTag = uint32_t(d[body + 24]) | uint32_t(d[body + 25]) << 8;
    } else if (std::memcmp(&d[pos], "data", 4) == 0 && chans > 0 && bits % 8 == 0 && bits >= 8 &&
               bits <= 32) {
      const uint32_t bps = bits / 8;
      const size_t frames = len / (bps * chans);
      wav_.resize(frames * chans);
      for (size_t i = 0; i < frames * chans; ++i) {
        const uint8_t* p = &d[body + i * bps];
        uint32_t s = 0;
        if (fmtTag == 3 && bits == 32) {
          float v;
          std::memcpy(&v, p, 4);
          v = std::max(-1.0f, std::min(1.0f, v));
          s = uint32_t(int32_t(double(v) * 2147483647.0));
        } else {
          for (uint32_t b = 0; b < bps; ++b) s |= uint32_t(p[b]) << (8 * (4 - bps + b));
          if (bits == 8) s ^= 0x80000000u;  // 8-bit PCM is unsigned
        }
        wav_[i] = int32_t(s);
      }
      wavChannels_ = chans;
      return;
    }
    pos = body + len + (len & 1);
  }
}

}  // namespace sim
