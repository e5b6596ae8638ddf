#include "tvlib/buffers/buffer_queue.h"

#include "ring_core.h"
#include "tvlib/log/log.h"

namespace {
const ringcore::GrowTexts kGrowTexts = {"CBuffer_Queue::IncreaseSize would go over authorized",
                                        "CBuffer_Queue::IncreaseSize failed alloc"};
}  // namespace

CBuffer_Queue::CBuffer_Queue(uint32_t size, uint32_t maximum) : m_ring(size), m_maximum(maximum) {
  ::InitializeCriticalSection(&m_ringLock);
  ::InitializeCriticalSection(&m_pushLock);
}

CBuffer_Queue::CBuffer_Queue(unsigned char* memory, uint32_t size) : m_maximum(0) {
  if (memory != nullptr && size != 0) {
    m_ring.Attach(memory, size, size);
    m_maximum = size;
  }
  ::InitializeCriticalSection(&m_ringLock);
  ::InitializeCriticalSection(&m_pushLock);
}

CBuffer_Queue::~CBuffer_Queue() {
  ::DeleteCriticalSection(&m_pushLock);
  ::DeleteCriticalSection(&m_ringLock);
}

int32_t CBuffer_Queue::FreeSpaceLocked() const {
  // Signed on purpose: a ring of size 0 has -1 free bytes, so that growing by
  // need - free yields exactly need free bytes there too.
  int64_t size = m_ring.GetLength();
  int64_t r = m_read;
  int64_t w = m_write;
  return static_cast<int32_t>(w < r ? r - w - 1 : size + r - w - 1);
}

void CBuffer_Queue::WriteLocked(const unsigned char* bytes, uint32_t n) {
  unsigned char length[2] = {static_cast<unsigned char>(n & 0xFF), static_cast<unsigned char>(n >> 8)};
  uint32_t pos = ringcore::CopyIn(m_ring, m_write, length, 2);
  m_write = ringcore::CopyIn(m_ring, pos, bytes, n);
}

bool CBuffer_Queue::PushBuffer(const CBufferBase<unsigned char>& record, bool grow, bool wait) {
  return PushBuffer(record.GetData(), record.GetLength(), grow, wait);
}

bool CBuffer_Queue::PushBuffer(const unsigned char* bytes, uint32_t n, bool grow, bool wait) {
  // The stored length has 16 bits: a longer record would make later pops
  // read its bytes as lengths.
  if (n > kMaxRecord) return LogErrorFalse("CBuffer_Queue::PushBuffer record too long (%u)", n);
  CCriticalSectionLocker pushLock(m_pushLock);
  const int64_t need = static_cast<int64_t>(n) + 2;
  {
    CCriticalSectionLocker ringLock(m_ringLock);
    // A ring of `maximum` bytes holds at most maximum - 1 of them; a record
    // that can never fit must not wait for room.
    if (m_maximum != 0 && need > static_cast<int64_t>(m_maximum) - 1) return false;
  }
  if (m_events.m_pushAborted.load()) return false;

  return ringcore::Push(
      m_ringLock, m_events, grow, wait, [&] { return FreeSpaceLocked() >= need; },
      [&] {
        WriteLocked(bytes, n);
        ::InterlockedIncrement(&m_count);
      },
      [&] {
        const int64_t size = m_ring.GetLength();
        return ringcore::GrowStep(size, need + size - FreeSpaceLocked(), m_maximum,
                                  [this](uint32_t k) { return IncreaseSize(k); });
      });
}

