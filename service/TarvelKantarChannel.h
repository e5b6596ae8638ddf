// CTarvelKantar_channel: a channel's embedder binding. The board thread drives
// the embedder's life through the CTarvelKantar operations; the channel
// thread feeds it; the SDK calls OnLog and OnAudio on its own threads.
//
// The pending count (input buffers handed to the embedder whose marked audio
// has not come back; informational, and negative when the SDK returns a
// buffer in pieces) changes by interlocked increments and decrements, once a
// period on each side, without a lock; m_mutex orders the RT-end read of it
// and the thread's second RT clear after a resynchronisation error. The error
// flag is an atomic that OnAudio sets and the channel thread takes. Callbacks
// never call into the SDK.
#pragma once

#include <atomic>
#include <cstdint>

#include "service/TarvelKantar.h"
#include "tvlib/threads/sync.h"

class CWatermark_Channel;

class CTarvelKantar_channel : public CTarvelKantar {
 public:
  explicit CTarvelKantar_channel(CWatermark_Channel* owner);
  // Destroys the SDK embedder while the mutex still exists: a late callback
  // would take it.
  ~CTarvelKantar_channel() override;

  // Logs the SDK's event under the owner's name and picks up the watermark ID
  // it announces. A null event is ignored; a null text logs as "".
  int OnLog(const OstrelLogEvent* event) override;
  // Pushes the marked audio into the owner's queue (the queue copies; no
  // wait, growth allowed). A failed push sets the error flag.
  int OnAudio(const void* buffer, uint32_t byteCount, void* context) override;

  int32_t ReadPendingCount();
  void AddPending();
  void ResetPendingCount();
  // The error flag, taken (read and cleared) by the channel thread.
  bool TakeErrorFlag() { return m_bErrorFlag.exchange(false); }
  void ClearErrorFlag() { m_bErrorFlag.store(false); }
  CMutex& GetMutex() { return m_mutex; }

 private:
  CMutex m_mutex;
  volatile LONG m_pendingCount;
  std::atomic<bool> m_bErrorFlag;
  CWatermark_Channel* m_pOwner;
};
