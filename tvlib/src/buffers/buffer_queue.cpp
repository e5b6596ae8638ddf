#include "tvlib/buffers/buffer_queue.h"

#include <algorithm>
#include <cstring>

#include "tvlib/log/log.h"

CBuffer_Queue::CBuffer_Queue(uint32_t size, uint32_t maximum)
    : m_ring(size), m_maximum(maximum), m_dataEvent(nullptr), m_spaceEvent(nullptr) {
  ::InitializeCriticalSection(&m_eventLock);
  ::InitializeCriticalSection(&m_ringLock);
  ::InitializeCriticalSection(&m_pushLock);
}

CBuffer_Queue::CBuffer_Queue(unsigned char* memory, uint32_t size)
    : m_maximum(0), m_dataEvent(nullptr), m_spaceEvent(nullptr) {
  if (memory != nullptr && size != 0) {
    m_ring.Attach(memory, size, size);
    m_maximum = size;
  }
  ::InitializeCriticalSection(&m_eventLock);
  ::InitializeCriticalSection(&m_ringLock);
  ::InitializeCriticalSection(&m_pushLock);
}

CBuffer_Queue::~CBuffer_Queue() {
  ::DeleteCriticalSection(&m_pushLock);
  ::DeleteCriticalSection(&m_ringLock);
  ::DeleteCriticalSection(&m_eventLock);
}

int32_t CBuffer_Queue::FreeSpaceLocked() const {
  // Signed on purpose: a ring of size 0 has -1 free bytes, so that growing by
  // need - free yields exactly need free bytes there too.
  int64_t size = m_ring.GetLength();
  int64_t r = m_read;
  int64_t w = m_write;
  return static_cast<int32_t>(w < r ? r - w - 1 : size + r - w - 1);
}

uint32_t CBuffer_Queue::PutBytes(uint32_t pos, const unsigned char* bytes, uint32_t n) {
  uint32_t size = m_ring.GetLength();
  unsigned char* ring = m_ring.GetData();
  if (n == 0) return pos;
  if (pos >= size) pos = 0;
  uint32_t first = std::min(n, size - pos);
  std::memcpy(ring + pos, bytes, first);
  if (first == n) return pos + first;
  std::memcpy(ring, bytes + first, n - first);
  return n - first;
}

uint32_t CBuffer_Queue::GetBytes(uint32_t pos, unsigned char* bytes, uint32_t n) const {
  uint32_t size = m_ring.GetLength();
  const unsigned char* ring = m_ring.GetData();
  if (n == 0) return pos;
  if (pos >= size) pos = 0;
  uint32_t first = std::min(n, size - pos);
  std::memcpy(bytes, ring + pos, first);
  if (first == n) return pos + first;
  std::memcpy(bytes + first, ring, n - first);
  return n - first;
}

void CBuffer_Queue::WriteLocked(const unsigned char* bytes, uint32_t n) {
  unsigned char length[2] = {static_cast<unsigned char>(n & 0xFF), static_cast<unsigned char>(n >> 8)};
  uint32_t pos = PutBytes(m_write, length, 2);
  m_write = PutBytes(pos, bytes, n);
}

void CBuffer_Queue::SignalPushed() {
  SignalWithMutex(&m_dataEvent);
  ::EnterCriticalSection(&m_eventLock);
  if (m_pushEvent != nullptr) BroadcastWithMutex(m_pushEvent);
  ::LeaveCriticalSection(&m_eventLock);
}

void CBuffer_Queue::SignalPopped(bool becameEmpty) {
  SignalWithMutex(&m_spaceEvent);
  ::EnterCriticalSection(&m_eventLock);
  if (m_popEvent != nullptr) BroadcastWithMutex(m_popEvent);
  if (becameEmpty && m_becameEmptyEvent != nullptr) BroadcastWithMutex(m_becameEmptyEvent);
  ::LeaveCriticalSection(&m_eventLock);
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
  if (m_pushAborted.load()) return false;

  bool growing = grow;
  for (;;) {
    ::EnterCriticalSection(&m_ringLock);
    int64_t freeBytes = FreeSpaceLocked();
    if (freeBytes >= need) {
      WriteLocked(bytes, n);
      ::InterlockedIncrement(&m_count);
      ::LeaveCriticalSection(&m_ringLock);
      SignalPushed();
      return true;
    }
    if (growing) {
      int64_t size = m_ring.GetLength();
      if (m_maximum != 0 && need + size - freeBytes > static_cast<int64_t>(m_maximum)) {
        if (size < static_cast<int64_t>(m_maximum)) IncreaseSize(m_maximum - static_cast<uint32_t>(size));
        growing = false;
      } else {
        growing = IncreaseSize(static_cast<uint32_t>(need - freeBytes));
      }
      ::LeaveCriticalSection(&m_ringLock);
      continue;
    }
    ::LeaveCriticalSection(&m_ringLock);

    if (!wait) return false;
    CMutex* mutex = m_spaceEvent.GetMutex();
    if (mutex == nullptr || mutex->Lock() != 0) return false;
    ::EnterCriticalSection(&m_ringLock);
    freeBytes = FreeSpaceLocked();
    ::LeaveCriticalSection(&m_ringLock);
    if (freeBytes < need) {
      if (m_pushAborted.load() || m_spaceEvent.Wait() != 0) {
        mutex->Unlock();
        return false;
      }
    }
    if (m_pushAborted.load()) {
      mutex->Unlock();
      return false;
    }
    mutex->Unlock();
  }
}

