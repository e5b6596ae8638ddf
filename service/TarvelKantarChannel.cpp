#include "service/TarvelKantarChannel.h"

#include <cstdio>

#include "service/WatermarkChannel.h"
#include "tvlib/buffers/buffer.h"
#include "tvlib/log/log.h"

CTarvelKantar_channel::CTarvelKantar_channel(CWatermark_Channel* owner)
    : m_pendingCount(0), m_bErrorFlag(false), m_pOwner(owner) {}

CTarvelKantar_channel::~CTarvelKantar_channel() { Destroy(); }

int CTarvelKantar_channel::OnLog(const OstrelLogEvent* event) {
  if (event == nullptr) return 0;
  const char* name = m_pOwner->GetDisplayName().c_str();
  const char* text = event->text ? event->text : "";
  switch (event->level) {
    case 0: LogLevel3("%s: KANTAR_SNAP: %s (%d)", name, text, event->code); break;
    case 1: LogLevel2("%s: KANTAR_SNAP: %s (%d)", name, text, event->code); break;
    case 2: LogError("%s: KANTAR_SNAP: %s (%d)", name, text, event->code); break;
    default: LogLevel5("%s: KANTAR_SNAP: %s (%d)", name, text, event->code); break;
  }
  unsigned long id = 0;
  if (event->text != nullptr && std::sscanf(event->text, "Start watermarking using ID %lu", &id) == 1) {
    LogLevel3("%s: WATERMARKING: ID is %lu", name, id);
    m_pOwner->SetWatermarkId(static_cast<uint32_t>(id));
  }
  return 0;
}

int CTarvelKantar_channel::OnAudio(const void* buffer, uint32_t byteCount, void* /*context*/) {
  // Attached, not copied: the queue copies before this returns. A null
  // buffer attaches as an empty one, which the queue refuses.
  const CBufferBase<unsigned char> audio(static_cast<unsigned char*>(const_cast<void*>(buffer)), byteCount);
  if (!m_pOwner->GetQueue().PushBuffer(audio, true, false)) {
    LogError("%s: Watermarking: Failed to push audio buffer to queue", m_pOwner->GetDisplayName().c_str());
    m_bErrorFlag.store(true);
  }
  ::InterlockedDecrement(&m_pendingCount);
  return 0;
}

int32_t CTarvelKantar_channel::ReadPendingCount() {
  // The count is interlocked: read even without the mutex, which only orders
  // it after a callback's decrement.
  CMutexLocker lock(m_mutex);
  return ::InterlockedCompareExchange(&m_pendingCount, 0, 0);
}

void CTarvelKantar_channel::AddPending() { ::InterlockedIncrement(&m_pendingCount); }

void CTarvelKantar_channel::ResetPendingCount() { ::InterlockedExchange(&m_pendingCount, 0); }
