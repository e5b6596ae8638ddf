// Both queues wake a waiting reader or writer only when it has registered, so
// a lost wake-up would leave a thread asleep with work queued. Here writers
// and readers that both block share small rings under a watchdog: everything
// pushed is popped once, in each writer's order, and nobody sleeps through a
// change.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "support/fn_thread.h"
#include "test_common.h"
#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/buffers/queue_base.h"

struct QueueTestAccess {
  template <typename T>
  static uint32_t WaitingReaders(CQueueBase<T>& q) {
    CCriticalSectionLocker lock(q.m_ringLock);
    return q.m_events.m_dataWaiters;
  }
};

namespace {

typedef CBufferBase<unsigned char> Bytes_t;
typedef CQueueBase<unsigned char> ByteQueue;

// Runs every body on its own thread. When they do not all end within a
// generous limit, `release` frees whoever still waits and the run fails.
bool RunAll(const std::vector<std::function<void()>>& bodies, const std::function<void()>& release) {
  std::atomic<int> done{0};
  std::vector<std::unique_ptr<FnThread>> threads;
  for (const auto& body : bodies)
    threads.emplace_back(new FnThread([&done, body](FnThread&) {
      body();
      ++done;
      return 0;
    }));
  for (auto& t : threads)
    if (t->Create(2) != 0) return false;
  const bool allDone = WaitUntil([&] { return done.load() == static_cast<int>(bodies.size()); }, 120000, 5);
  if (!allDone) release();
  threads.clear();
  return allDone;
}

// One writer and one reader on a ring much smaller than what passes through
// it, with random sizes on both sides: the byte stream arrives whole. Neither
// side asks for more than half the ring, so one of them can always go on.
void RunBytePair(uint32_t ringSize, uint32_t seed) {
  ByteQueue q(ringSize, ringSize);
  const uint32_t most = ringSize / 2;
  const uint64_t total = 60000;
  std::atomic<bool> writerOk{true}, readerOk{true};
  std::atomic<uint64_t> read{0};
  std::vector<std::function<void()>> bodies;
  bodies.push_back([&] {
    std::mt19937 rng(seed);
    Bytes_t chunk(ringSize);
    unsigned char next = 0;
    for (uint64_t sent = 0; sent < total;) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1 + rng() % most, total - sent));
      chunk.SetLength(n);
      for (uint32_t i = 0; i < n; ++i) chunk[i] = next++;
      if (!q.PushBuffer(chunk, false, true)) {
        writerOk = false;
        return;
      }
      sent += n;
      if (rng() % 16 == 0) ::Sleep(rng() % 2);
    }
  });
  bodies.push_back([&] {
    std::mt19937 rng(seed + 1);
    Bytes_t period(ringSize);
    unsigned char expected = 0;
    while (read.load() < total) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1 + rng() % most, total - read.load()));
      period.SetLength(n);
      if (!q.PopBuffer(period, true)) {
        readerOk = false;
        return;
      }
      for (uint32_t i = 0; i < n; ++i)
        if (period[i] != expected++) {
          readerOk = false;
          return;
        }
      read += n;
      if (rng() % 16 == 0) ::Sleep(rng() % 2);
    }
  });
  ASSERT_TRUE(RunAll(bodies,
                     [&] {
                       q.AbortPush();
                       q.AbortPop();
                     }))
      << "a side slept through a change; " << read.load() << " of " << total << " bytes read";
  EXPECT_TRUE(writerOk.load());
  EXPECT_TRUE(readerOk.load()) << "at byte " << read.load();
  EXPECT_EQ(0, q.GetUsed());
}

TEST(ByteQueueWakeups, WriterAndReaderThatBothWaitPassEveryByteInOrder) {
  RunBytePair(64, 21);
  RunBytePair(7, 22);
}

// Readers that wait for different amounts: a push that only one of them can
// use must not wake only the other. A reader of 5, then a reader of 2, on an
// empty ring; 3 bytes let the reader of 2 through, 4 more the reader of 5.
TEST(ByteQueueWakeups, EveryWaitingReaderLooksAtEachPush) {
  ByteQueue q(16);
  std::atomic<int> through{0};
  auto reader = [&](uint32_t n) {
    return [&, n] {
      Bytes_t b(n);
      if (q.PopBuffer(b, true)) ++through;
    };
  };
  std::vector<std::unique_ptr<FnThread>> threads;
  for (uint32_t n : {5u, 2u}) {
    const uint32_t before = QueueTestAccess::WaitingReaders(q);
    threads.emplace_back(new FnThread([body = reader(n)](FnThread&) {
      body();
      return 0;
    }));
    ASSERT_EQ(0, threads.back()->Create(2));
    ASSERT_TRUE(WaitUntil([&] { return QueueTestAccess::WaitingReaders(q) == before + 1; }));
  }
  Bytes_t three(3), four(4);
  ASSERT_TRUE(q.PushBuffer(three, true, false));
  const bool two = WaitUntil([&] { return through.load() == 1; });
  ASSERT_TRUE(q.PushBuffer(four, true, false));
  const bool both = WaitUntil([&] { return through.load() == 2; });
  q.AbortPop();  // frees a reader left asleep
  threads.clear();
  EXPECT_TRUE(two) << "the reader of 2 slept with 3 bytes queued";
  EXPECT_TRUE(both);
  EXPECT_EQ(0, q.GetUsed());
}

// A unit that tells who wrote it and when: writer, then its sequence number.
struct Unit {
  uint32_t writer;
  uint32_t seq;
};

