// Baseline costs of the core library on this machine: a log call with the
// logger writing to a file (in a burst, one a period, and suppressed),
// record-queue throughput between two threads, the readers/writer lock's
// read side, and the byte queue's period pop.
//
// Usage: bench_core [iterations]. Prints figures only; nothing is asserted.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/buffers/queue_base.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

namespace {

using bench::Now;
const auto ToMicroseconds = bench::Microseconds;

void PrintStats(const char* what, std::vector<double>& samples) {
  const bench::Summary s = bench::Summarise(samples);
  printf("%-44s median %9.2f us   p99 %9.2f us   mean %9.2f us   (n=%zu)\n", what, s.median, s.p99, s.mean,
         samples.size());
}

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  DWORD n = ::GetTempPathA(MAX_PATH, dir);
  return std::string(dir, n) + name + std::to_string(::GetCurrentProcessId()) + ".log";
}

void BenchLogLevel3(int iterations) {
  std::string path = TempPath("bench_core_");
  CLogger* logger = GetLogger();
  SetLogConsoleEcho(false);
  logger->Open(path.c_str(), true, true, true);
  LogVerbosity = 3;
  std::vector<double> samples;
  samples.reserve(iterations);
  for (int i = 0; i < iterations; ++i) {
    int64_t t0 = Now();
    LogLevel3("bench line %d: the quick brown fox jumps over the lazy dog", i);
    int64_t t1 = Now();
    samples.push_back(ToMicroseconds(t1 - t0));
    if (i % 200 == 199) logger->WaitEmpty();  // keep the 64 KiB queue from overflowing
  }
  logger->WaitEmpty();
  PrintStats("LogLevel3 (to file, UTC stamp + tid)", samples);

  // One line a period (about 10 ms), as a channel in an error state logs:
  // the logger has written the one before when the next comes.
  samples.clear();
  for (int i = 0; i < iterations / 10; ++i) {
    ::Sleep(10);
    int64_t t0 = Now();
    LogLevel3("bench line %d: one a period", i);
    int64_t t1 = Now();
    samples.push_back(ToMicroseconds(t1 - t0));
  }
  logger->WaitEmpty();
  PrintStats("LogLevel3, one line each 10 ms", samples);

  // A suppressed level: one comparison.
  samples.clear();
  for (int i = 0; i < iterations; ++i) {
    int64_t t0 = Now();
    LogLevel5("bench line %d: suppressed", i);
    int64_t t1 = Now();
    samples.push_back(ToMicroseconds(t1 - t0));
  }
  PrintStats("LogLevel5 at verbosity 3 (suppressed)", samples);
  logger->CloseFile();
  ::DeleteFileA(path.c_str());
  SetLogConsoleEcho(true);
}

void BenchRecordQueue(int records) {
  CBuffer_Queue queue(65536, 65536);
  unsigned char record[64];
  for (int i = 0; i < 64; ++i) record[i] = static_cast<unsigned char>(i);
  int64_t t0 = Now();
  std::thread producer([&] {
    for (int i = 0; i < records; ++i) {
      if (!queue.PushBuffer(record, sizeof(record), false, true)) return;
    }
  });
  CBufferBase<unsigned char> out(1024);
  int popped = 0;
  while (popped < records && queue.PopBuffer(out, true)) ++popped;
  producer.join();
  int64_t t1 = Now();
  double seconds = ToMicroseconds(t1 - t0) / 1e6;
  printf("%-44s %9.0f records/s   %7.2f MB/s   %7.2f us/record   (n=%d)\n",
         "Record queue push+pop, 64 B, two threads", popped / seconds, popped * 64.0 / seconds / 1e6,
         seconds * 1e6 / popped, popped);
}

void BenchReadLock(int iterations) {
  CReadWriteLock lock;
  std::vector<double> samples;
  samples.reserve(iterations);
  for (int i = 0; i < iterations; ++i) {
    int64_t t0 = Now();
    (void)lock.Read_Start();
    lock.Read_End();
    int64_t t1 = Now();
    samples.push_back(ToMicroseconds(t1 - t0));
  }
  PrintStats("CReadWriteLock Read_Start + Read_End", samples);
}

void BenchBytePeriod(int iterations) {
  CQueueBase<unsigned char> queue(16384);
  CBufferBase<unsigned char> period(4096);
  for (uint32_t i = 0; i < 4096; ++i) period[i] = static_cast<unsigned char>(i);
  std::vector<double> samples;
  samples.reserve(iterations);
  for (int i = 0; i < iterations; ++i) {
    queue.PushBuffer(period, true, false);
    int64_t t0 = Now();
    queue.PopBuffer(period, false);
    int64_t t1 = Now();
    samples.push_back(ToMicroseconds(t1 - t0));
  }
  PrintStats("Byte queue pop of one 4096 B period", samples);
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::max(100, atoi(argv[1])) : 2000;
  printf("bench_core: performance counter %lld Hz, %d iterations\n",
         static_cast<long long>(bench::TicksPerSecond()), iterations);
  BenchLogLevel3(iterations);
  BenchRecordQueue(iterations * 10);
  BenchReadLock(iterations);
  BenchBytePeriod(iterations);
  fflush(stdout);
  return 0;
}
