// CBuffer_Queue: thread-safe FIFO of variable-length byte records in one
// contiguous ring.
//
// Record layout in the ring: 16-bit length (low byte first), then the bytes;
// both may wrap around the ring's end. One byte of the ring always stays free,
// so equal positions mean "empty". Records are at most 65535 bytes.
//
// Threads: any number of writers and readers. Writers are serialised by the
// push lock (a waiting writer keeps holding it); the ring lock guards the
// positions and the ring's bytes and is never held while waiting; the record
// count changes atomically so that wait loops read it without the ring lock.
// Lock order, as the code takes them (the ring is shared with CQueueBase):
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
// Outside events (not owned, may be null) are set by their users and guarded by
// the event lock: the push event is broadcast after every push, the pop event
// after every pop, the became-empty event after a pop that leaves no record
// (before the popping caller has consumed it). Each is broadcast with its own
// mutex held, so a thread testing its predicate under that mutex cannot miss it.
//
// Abort flags stay set until Clear: after AbortPop every pop returns false at
// once, after AbortPush every push does.
#pragma once

#include <atomic>
#include <cstdint>

#include "tvlib/buffers/buffer.h"
#include "tvlib/buffers/queue_events.h"
#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

// winbase.h keeps a 16-bit era GetFreeSpace() macro that would rename the member.
#undef GetFreeSpace

class CBuffer_Queue {
 public:
  // Longest record the 16-bit length field can describe.
  static const uint32_t kMaxRecord = 65535;

  // Owned ring of size bytes (size 0 when none could be allocated); maximum
  // 0 means the ring may grow without limit.
  CBuffer_Queue(uint32_t size, uint32_t maximum);
  // Ring attached to caller memory (never grows; maximum = size). With no
  // memory or size 0 the ring is empty and owned.
  CBuffer_Queue(unsigned char* memory, uint32_t size);
  ~CBuffer_Queue();

  CBuffer_Queue(const CBuffer_Queue&) = delete;
  CBuffer_Queue& operator=(const CBuffer_Queue&) = delete;

  // Appends one record (all of record's bytes). grow: the ring may grow up
  // to the maximum; wait: block until a reader makes room (or AbortPush).
  bool PushBuffer(const CBufferBase<unsigned char>& record, bool grow, bool wait);
  bool PushBuffer(const unsigned char* bytes, uint32_t n, bool grow, bool wait);

  // Takes the oldest record; out's length becomes the record's length (out
  // grows when needed; a too-small attached out is replaced by owned memory).
  // wait: block until a record arrives (or AbortPop).
  bool PopBuffer(CBufferBase<unsigned char>& out, bool wait);

  void AbortPush();
  void AbortPop();

  // Empties the queue and clears both abort flags.
  void Clear();

  // Stores the three outside events under the event lock; null removes one.
  void SetEvents(CCondition* pushEvent, CCondition* becameEmptyEvent, CCondition* popEvent);
  // The event lock (recursive), for callers that swap events as one step.
  void LockEvents() { ::EnterCriticalSection(&m_events.m_eventLock); }
  void UnlockEvents() { ::LeaveCriticalSection(&m_events.m_eventLock); }

  // Free bytes now (one byte always stays free; -1 for a size-0 ring).
  int32_t GetFreeSpace();
  // -1 without a maximum, else maximum - used - 1.
  int32_t GetFreeSpaceToMax();

  // Sets the authorised size. Below the current size: only an empty queue
  // shrinks (memory stays allocated); with records queued the maximum becomes
  // the current size and false is returned. 0 removes the maximum.
  bool SetMaxAlloc(uint32_t maximum);

  // Grows the ring by k bytes keeping the records in order. Takes the ring
  // lock (recursive, so PushBuffer calls it with the lock held).
  bool IncreaseSize(uint32_t k);

  // Records in the ring (atomic read; a hint unless the caller excludes
  // pushers and poppers).
  LONG GetCount() const { return m_count; }
  uint32_t GetSize();
  uint32_t GetMaxAlloc();
  bool IsPushAborted() const { return m_events.m_pushAborted.load(); }
  bool IsPopAborted() const { return m_events.m_popAborted.load(); }

 private:
  int32_t FreeSpaceLocked() const;
  void WriteLocked(const unsigned char* bytes, uint32_t n);

  CBufferBase<unsigned char> m_ring;  // length = ring size in use; guarded by m_ringLock
  uint32_t m_read = 0;                // offset of the oldest record; may equal the size
  uint32_t m_write = 0;               // offset for the next record; may equal the size
  uint32_t m_reserved = 0;            // no reader
  uint32_t m_maximum = 0;             // 0 = none; guarded by m_ringLock
  volatile LONG m_count = 0;          // records in the ring, Interlocked
  // Data and space events, abort flags, event lock, and the push, became-empty
  // (its drained event) and pop events.
  CQueueEvents m_events;
  CRITICAL_SECTION m_ringLock;
  CRITICAL_SECTION m_pushLock;
};
