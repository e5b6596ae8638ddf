// The ring that CBuffer_Queue and CQueueBase<T> share: wrap copies, growth
// with the head move, the waits with their abort flags and the event tails.
// Private to the queues' sources.
//
// Each queue keeps its own state (the ring, its two offsets, its
// CQueueEvents, its locks), accounting (a record count, or a used count),
// limits, results and message texts, and hands the state in. This file is the
// one place where the queues signal their events.
//
// Locks: CopyIn, CopyOut and Grow run under the caller's ring lock.
// WaitUnlessAborted takes the event's mutex, then the ring lock, and tests
// `ready` and registers the waiter under both. The tails are called with no
// ring lock held: the event's mutex (only when a waiter was seen), released,
// then the event lock and, under it, an outside event's mutex.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "tvlib/buffers/buffer.h"
#include "tvlib/buffers/queue_events.h"
#include "tvlib/log/log.h"
#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

namespace ringcore {

// Copies n elements into the ring from offset `pos` on, continuing at the
// ring's start; all of them go to the start when `pos` is at the end. Returns
// the offset after the last one, which equals the size only when nothing
// wrapped.
template <typename T>
uint32_t CopyIn(CBufferBase<T>& ring, uint32_t pos, const T* items, uint32_t n) {
  const uint32_t size = ring.GetLength();
  if (n == 0) return pos;
  if (pos >= size) pos = 0;
  const uint32_t first = std::min(n, size - pos);
  std::memcpy(ring.GetData() + pos, items, static_cast<size_t>(first) * sizeof(T));
  if (first == n) return pos + first;
  std::memcpy(ring.GetData(), items + first, static_cast<size_t>(n - first) * sizeof(T));
  return n - first;
}

// The same, out of the ring.
template <typename T>
uint32_t CopyOut(const CBufferBase<T>& ring, uint32_t pos, T* items, uint32_t n) {
  const uint32_t size = ring.GetLength();
  if (n == 0) return pos;
  if (pos >= size) pos = 0;
  const uint32_t first = std::min(n, size - pos);
  std::memcpy(items, ring.GetData() + pos, static_cast<size_t>(first) * sizeof(T));
  if (first == n) return pos + first;
  std::memcpy(items + first, ring.GetData(), static_cast<size_t>(n - first) * sizeof(T));
  return n - first;
}

// The queue's own texts for a refused growth.
struct GrowTexts {
  const char* overMaximum;  // the new size would pass the maximum
  const char* allocFailed;  // the memory could not be had
};

// One growth step of a push that lacks room. `required` is the ring size that
// would hold the content with the new element(s): beyond the maximum the ring
// grows to the maximum, and no later step may grow again; otherwise it grows by
// exactly what is missing, and a later step may grow again if this one did.
template <typename GrowBy>
bool GrowStep(int64_t size, int64_t required, uint32_t maximum, GrowBy growBy) {
  if (maximum != 0 && required > static_cast<int64_t>(maximum)) {
    if (size < static_cast<int64_t>(maximum)) growBy(maximum - static_cast<uint32_t>(size));
    return false;
  }
  return growBy(static_cast<uint32_t>(required - size));
}

// Grows the ring by k > 0 elements, up to `maximum` (0: none), keeping the
// content in order. When the content wraps, or fills the ring so that both
// offsets meet, the head [0, write) must follow the old end, so that a reader
// standing at (or just before) the old end finds its elements there: what fits
// of it moves after the old end, the rest moves down to the start. On failure
// the ring and both offsets are left as they were.
template <typename T>
bool Grow(CBufferBase<T>& ring, uint32_t read, uint32_t& write, bool empty, uint32_t k, uint32_t maximum,
          const GrowTexts& texts) {
  const uint32_t oldEnd = ring.GetLength();
  const uint64_t newSize = static_cast<uint64_t>(oldEnd) + k;
  if (maximum != 0 && newSize > maximum) return LogErrorFalse("%s", texts.overMaximum);
  if (newSize > 0xFFFFFFFFu) {
    LogError("CBufferBase<T>::Realloc Failed to allocate buffer");
    return LogErrorFalse("%s", texts.allocFailed);
  }
  if (ring.GetAllocated() < newSize && !ring.Realloc(static_cast<uint32_t>(newSize)))
    return LogErrorFalse("%s", texts.allocFailed);
  ring.SetLength(static_cast<uint32_t>(newSize));

  if (!empty && read >= write) {
    T* data = ring.GetData();
    const uint32_t moved = std::min(write, k);
    std::memcpy(data + oldEnd, data, static_cast<size_t>(moved) * sizeof(T));
    if (write > k) {
      std::memmove(data, data + moved, static_cast<size_t>(write - moved) * sizeof(T));
      write -= moved;
    } else {
      write = oldEnd + moved;
    }
  }
  return true;
}

// One wait of a blocking push or pop: under the event's mutex and then the
// ring lock, tests `ready()` and, unless it holds or the abort flag is set,
// registers in `waiters` and waits on the event. True when the caller should
// look again; false when the queue was aborted, the mutex could not be taken
// or the wait failed. A push or pop reads `waiters` under the same ring lock,
// after its change: either this test sees the change, or the signaller sees
// the registration and signals, which needs the event's mutex that this
// thread keeps until its wait has begun; so no wake-up is lost.
template <typename Ready>
bool WaitUnlessAborted(CCondition& event, const std::atomic<bool>& aborted, CRITICAL_SECTION& ringLock,
                       uint32_t& waiters, Ready ready) {
  CMutexLocker lock(*event.GetMutex());
  if (!lock.Locked()) return false;
  {
    CCriticalSectionLocker ring(ringLock);
    if (ready()) return !aborted.load();
    if (aborted.load()) return false;
    ++waiters;
  }
  const bool woken = event.Wait() == CCondition::eCOND_NO_ERROR;
  {
    CCriticalSectionLocker ring(ringLock);
    --waiters;
  }
  return woken && !aborted.load();
}

// A writer's wait for room, until `ready()` holds (see above); `ready` runs
// under the ring lock.
template <typename Ready>
bool WaitForSpace(CQueueEvents& events, CRITICAL_SECTION& ringLock, Ready ready) {
  return WaitUnlessAborted(events.m_spaceEvent, events.m_pushAborted, ringLock, events.m_spaceWaiters, ready);
}

// A reader's wait for data: loops until `ready()` holds; false as above.
template <typename Ready>
bool WaitForData(CQueueEvents& events, CRITICAL_SECTION& ringLock, Ready ready) {
  for (;;) {
    {
      CCriticalSectionLocker ring(ringLock);
      if (ready()) return true;
    }
    if (!WaitUnlessAborted(events.m_dataEvent, events.m_popAborted, ringLock, events.m_dataWaiters, ready))
      return false;
  }
}

// Set the flag and wake every waiting writer (reader), under the event's mutex.
void AbortPush(CQueueEvents& events);
void AbortPop(CQueueEvents& events);

// After a push: the readers that the push saw registered (readers each wait
// for their own size, so more than one are all woken), then the outside push
// event.
void SignalPushed(CQueueEvents& events, uint32_t readers);

// The loop of a push, under the ring lock: when `room()` says the new content
// fits, `write()` stores it and does the queue's accounting, and the push is
// signalled once the ring lock is released; otherwise growth steps are taken
// while growing is allowed (`growStep()` tells whether another may follow);
// otherwise, unless `wait` is false, the writer waits for room and tries again.
template <typename Room, typename Write, typename GrowStepFn>
bool Push(CRITICAL_SECTION& ringLock, CQueueEvents& events, bool grow, bool wait, Room room, Write write,
          GrowStepFn growStep) {
  for (bool growing = grow;;) {
    ::EnterCriticalSection(&ringLock);
    if (room()) {
      write();
      const uint32_t readers = events.m_dataWaiters;
      ::LeaveCriticalSection(&ringLock);
      SignalPushed(events, readers);
      return true;
    }
    if (growing) {
      growing = growStep();
      ::LeaveCriticalSection(&ringLock);
      continue;
    }
    ::LeaveCriticalSection(&ringLock);
    if (!wait) return false;
    if (!WaitForSpace(events, ringLock, room)) return false;
  }
}

// After a pop: the writers that the pop saw registered, as for readers, then
// the outside pop event and, when `drained()` holds (evaluated under the
// event lock), the drained event.
template <typename Drained>
void SignalPopped(CQueueEvents& events, uint32_t writers, Drained drained) {
  WakeRegistered(&events.m_spaceEvent, writers);
  CCriticalSectionLocker lock(events.m_eventLock);
  if (events.m_popEvent != nullptr) BroadcastWithMutex(events.m_popEvent);
  if (events.m_drainedEvent != nullptr && drained()) BroadcastWithMutex(events.m_drainedEvent);
}

}  // namespace ringcore
