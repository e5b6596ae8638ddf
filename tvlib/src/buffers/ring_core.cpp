#include "ring_core.h"

namespace ringcore {

namespace {

void Abort(CCondition& event, std::atomic<bool>& aborted) {
  // The flag is set even when the mutex cannot be taken.
  // Aborted even without the mutex: the waiters' waits are bounded.
  CMutexLocker lock(*event.GetMutex());
  aborted.store(true);
  event.Broadcast();
}

}  // namespace

void AbortPush(CQueueEvents& events) { Abort(events.m_spaceEvent, events.m_pushAborted); }

void AbortPop(CQueueEvents& events) { Abort(events.m_dataEvent, events.m_popAborted); }

void SignalPushed(CQueueEvents& events, uint32_t readers) {
  WakeRegistered(&events.m_dataEvent, readers);
  CCriticalSectionLocker lock(events.m_eventLock);
  if (events.m_pushEvent != nullptr) BroadcastWithMutex(events.m_pushEvent);
}

}  // namespace ringcore
