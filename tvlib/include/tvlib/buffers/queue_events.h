// The wake-up state that CBuffer_Queue and CQueueBase<T> both keep, in the
// same place of their layout: their own data and space events with the two
// abort flags, and the three outside events under the event lock. The queues'
// shared ring core (private to their sources) is the one place that signals
// them.
//
// Threads: the abort flags are atomic; the outside event pointers are read
// and written only under m_eventLock; the own events are signalled under
// their own mutexes. The waiter counts belong to the owning queue's ring lock:
// a reader or writer about to wait registers under it, with its event's mutex
// held, and a push or pop wakes the waiters it saw registered there (see
// WakeRegistered), so that a queue nobody waits on never touches the kernel.
#pragma once

#include <atomic>
#include <cstdint>

#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

class CQueueEvents {
 public:
  CQueueEvents() : m_dataEvent(nullptr), m_spaceEvent(nullptr) { ::InitializeCriticalSection(&m_eventLock); }
  ~CQueueEvents() { ::DeleteCriticalSection(&m_eventLock); }
  CQueueEvents(const CQueueEvents&) = delete;
  CQueueEvents& operator=(const CQueueEvents&) = delete;

  // Stores the outside events under the event lock; null removes one.
  void Set(CCondition* pushEvent, CCondition* drainedEvent, CCondition* popEvent) {
    CCriticalSectionLocker lock(m_eventLock);
    m_pushEvent = pushEvent;
    m_drainedEvent = drainedEvent;
    m_popEvent = popEvent;
  }

  CCondition m_dataEvent;  // own mutex; woken by a push that saw waiting readers
  std::atomic<bool> m_pushAborted{false};
  CCondition m_spaceEvent;  // own mutex; woken by a pop that saw waiting writers
  std::atomic<bool> m_popAborted{false};
  uint32_t m_dataWaiters = 0;   // readers inside a data wait; the queue's ring lock
  uint32_t m_spaceWaiters = 0;  // writers inside a space wait; the queue's ring lock
  CRITICAL_SECTION m_eventLock;
  CCondition* m_pushEvent = nullptr;  // broadcast after every push
  // Broadcast after a pop that leaves the queue in its low state: empty
  // (CBuffer_Queue) or at most the low-water mark (CQueueBase).
  CCondition* m_drainedEvent = nullptr;
  CCondition* m_popEvent = nullptr;  // broadcast after every pop
};
