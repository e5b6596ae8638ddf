#include "tvlib/buffers/queue_base.h"

#include "ring_core.h"
#include "tvlib/log/log.h"

namespace {
const ringcore::GrowTexts kGrowTexts = {"CQueueBase<T>::IncreaseSize would go over authorized",
                                        "CQueueBase<T>::IncreaseSize failed alloc"};
}  // namespace

template <typename T>
CQueueBase<T>::CQueueBase(uint32_t size, uint32_t maximum) : m_ring(size), m_maximum(maximum) {
  ::InitializeCriticalSection(&m_ringLock);
  ::InitializeCriticalSection(&m_pushLock);
}

template <typename T>
CQueueBase<T>::~CQueueBase() {
  ::DeleteCriticalSection(&m_pushLock);
  ::DeleteCriticalSection(&m_ringLock);
}

template <typename T>
bool CQueueBase<T>::PushBuffer(const CBufferBase<T>& buffer, bool grow, bool wait) {
  const uint32_t n = buffer.GetLength();
  if (m_pushReservation[1] != 0) return LogErrorFalse("CQueueBase<T>::PushBuffer previous not validated");
  CCriticalSectionLocker pushLock(m_pushLock);
  const uint32_t maximum = m_maximum.load();
  if (maximum != 0 && n > maximum)
    return LogErrorFalse("CQueueBase<T>::PushBuffer of size %u exceed queue max size %u", n, maximum);
  if (n == 0) return LogErrorFalse("CQueueBase<T>::PushBuffer of size %u ?", 0u);

  return ringcore::Push(
      m_ringLock, m_events, grow, wait,
      [&] { return static_cast<int64_t>(m_ring.GetLength()) - m_used.load() >= n; },
      [&] {
        m_write = ringcore::CopyIn(m_ring, m_write, buffer.GetData(), n);
        m_used.store(m_used.load() + static_cast<int32_t>(n));
        m_pushReservation[0] = m_pushReservation[1] = 0;
      },
      [&] {
        return ringcore::GrowStep(m_ring.GetLength(), static_cast<int64_t>(m_used.load()) + n, maximum,
                                  [this](uint32_t k) { return IncreaseSize(k); });
      });
}

template <typename T>
bool CQueueBase<T>::PopBuffer(CBufferBase<T>& buffer, bool wait) {
  const uint32_t n = buffer.GetLength();
  const uint32_t maximum = m_maximum.load();
  if (maximum != 0 && n > maximum)
    return LogErrorFalse("CQueueBase<T>::PopBuffer of size %u exceed queue max size %u", n, maximum);
  if (n == 0) return LogErrorFalse("CQueueBase<T>::PopBuffer of size %u ?", 0u);

  for (;;) {
    auto enough = [&] { return static_cast<int64_t>(m_used.load()) >= n; };
    if (!enough()) {
      if (!wait) return false;
      if (!ringcore::WaitForData(m_events, m_ringLock, enough)) return false;
    }

    ::EnterCriticalSection(&m_ringLock);
    // Another reader may have taken the elements since the unlocked test.
    if (static_cast<int64_t>(m_used.load()) < n) {
      ::LeaveCriticalSection(&m_ringLock);
      if (!wait) return false;
      continue;
    }
    if (!buffer.Resize(n)) {
      ::LeaveCriticalSection(&m_ringLock);
      return LogErrorFalse("CQueueBase<T>::PopBuffer failed alloc");
    }
    m_read = ringcore::CopyOut(m_ring, m_read, buffer.GetData(), n);
    const int32_t left = m_used.load() - static_cast<int32_t>(n);
    m_used.store(left);
    m_popReservation[0] = m_popReservation[1] = 0;
    const uint32_t writers = m_events.m_spaceWaiters;
    ::LeaveCriticalSection(&m_ringLock);

    ringcore::SignalPopped(m_events, writers, [&] { return left <= m_lowWater; });
    return true;
  }
}

template <typename T>
bool CQueueBase<T>::IncreaseSize(uint32_t k) {
  CCriticalSectionLocker ringLock(m_ringLock);
  if (k == 0) return true;
  if (!ringcore::Grow(m_ring, m_read, m_write, m_used.load() == 0, k, m_maximum.load(), kGrowTexts))
    return false;
  m_popReservation[0] = m_popReservation[1] = 0;
  return true;
}

template <typename T>
void CQueueBase<T>::AbortPush() {
  ringcore::AbortPush(m_events);
}

template <typename T>
void CQueueBase<T>::AbortPop() {
  ringcore::AbortPop(m_events);
}

template <typename T>
void CQueueBase<T>::Clear() {
  CCriticalSectionLocker ringLock(m_ringLock);
  m_read = m_write = 0;
  m_used.store(0);
  m_popReservation[0] = m_popReservation[1] = 0;
  m_pushReservation[0] = m_pushReservation[1] = 0;
  m_events.m_pushAborted.store(false);
  m_events.m_popAborted.store(false);
}

template <typename T>
void CQueueBase<T>::SetEvents(CCondition* pushEvent, CCondition* lowWaterEvent, CCondition* popEvent) {
  m_events.Set(pushEvent, lowWaterEvent, popEvent);
}

template <typename T>
void CQueueBase<T>::SetLowWaterMark(int32_t mark) {
  CCriticalSectionLocker eventLock(m_events.m_eventLock);
  m_lowWater = mark;
}

template <typename T>
bool CQueueBase<T>::SetMaxAlloc(uint32_t maximum) {
  CCriticalSectionLocker ringLock(m_ringLock);
  if (maximum != 0 && maximum < m_ring.GetLength()) return false;
  m_maximum.store(maximum);
  return true;
}

template <typename T>
int32_t CQueueBase<T>::GetUsed() {
  CCriticalSectionLocker ringLock(m_ringLock);
  return m_used.load();
}

template <typename T>
uint32_t CQueueBase<T>::GetSize() {
  CCriticalSectionLocker ringLock(m_ringLock);
  return m_ring.GetLength();
}

template <typename T>
uint32_t CQueueBase<T>::GetFreeSpace() {
  CCriticalSectionLocker ringLock(m_ringLock);
  return m_ring.GetLength() - static_cast<uint32_t>(m_used.load());
}

template class CQueueBase<unsigned char>;