// What several readers took of several writers' units, shared by the readers.
class Tally {
 public:
  Tally(uint32_t writers, uint32_t perWriter)
      : m_writers(writers), m_perWriter(perWriter), m_seen(writers * perWriter) {}

  // One reader's view: the last sequence number it took of each writer.
  std::vector<int64_t> NewReader() const { return std::vector<int64_t>(m_writers, -1); }
  // Counts a unit and moves the reader's view on; false for a unit no writer
  // wrote. *all tells whether it was the last one.
  bool Take(const Unit& u, std::vector<int64_t>& last, bool* all) {
    if (u.writer >= m_writers || u.seq >= m_perWriter) return false;
    if (static_cast<int64_t>(u.seq) <= last[u.writer]) ++disorder;
    last[u.writer] = u.seq;
    ++m_seen[u.writer * m_perWriter + u.seq];
    *all = ++taken == m_writers * m_perWriter;
    return true;
  }
  bool Done() const { return taken.load() >= m_writers * m_perWriter; }

  void Check() const {
    EXPECT_EQ(0u, failures.load());
    EXPECT_EQ(0u, disorder.load());
    EXPECT_EQ(m_writers * m_perWriter, taken.load());
    for (size_t i = 0; i < m_seen.size(); ++i) ASSERT_EQ(1, m_seen[i].load()) << "unit " << i;
  }

  std::atomic<uint32_t> taken{0}, disorder{0}, failures{0};

 private:
  const uint32_t m_writers, m_perWriter;
  std::vector<std::atomic<int>> m_seen;
};

// Runs the writers and readers; whoever still waits at the end is freed by
// the aborts, which also free the readers once everything has been taken.
template <typename Queue>
void RunWritersAndReaders(Queue& q, Tally& tally, uint32_t writers, uint32_t readers,
                          const std::function<void(uint32_t)>& writer,
                          const std::function<void(std::vector<int64_t>&)>& reader) {
  std::vector<std::function<void()>> bodies;
  for (uint32_t w = 0; w < writers; ++w) bodies.push_back([&, w] { writer(w); });
  for (uint32_t r = 0; r < readers; ++r)
    bodies.push_back([&] {
      std::vector<int64_t> last = tally.NewReader();
      reader(last);
    });
  ASSERT_TRUE(RunAll(bodies,
                     [&] {
                       q.AbortPush();
                       q.AbortPop();
                     }))
      << "a thread slept through a change; " << tally.taken.load() << " taken";
  tally.Check();
}

// Several writers and readers of fixed-size units on a ring of a few units:
// every unit is read once, and each reader sees each writer's units in order.
TEST(ByteQueueWakeups, ManyWritersAndReadersConserveEveryUnit) {
  const uint32_t kWriters = 3, kReaders = 3, kPerWriter = 3000;
  ByteQueue q(3 * sizeof(Unit), 3 * sizeof(Unit));
  Tally tally(kWriters, kPerWriter);
  RunWritersAndReaders(
      q, tally, kWriters, kReaders,
      [&](uint32_t w) {
        Bytes_t b(sizeof(Unit));
        for (uint32_t i = 0; i < kPerWriter; ++i) {
          Unit u = {w, i};
          std::memcpy(b.GetData(), &u, sizeof u);
          if (!q.PushBuffer(b, false, true)) {
            ++tally.failures;
            return;
          }
        }
      },
      [&](std::vector<int64_t>& last) {
        Bytes_t b(sizeof(Unit));
        while (!tally.Done()) {
          if (!q.PopBuffer(b, true)) return;
          Unit u;
          std::memcpy(&u, b.GetData(), sizeof u);
          bool all = false;
          if (!tally.Take(u, last, &all)) {
            ++tally.failures;
            return;
          }
          if (all) q.AbortPop();
        }
      });
}

// The same for records of random length on the record queue, their bytes
// after the unit checked too.
TEST(RecordQueueWakeups, ManyWritersAndReadersConserveEveryRecord) {
  const uint32_t kWriters = 3, kReaders = 3, kPerWriter = 2000;
  CBuffer_Queue q(96, 96);
  Tally tally(kWriters, kPerWriter);
  RunWritersAndReaders(
      q, tally, kWriters, kReaders,
      [&](uint32_t w) {
        std::mt19937 rng(40 + w);
        for (uint32_t i = 0; i < kPerWriter; ++i) {
          std::vector<unsigned char> r = Pattern(sizeof(Unit) + rng() % 40, w * kPerWriter + i);
          Unit u = {w, i};
          std::memcpy(r.data(), &u, sizeof u);
          if (!q.PushBuffer(r.data(), static_cast<uint32_t>(r.size()), false, true)) {
            ++tally.failures;
            return;
          }
        }
      },
      [&](std::vector<int64_t>& last) {
        Bytes_t out;
        while (!tally.Done()) {
          if (!q.PopBuffer(out, true)) return;
          Unit u;
          bool all = false;
          if (out.GetLength() < sizeof u) {
            ++tally.failures;
            return;
          }
          std::memcpy(&u, out.GetData(), sizeof u);
          if (!tally.Take(u, last, &all)) {
            ++tally.failures;
            return;
          }
          std::vector<unsigned char> want = Pattern(out.GetLength(), u.writer * kPerWriter + u.seq);
          if (std::memcmp(want.data() + sizeof u, out.GetData() + sizeof u, out.GetLength() - sizeof u) != 0)
            ++tally.failures;
          if (all) q.AbortPop();
        }
      });
}

}  // namespace
