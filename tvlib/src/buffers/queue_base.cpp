#include "tvlib/buffers/queue_base.h"

#include <algorithm>
#include <cstring>

#include "tvlib/log/log.h"

template <typename T>
CQueueBase<T>::CQueueBase(uint32_t size, uint32_t maximum)
    : m_ring(size), m_maximum(maximum), m_dataEvent(nullptr), m_spaceEvent(nullptr) {
  ::InitializeCriticalSection(&m_eventLock);
  ::InitializeCriticalSection(&m_ringLock);
  ::InitializeCriticalSection(&m_pushLock);
}

template <typename T>
CQueueBase<T>::~CQueueBase() {
  ::DeleteCriticalSection(&m_pushLock);
  ::DeleteCriticalSection(&m_ringLock);
  ::DeleteCriticalSection(&m_eventLock);
}

template <typename T>
uint32_t CQueueBase<T>::PutElements(uint32_t pos, const T* items, uint32_t n) {
  uint32_t size = m_ring.GetLength();
  T* ring = m_ring.GetData();
  if (pos >= size) pos = 0;
  uint32_t first = std::min(n, size - pos);
  std::memcpy(ring + pos, items, static_cast<size_t>(first) * sizeof(T));
  if (first == n) return pos + first;
  std::memcpy(ring, items + first, static_cast<size_t>(n - first) * sizeof(T));
  return n - first;
}

template <typename T>
uint32_t CQueueBase<T>::GetElements(uint32_t pos, T* items, uint32_t n) const {
  uint32_t size = m_ring.GetLength();
  const T* ring = m_ring.GetData();
  if (pos >= size) pos = 0;
  uint32_t first = std::min(n, size - pos);
  std::memcpy(items, ring + pos, static_cast<size_t>(first) * sizeof(T));
  if (first == n) return pos + first;
  std::memcpy(items + first, ring, static_cast<size_t>(n - first) * sizeof(T));
  return n - first;
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

  bool growing = grow;
  for (;;) {
    ::EnterCriticalSection(&m_ringLock);
    const int64_t size = m_ring.GetLength();
    const int64_t used = m_used.load();
    if (size - used >= n) {
      m_write = PutElements(m_write, buffer.GetData(), n);
      m_used.store(static_cast<int32_t>(used + n));
      m_pushReservation[0] = m_pushReservation[1] = 0;
      ::LeaveCriticalSection(&m_ringLock);
      SignalWithMutex(&m_dataEvent);
      ::EnterCriticalSection(&m_eventLock);
      if (m_pushEvent != nullptr) BroadcastWithMutex(m_pushEvent);
      ::LeaveCriticalSection(&m_eventLock);
      return true;
    }
    if (growing) {
      if (maximum != 0 && used + n > static_cast<int64_t>(maximum)) {
        if (size < static_cast<int64_t>(maximum)) IncreaseSize(maximum - static_cast<uint32_t>(size));
        growing = false;
      } else {
        growing = IncreaseSize(static_cast<uint32_t>(used + n - size));
      }
      ::LeaveCriticalSection(&m_ringLock);
      continue;
    }
    ::LeaveCriticalSection(&m_ringLock);

    if (!wait) return false;
    CMutex* mutex = m_spaceEvent.GetMutex();
    if (mutex == nullptr || mutex->Lock() != 0) return false;
    ::EnterCriticalSection(&m_ringLock);
    const int64_t freeNow = static_cast<int64_t>(m_ring.GetLength()) - m_used.load();
    ::LeaveCriticalSection(&m_ringLock);
    if (freeNow < n && (m_pushAborted.load() || m_spaceEvent.Wait() != 0)) {
      mutex->Unlock();
      return false;
    }
    if (m_pushAborted.load()) {
      mutex->Unlock();
      return false;
    }
    mutex->Unlock();
  }
}