bool CBuffer_Queue::PopBuffer(CBufferBase<unsigned char>& out, bool wait) {
  if (m_popAborted.load()) return false;
  for (;;) {
    if (m_count == 0) {
      if (!wait) return false;
      CMutex* mutex = m_dataEvent.GetMutex();
      for (;;) {
        if (mutex == nullptr || mutex->Lock() != 0) return false;
        if (m_count == 0 && !m_popAborted.load()) {
          if (m_dataEvent.Wait() != 0) {
            mutex->Unlock();
            return false;
          }
        }
        mutex->Unlock();
        if (m_popAborted.load()) return false;
        if (m_count > 0) break;
      }
    }

    ::EnterCriticalSection(&m_ringLock);
    // Another reader may have taken the record since the unlocked test.
    if (m_count == 0) {
      ::LeaveCriticalSection(&m_ringLock);
      if (!wait) return false;
      continue;
    }
    unsigned char length[2];
    uint32_t pos = GetBytes(m_read, length, 2);
    uint32_t n = static_cast<uint32_t>(length[0]) | (static_cast<uint32_t>(length[1]) << 8);
    if (!out.Resize(n)) {
      ::LeaveCriticalSection(&m_ringLock);
      return LogErrorFalse("CBuffer_Queue::PopBuffer failed alloc");
    }
    m_read = GetBytes(pos, out.GetData(), n);
    bool becameEmpty = ::InterlockedDecrement(&m_count) == 0;
    ::LeaveCriticalSection(&m_ringLock);
    SignalPopped(becameEmpty);
    return true;
  }
}

bool CBuffer_Queue::IncreaseSize(uint32_t k) {
  CCriticalSectionLocker ringLock(m_ringLock);
  if (k == 0) return true;
  const uint32_t oldEnd = m_ring.GetLength();
  const uint64_t newSize = static_cast<uint64_t>(oldEnd) + k;
  if (m_maximum != 0 && newSize > m_maximum)
    return LogErrorFalse("CBuffer_Queue::IncreaseSize would go over authorized");
  if (newSize > 0xFFFFFFFFu) {
    LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
    return LogErrorFalse("CBuffer_Queue::IncreaseSize failed alloc");
  }
  if (m_ring.GetAllocated() < newSize && !m_ring.Realloc(static_cast<uint32_t>(newSize)))
    return LogErrorFalse("CBuffer_Queue::IncreaseSize failed alloc");
  m_ring.SetLength(static_cast<uint32_t>(newSize));

  if (m_write < m_read) {
    // The content wraps: the head [0, write) must follow the old end so
    // that a reader at (or one byte before) the old end finds it there.
    unsigned char* ring = m_ring.GetData();
    uint32_t moved = std::min(m_write, k);
    std::memcpy(ring + oldEnd, ring, moved);
    if (m_write > k) {
      std::memmove(ring, ring + moved, m_write - moved);
      m_write -= moved;
    } else {
      m_write = oldEnd + moved;
    }
  }
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

void CBuffer_Queue::AbortPush() {
  CMutex* mutex = m_spaceEvent.GetMutex();
  bool locked = mutex != nullptr && mutex->Lock() == 0;
  m_pushAborted.store(true);
  m_spaceEvent.Broadcast();
  if (locked) mutex->Unlock();
}

void CBuffer_Queue::AbortPop() {
  CMutex* mutex = m_dataEvent.GetMutex();
  bool locked = mutex != nullptr && mutex->Lock() == 0;
  m_popAborted.store(true);
  m_dataEvent.Broadcast();
  if (locked) mutex->Unlock();
}

void CBuffer_Queue::Clear() {
  CCriticalSectionLocker ringLock(m_ringLock);
  m_read = m_write = 0;
  ::InterlockedExchange(&m_count, 0);
  m_reserved = 0;
  m_pushAborted.store(false);
  m_popAborted.store(false);
}

void CBuffer_Queue::SetEvents(CCondition* pushEvent, CCondition* becameEmptyEvent, CCondition* popEvent) {
  CCriticalSectionLocker eventLock(m_eventLock);
  m_pushEvent = pushEvent;
  m_becameEmptyEvent = becameEmptyEvent;
  m_popEvent = popEvent;
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
