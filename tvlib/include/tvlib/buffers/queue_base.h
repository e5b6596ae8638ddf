// CQueueBase<T>: thread-safe FIFO ring of elements without record framing.
//
// A push appends all of a buffer's elements or none; a pop removes exactly as
// many elements as the caller's buffer is long, or none. The used count is
// stored, so the ring may be filled completely (free = size - used).
//
// Threads: any number of writers and readers. Writers are serialised by the
// push lock; positions, used count and elements change only under the ring
// lock; events are signalled under their own mutexes after the ring lock is
// released. Lock order, as the code takes them (the ring is shared with
// CBuffer_Queue):
//   push lock -> space event's mutex -> ring lock   (a writer about to wait
//                                                    tests the room under both)
//   push lock -> ring lock                           (write, growth)
//   data event's mutex -> ring lock                   (a reader about to wait)
// A thread about to wait registers under the ring lock; a push (pop) signals
// the data (space) event only when it saw a registered reader (writer) there,
// so an unwatched queue makes no kernel call, and broadcasts it when it saw
// more than one, since each waits for its own amount. The ring lock is released
// before the tails: the data or space event's mutex, released again, then the
// event lock -> an outside event's mutex. Never take the push lock or an
// event's mutex while holding the ring lock.
//
// Real-time use: a pop without wait takes the ring lock once, copies in at
// most two pieces and allocates nothing once the caller's buffer has its size.
//
// Instantiated for unsigned char (the channel's marked audio).
#pragma once

#include <atomic>
#include <cstdint>

#include "tvlib/buffers/buffer.h"
#include "tvlib/buffers/queue_events.h"
#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

// winbase.h keeps a 16-bit era GetFreeSpace() macro that would rename the member.
#undef GetFreeSpace

template <typename T>
class CQueueBase {
 public:
  // Owned ring of size elements (size 0 when the allocation fails); maximum
  // 0 means no limit.
  explicit CQueueBase(uint32_t size, uint32_t maximum = 0);
  ~CQueueBase();

  CQueueBase(const CQueueBase&) = delete;
  CQueueBase& operator=(const CQueueBase&) = delete;

  // Appends all of buffer's elements. grow: enlarge the ring as needed (up to
  // the maximum); wait: block until readers make room (or AbortPush).
  bool PushBuffer(const CBufferBase<T>& buffer, bool grow, bool wait);
  // Removes exactly buffer.GetLength() elements into buffer, or nothing.
  // wait: block until that many are queued (or AbortPop).
  bool PopBuffer(CBufferBase<T>& buffer, bool wait);
  // Grows the ring by k elements keeping the content in order (ring lock).
  bool IncreaseSize(uint32_t k);

  void AbortPush();
  void AbortPop();
  // Empties the ring and clears both abort flags.
  void Clear();
  // Outside events (not owned, may be null): push after every push, pop after
  // every pop, low-water after a pop that leaves at most the mark.
  void SetEvents(CCondition* pushEvent, CCondition* lowWaterEvent, CCondition* popEvent);
  void SetLowWaterMark(int32_t mark);
  // Authorised size; 0 removes it. Does not shrink the ring: below the
  // current size it is refused (false).
  bool SetMaxAlloc(uint32_t maximum);

  // Elements queued, read under the ring lock.
  int32_t GetUsed();
  // Elements queued, without the lock (for wait loops and hints).
  int32_t PeekUsed() const { return m_used.load(); }
  uint32_t GetSize();
  uint32_t GetFreeSpace();

 private:
  friend struct QueueTestAccess;  // tests read the waiter counts
  CBufferBase<T> m_ring;          // length = ring size; guarded by m_ringLock
  // Positions are kept as offsets so that they survive reallocation.
  uint32_t m_read = 0;                     // oldest element; may equal the ring's end
  uint32_t m_write = 0;                    // next free element; may equal the ring's end
  std::atomic<uint32_t> m_maximum{0};      // 0 = none; changed under m_ringLock
  std::atomic<int32_t> m_used{0};          // written under m_ringLock; read freely by wait loops
  uint32_t m_popReservation[2] = {0, 0};   // cleared by pops and growth
  uint32_t m_pushReservation[2] = {0, 0};  // cleared by pushes; pushes refused while [1] != 0
  CBufferBase<T> m_spare;                  // owned, unused
  int32_t m_lowWater = 0;                  // guarded by m_events.m_eventLock
  // Data and space events, abort flags, event lock, and the push, low-water
  // (its drained event) and pop events.
  CQueueEvents m_events;
  CRITICAL_SECTION m_ringLock;
  CRITICAL_SECTION m_pushLock;
};

extern template class CQueueBase<unsigned char>;