template <typename T>
bool CQueueBase<T>::PopBuffer(CBufferBase<T>& buffer, bool wait) {
  const uint32_t n = buffer.GetLength();
  const uint32_t maximum = m_maximum.load();
  if (maximum != 0 && n > maximum)
    return LogErrorFalse("CQueueBase<T>::PopBuffer of size %u exceed queue max size %u", n, maximum);
  if (n == 0) return LogErrorFalse("CQueueBase<T>::PopBuffer of size %u ?", 0u);

  for (;;) {
    if (static_cast<int64_t>(m_used.load()) < n) {
      if (!wait) return false;
      CMutex* mutex = m_dataEvent.GetMutex();
      while (static_cast<int64_t>(m_used.load()) < n) {
        if (mutex == nullptr || mutex->Lock() != 0) return false;
        if (static_cast<int64_t>(m_used.load()) < n && (m_popAborted.load() || m_dataEvent.Wait() != 0)) {
          mutex->Unlock();
          return false;
        }
        if (m_popAborted.load()) {
          mutex->Unlock();
          return false;
        }
        mutex->Unlock();
      }
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
    m_read = GetElements(m_read, buffer.GetData(), n);
    const int32_t left = m_used.load() - static_cast<int32_t>(n);
    m_used.store(left);
    m_popReservation[0] = m_popReservation[1] = 0;
    ::LeaveCriticalSection(&m_ringLock);

    SignalWithMutex(&m_spaceEvent);
    ::EnterCriticalSection(&m_eventLock);
    if (m_popEvent != nullptr) BroadcastWithMutex(m_popEvent);
    if (m_lowWaterEvent != nullptr && left <= m_lowWater) BroadcastWithMutex(m_lowWaterEvent);
    ::LeaveCriticalSection(&m_eventLock);
    return true;
  }
}

template <typename T>
bool CQueueBase<T>::IncreaseSize(uint32_t k) {
  CCriticalSectionLocker ringLock(m_ringLock);
  if (k == 0) return true;
  const uint32_t oldEnd = m_ring.GetLength();
  const uint64_t newSize = static_cast<uint64_t>(oldEnd) + k;
  const uint32_t maximum = m_maximum.load();
  if (maximum != 0 && newSize > maximum)
    return LogErrorFalse("CQueueBase<T>::IncreaseSize would go over authorized");
  if (newSize > 0xFFFFFFFFu) {
    LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
    return LogErrorFalse("CQueueBase<T>::IncreaseSize failed alloc");
  }
  if (m_ring.GetAllocated() < newSize && !m_ring.Realloc(static_cast<uint32_t>(newSize)))
    return LogErrorFalse("CQueueBase<T>::IncreaseSize failed alloc");
  m_ring.SetLength(static_cast<uint32_t>(newSize));

  // With the content wrapping, or filling the ring so that both positions
  // coincide, the head [0, write) must follow the old end.
  if (m_used.load() != 0 && m_read >= m_write) {
    T* ring = m_ring.GetData();
    uint32_t moved = std::min(m_write, k);
    std::memcpy(ring + oldEnd, ring, static_cast<size_t>(moved) * sizeof(T));
    if (m_write > k) {
      std::memmove(ring, ring + moved, static_cast<size_t>(m_write - moved) * sizeof(T));
      m_write -= moved;
    } else {
      m_write = oldEnd + moved;
    }
  }
  m_popReservation[0] = m_popReservation[1] = 0;
  return true;
}

template <typename T>
void CQueueBase<T>::AbortPush() {
  CMutex* mutex = m_spaceEvent.GetMutex();
  bool locked = mutex != nullptr && mutex->Lock() == 0;
  m_pushAborted.store(true);
  m_spaceEvent.Broadcast();
  if (locked) mutex->Unlock();
}

template <typename T>
void CQueueBase<T>::AbortPop() {
  CMutex* mutex = m_dataEvent.GetMutex();
  bool locked = mutex != nullptr && mutex->Lock() == 0;
  m_popAborted.store(true);
  m_dataEvent.Broadcast();
  if (locked) mutex->Unlock();
}

template <typename T>
void CQueueBase<T>::Clear() {
  CCriticalSectionLocker ringLock(m_ringLock);
  m_read = m_write = 0;
  m_used.store(0);
  m_popReservation[0] = m_popReservation[1] = 0;
  m_pushReservation[0] = m_pushReservation[1] = 0;
  m_pushAborted.store(false);
  m_popAborted.store(false);
}

template <typename T>
void CQueueBase<T>::SetEvents(CCondition* pushEvent, CCondition* lowWaterEvent, CCondition* popEvent) {
  CCriticalSectionLocker eventLock(m_eventLock);
  m_pushEvent = pushEvent;
  m_lowWaterEvent = lowWaterEvent;
  m_popEvent = popEvent;
}

template <typename T>
void CQueueBase<T>::SetLowWaterMark(int32_t mark) {
  CCriticalSectionLocker eventLock(m_eventLock);
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
