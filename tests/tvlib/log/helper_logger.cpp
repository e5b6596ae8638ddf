// Child process for the logger tests: behaviours that happen once per process.
//   static              : logs from a static initialiser; exits with a LogPrint
//                         that only the exit-time flush can write
//   daychange <log> <u> : opens <log> local (u=0) or UTC (u=1), logs two lines
//   fold-echo           : folds a level-5 message, echo to the redirected streams
//   silent              : echo off, no file, logs
//   bad-open <path>     : Open fails, then a line on the console
//   flush <log>         : 2000 numbered lines from 4 threads, then FlushAndStop
//   crash               : CrashWanted
//   last-error          : each log function, the first one first, must leave
//                         the caller's last error; exits with a bit per culprit
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/threads/thread.h"

namespace {

struct LogsDuringStaticInit {
  LogsDuringStaticInit() {
    // Only in the mode that checks it: any earlier local line would take the
    // process's one day-change line.
    if (GetLogger() != nullptr && strstr(::GetCommandLineA(), " static") != nullptr)
      LogError("static-init-line");
  }
} g_logsDuringStaticInit;

class Numbered : public CThread {
 public:
  explicit Numbered(int id) : m_id(id) {}
  ~Numbered() override { Stop(); }
  int ThreadEntry() override {
    CBuffer_Queue& queue = GetLogger()->GetQueue();
    for (int i = 0; i < 500; ++i) {
      // Posting never waits; keep below the queue's capacity so that nothing
      // is dropped.
      while (queue.GetCount() > 200) ::Sleep(1);
      LogLevel3("thread %d line %d", m_id, i);
    }
    return 0;
  }

 private:
  int m_id;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  CLogger* logger = GetLogger();
  if (logger == nullptr) return 99;

  if (mode == "static") {
    LogPrint("exit-flush-line\n");
    return 0;  // the global logger's destructor writes the queued line
  }
  if (mode == "daychange" && argc >= 4) {
    bool utc = atoi(argv[3]) != 0;
    if (!logger->Open(argv[2], true, false, utc)) return 101;
    LogLevel3("first after open");
    LogLevel3("second after open");
    logger->FlushAndStop();
    return 0;
  }
  if (mode == "fold-echo") {
    LogVerbosity = 9;
    for (int i = 0; i < 3; ++i) LogLevel5("repeated level five");
    LogLevel5("different level five");
    logger->FlushAndStop();
    return 0;
  }
  if (mode == "silent") {
    SetLogConsoleEcho(false);
    LogError("should go nowhere");
    LogPrint("nor this\n");
    logger->FlushAndStop();
    return 0;
  }
  if (mode == "bad-open" && argc >= 3) {
    if (logger->Open(argv[2], true, true, true)) return 102;
    LogLevel3("after failed open");
    logger->FlushAndStop();
    return 0;
  }
  if (mode == "flush" && argc >= 3) {
    SetLogConsoleEcho(false);
    if (!logger->Open(argv[2], false, false, false)) return 101;
    Numbered* threads[4];
    for (int i = 0; i < 4; ++i) {
      threads[i] = new Numbered(i);
      (void)threads[i]->Create(2);
    }
    for (Numbered* t : threads) t->Wait();
    logger->FlushAndStop();
    for (Numbered* t : threads) delete t;
    return 0;
  }
  if (mode == "crash") {
    CrashWanted();
  }
  if (mode == "last-error") {
    // The process's first log call comes first: it sets up the folding state.
    void (*const calls[])() = {
        [] { LogError("first line of the process"); },    [] { LogLevel3("a level three line"); },
        [] { LogSystemError(0, "a system error line"); }, [] { LogPrint("a printed line\n"); },
        [] { LogPrintError("a printed error line\n"); },
    };
    const DWORD mine = 0x20001234;
    int changed = 0;
    for (int i = 0; i < 5; ++i) {
      ::SetLastError(mine);
      calls[i]();
      if (::GetLastError() != mine) changed |= 1 << i;
    }
    logger->FlushAndStop();
    return changed;
  }
  return 100;
}