bool CBuffer_Queue::PopBuffer(CBufferBase<unsigned char>& out, bool wait) {
  if (m_events.m_popAborted.load()) return false;
  for (;;) {
    if (m_count == 0) {
      if (!wait) return false;
      if (!ringcore::WaitForData(m_events, m_ringLock, [&] { return m_count != 0; })) return false;
    }

    ::EnterCriticalSection(&m_ringLock);
    // Another reader may have taken the record since the unlocked test.
    if (m_count == 0) {
      ::LeaveCriticalSection(&m_ringLock);
      if (!wait) return false;
      continue;
    }
    unsigned char length[2];
    uint32_t pos = ringcore::CopyOut(m_ring, m_read, length, 2);
    uint32_t n = static_cast<uint32_t>(length[0]) | (static_cast<uint32_t>(length[1]) << 8);
    if (!out.Resize(n)) {
      ::LeaveCriticalSection(&m_ringLock);
      return LogErrorFalse("CBuffer_Queue::PopBuffer failed alloc");
    }
    m_read = ringcore::CopyOut(m_ring, pos, out.GetData(), n);
    bool becameEmpty = ::InterlockedDecrement(&m_count) == 0;
    const uint32_t writers = m_events.m_spaceWaiters;
    ::LeaveCriticalSection(&m_ringLock);
    ringcore::SignalPopped(m_events, writers, [becameEmpty] { return becameEmpty; });
    return true;
  }
}

bool CBuffer_Queue::IncreaseSize(uint32_t k) {
  CCriticalSectionLocker ringLock(m_ringLock);
  if (k == 0) return true;
  // One byte always stays free, so equal offsets mean an empty ring.
  if (!ringcore::Grow(m_ring, m_read, m_write, m_read == m_write, k, m_maximum, kGrowTexts)) return false;
  m_reserved = 0;
  return true;
}

bool CBuffer_Queue::SetMaxAlloc(uint32_t maximum) {
  CCriticalSectionLocker ringLock(m_ringLock);
  // 0 means "no maximum"; shrinking the ring to nothing would be useless.
  if (maximum == 0 || maximum >= m_ring.GetLength()) {
    m_maximum = maximum;
    return true;
  }
  if (m_count != 0) {
    m_maximum = m_ring.GetLength();
    return LogErrorFalse("CBuffer_Queue::SetMaxAlloc failed not empty");
  }
  if (m_ring.GetAllocated() < maximum && !m_ring.Realloc(maximum))
    return LogErrorFalse("CBuffer_Queue::SetMaxAlloc failed realloc");
  m_ring.SetLength(maximum);
  m_read = m_write = 0;
  m_maximum = maximum;
  return true;
}

void CBuffer_Queue::AbortPush() { ringcore::AbortPush(m_events); }

void CBuffer_Queue::AbortPop() { ringcore::AbortPop(m_events); }

void CBuffer_Queue::Clear() {
  CCriticalSectionLocker ringLock(m_ringLock);
  m_read = m_write = 0;
  ::InterlockedExchange(&m_count, 0);
  m_reserved = 0;
  m_events.m_pushAborted.store(false);
  m_events.m_popAborted.store(false);
}

void CBuffer_Queue::SetEvents(CCondition* pushEvent, CCondition* becameEmptyEvent, CCondition* popEvent) {
  m_events.Set(pushEvent, becameEmptyEvent, popEvent);
}

int32_t CBuffer_Queue::GetFreeSpace() {
  CCriticalSectionLocker ringLock(m_ringLock);
  return FreeSpaceLocked();
}

int32_t CBuffer_Queue::GetFreeSpaceToMax() {
  CCriticalSectionLocker ringLock(m_ringLock);
  if (m_maximum == 0) return -1;
  int64_t used = static_cast<int64_t>(m_ring.GetLength()) - 1 - FreeSpaceLocked();
  return static_cast<int32_t>(static_cast<int64_t>(m_maximum) - used - 1);
}

uint32_t CBuffer_Queue::GetSize() {
  CCriticalSectionLocker ringLock(m_ringLock);
  return m_ring.GetLength();
}

uint32_t CBuffer_Queue::GetMaxAlloc() {
  CCriticalSectionLocker ringLock(m_ringLock);
  return m_maximum;
}
