// The audio device of one channel of one board: the board's "asio<n>" file,
// driven by control codes. Once prepared, the driver maps four buffers (output
// halves 0 and 1, input halves 0 and 1); once started, every SwitchBuffer
// blocks until the next period boundary and hands over the next half.
//
// Threads and locking: the object has no lock of its own. The owning channel
// guards it with its audio readers/writer lock: the board thread opens,
// prepares, starts, closes and deletes it under the write lock; the channel
// thread calls SwitchBuffer, IsStarted and the buffer getters under the read
// lock (and blocks in SwitchBuffer for up to a period while holding it). The
// state is an atomic because the status writer reads it without the lock.
// A switch that never returns holds the read lock until CancelCall, from the
// thread that restarts the channel, ends it.
//
// Ownership: the buffers belong to the driver; the object only keeps their
// addresses, which are invalid after Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tvlib/win.h"

class CBaseDriver;

class CAudioAsio {
 public:
  enum State : int32_t {
    kClosed = 0,
    kOpen = 1,
    kPrepared = 2,
    kStarted = 3,
    kSwitchError = 4,
  };

  // Control codes of the boards' driver (device type 0x8444).
  static constexpr DWORD kIoctlPrepare = 0x84448404;
  static constexpr DWORD kIoctlCheck = 0x84444418;
  static constexpr DWORD kIoctlGetBuffers = 0x8444441C;
  static constexpr DWORD kIoctlStart = 0x8444840F;
  static constexpr DWORD kIoctlSwitch = 0x84448417;
  static constexpr DWORD kIoctlStop = 0x84448413;
  static constexpr DWORD kIoctlUnprepare = 0x8444840B;

  // `name` is the channel's display name, the prefix of every log line.
  explicit CAudioAsio(const std::string& name);
  virtual ~CAudioAsio();
  CAudioAsio(const CAudioAsio&) = delete;
  CAudioAsio& operator=(const CAudioAsio&) = delete;

  // "<device path of the board's open driver>\asio<number>"; the path part is
  // empty when the driver is not open.
  virtual std::string MakeDeviceName(CBaseDriver* driver, int number);
  // Closes first when open; exclusive read/write open of the device file.
  virtual bool Open(const std::string& path);
  // format 1 = 32-bit samples, 0 = 16-bit. A different period from the device
  // is adopted and written back to `period`; other differences fail.
  virtual bool Prepare(int rate, int channels, int format, uint32_t& period);
  // Unchecked: a device that is not prepared answers with its own error.
  virtual bool Start();
  virtual bool GetPeriod(uint32_t& period);
  virtual bool IsStarted();
  // Real-time path: one blocking control call, no allocation.
  virtual bool SwitchBuffer();
  // Steps down from any state: stop, unprepare, close the handle.
  virtual bool Close();

  // Channel thread, between switches: a started device whose switches no
  // longer wait for the period is treated as after a failed switch (state 4)
  // until it is closed.
  void SetSwitchError();
  // Any thread: cancels the control call that `thread` is blocked in, which
  // then fails with ERROR_OPERATION_ABORTED and takes that call's failure
  // road. False when the thread has no call pending. A driver that does not
  // honour cancellation leaves the call blocked and the result means nothing.
  static bool CancelCall(HANDLE thread);

  // The current half's buffers; null unless started.
  void* GetOutputBuffer();
  void* GetInputBuffer();

  int32_t GetState() const { return m_state.load(); }
  int GetRate() const { return m_rate; }
  int GetChannels() const { return m_channels; }
  uint32_t GetBytesPerBuffer() const { return m_bytesPerBuffer; }
  uint32_t GetBytesTotal() const { return m_bytesTotal; }
  const std::string& GetName() const { return m_name; }

 private:
  // One control call on the device handle, synchronous.
  bool Control(DWORD code, void* in, DWORD inLen, void* out, DWORD outLen);

  std::string m_name;
  std::atomic<int32_t> m_state;
  int m_rate;
  int m_channels;
  HANDLE m_handle;
  bool m_fineTimer;  // holds timeBeginPeriod(1), undone exactly once in Close
  uint32_t m_period;
  uint32_t m_bytesPerBuffer;
  uint32_t m_bytesTotal;
  int m_currentHalf;
  void* m_buffers[4];  // out half 0, out half 1, in half 0, in half 1
};
