#include "drivers/AudioAsio.h"

#include <mmsystem.h>

#include <cstring>

#include "drivers/DeviceIo.h"
#include "drivers/DriverOS.h"
#include "tvlib/log/log.h"

namespace {

constexpr DWORD kErrorPartialCopy = 299;

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

CAudioAsio::CAudioAsio(const std::string& name)
    : m_name(name),
      m_state(kClosed),
      m_rate(48000),
      m_channels(2),
      m_handle(INVALID_HANDLE_VALUE),
      m_fineTimer(false),
      m_period(0),
      m_bytesPerBuffer(0),
      m_bytesTotal(0),
      m_currentHalf(1),
      m_buffers{nullptr, nullptr, nullptr, nullptr} {}

CAudioAsio::~CAudioAsio() {
  if (m_state.load() > kClosed) Close();
}

std::string CAudioAsio::MakeDeviceName(CBaseDriver* driver, int number) {
  CDriverOS* os = dynamic_cast<CDriverOS*>(driver);
  const std::string path = os ? os->GetDevicePath() : std::string();
  return FormatString("%s%sasio%d", path.c_str(), "\\", number);
}

bool CAudioAsio::Control(DWORD code, void* in, DWORD inLen, void* out, DWORD outLen) {
  // Without an overlapped structure Windows requires the returned-bytes
  // pointer, even for codes that return nothing.
  DWORD returned = 0;
  return devio::DeviceIoControl(m_handle, code, in, inLen, out, outLen, &returned) != FALSE;
}

bool CAudioAsio::Open(const std::string& path) {
  if (m_state.load() > kClosed) Close();
  m_handle = devio::CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  if (m_handle == INVALID_HANDLE_VALUE) {
    m_state.exchange(kClosed);
    LogError("%s: Failed to open asio device:%s\n", m_name.c_str(), path.c_str());
    return false;
  }
  m_state.exchange(kOpen);
  return true;
}

bool CAudioAsio::Prepare(int rate, int channels, int format, uint32_t& period) {
  // Whatever happened before, a failure from here on leaves the device open.
  m_state.exchange(kOpen);

  const uint32_t bits = format == 1 ? 32u : format == 0 ? 16u : 0u;
  uint8_t request[16];
  PutU32(request, bits);
  PutU32(request + 4, uint32_t(channels));
  PutU32(request + 8, uint32_t(rate));
  PutU32(request + 12, period);
  if (!Control(kIoctlPrepare, request, sizeof request, nullptr, 0)) {
    LogSystemError(0, "%s: asio prepare ioctl error", m_name.c_str());
    return false;
  }

  uint8_t set[16] = {};
  if (!Control(kIoctlCheck, nullptr, 0, set, sizeof set)) {
    LogSystemError(0, "%s: asio check ioctl error", m_name.c_str());
    return false;
  }
  const uint32_t setBits = GetU32(set);
  const uint32_t setChannels = GetU32(set + 4);
  const uint32_t setRate = GetU32(set + 8);
  const uint32_t setPeriod = GetU32(set + 12);
  if (setBits != bits)
    return LogErrorFalse("%s: asio prepare unsupported bits per mono sample %d (%d set)", m_name.c_str(),
                         int(bits), int(setBits));
  if (setChannels != uint32_t(channels))
    return LogErrorFalse("%s: asio prepare unsupported number of channels %d (%d set)", m_name.c_str(),
                         channels, int(setChannels));
  if (setRate != uint32_t(rate))
    return LogErrorFalse("%s: asio prepare unsupported sampling rate %d (%d set)", m_name.c_str(), rate,
                         int(setRate));
  period = setPeriod;

  m_rate = int(setRate);
  m_channels = int(setChannels);
  m_period = setPeriod;
  m_bytesPerBuffer = (setBits / 8) * setChannels * setPeriod;
  m_bytesTotal = 4 * m_bytesPerBuffer;

  uint8_t addresses[16] = {};
  bool gotBuffers = Control(kIoctlGetBuffers, nullptr, 0, addresses, sizeof addresses);
  void* buffers[4];
  for (int i = 0; i < 4; ++i) {
    // The record holds 32-bit addresses. Zero-extend them: the driver maps
    // the buffers below 4 GiB, possibly at or above 2 GiB, where a sign
    // extension would point into kernel space.
    const uint32_t a = GetU32(addresses + 4 * i);
    buffers[i] = reinterpret_cast<void*>(static_cast<uintptr_t>(a));
    // A null address would crash the zero-fill below; it is a broken answer.
    if (a == 0 && gotBuffers) {
      gotBuffers = false;
      ::SetLastError(ERROR_INVALID_DATA);
    }
  }
  if (!gotBuffers) {
    LogSystemError(0, "%s: asio getbuffers failed", m_name.c_str());
    return false;
  }
  for (int i = 0; i < 4; ++i) m_buffers[i] = buffers[i];
  std::memset(m_buffers[0], 0, m_bytesPerBuffer);
  std::memset(m_buffers[1], 0, m_bytesPerBuffer);
  m_currentHalf = 1;

  if (!m_fineTimer) {
    if (timeBeginPeriod(1) != TIMERR_NOERROR)
      LogError("%s: Windows fine scheduler set failed", m_name.c_str());
    else
      m_fineTimer = true;
  }
  m_state.exchange(kPrepared);
  return true;
}

bool CAudioAsio::Start() {
  if (!Control(kIoctlStart, nullptr, 0, nullptr, 0)) {
    LogSystemError(0, "%s: asio start ioctl error", m_name.c_str());
    return false;
  }
  m_state.exchange(kStarted);
  return true;
}

bool CAudioAsio::GetPeriod(uint32_t& period) {
  period = m_period;
  return true;
}

bool CAudioAsio::IsStarted() { return m_state.load() == kStarted; }

bool CAudioAsio::SwitchBuffer() {
  if (m_state.load() != kStarted) return false;
  DWORD returned = 0;
  if (!devio::DeviceIoControl(m_handle, kIoctlSwitch, nullptr, 0, nullptr, 0, &returned)) {
    const DWORD err = ::GetLastError();
    if (err != kErrorPartialCopy) {
      m_state.exchange(kSwitchError);
      LogSystemError(err, "%s: asio switchbuf ioctl error", m_name.c_str());
      return false;
    }
    LogError("%s: asio had low level hardware error, recovered", m_name.c_str());
  }
  m_currentHalf = (m_currentHalf + 1) % 2;
  return true;
}

void CAudioAsio::SetSwitchError() {
  int32_t started = kStarted;
  m_state.compare_exchange_strong(started, kSwitchError);
}

bool CAudioAsio::CancelCall(HANDLE thread) { return devio::CancelSynchronousIo(thread) != FALSE; }

bool CAudioAsio::Close() {
  if (m_state.load() > kPrepared) {
    if (!Control(kIoctlStop, nullptr, 0, nullptr, 0))
      LogSystemError(0, "%s: asio stop ioctl error", m_name.c_str());
    m_state.exchange(kPrepared);
  }
  if (m_fineTimer) {
    if (timeEndPeriod(1) != TIMERR_NOERROR)
      LogError("%s: Windows fine scheduler reset failed", m_name.c_str());
    else
      m_fineTimer = false;
  }
  if (m_state.load() > kOpen) {
    m_period = 0;
    m_bytesPerBuffer = 0;
    m_bytesTotal = 0;
    for (void*& b : m_buffers) b = nullptr;
    if (!Control(kIoctlUnprepare, nullptr, 0, nullptr, 0))
      LogSystemError(0, "%s: asio unprepare ioctl error", m_name.c_str());
    m_state.exchange(kOpen);
  }
  if (m_state.load() > kClosed) {
    devio::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_state.exchange(kClosed);
  }
  return true;
}

void* CAudioAsio::GetOutputBuffer() {
  if (m_state.load() != kStarted) return nullptr;
  return m_buffers[m_currentHalf];
}

void* CAudioAsio::GetInputBuffer() {
  if (m_state.load() != kStarted) return nullptr;
  return m_buffers[m_currentHalf + 2];
}
