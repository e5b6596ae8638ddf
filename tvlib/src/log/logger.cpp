#include "tvlib/log/logger.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "log_settings.h"
#include "tvlib/files/files.h"
#include "tvlib/time/clock.h"

namespace {

const uint32_t kQueueBytes = 65536;
// Stream flag of a record that carries no text: the writer only notes that it
// got this far (WaitWritten).
const unsigned char kSyncRecordFlag = 2;
// Stream flag of a record that carries the number of records dropped before it.
const unsigned char kDroppedRecordFlag = 3;
const size_t kDroppedRecordSize = 1 + sizeof(uint32_t);
// How long the writer looks for more records, and how often, before it waits.
const ULONGLONG kLingerMs = 250;
const DWORD kLingerPollMs = 2;

CLogger* volatile g_logger = nullptr;

// Built before every other static object that may log (priority 101 runs first
// among the program's initialisers) and therefore destroyed after them. The
// pointer is cleared before the logger goes, so late callers post nothing.
struct GlobalLogger {
  CLogger logger;
  GlobalLogger() : logger(200, 500) { g_logger = &logger; }
  ~GlobalLogger() { g_logger = nullptr; }
};

GlobalLogger g_globalLogger __attribute__((init_priority(101)));

}  // namespace

CLogger* GetLogger() { return g_logger; }

bool LogQueuePost(const char* text, int streamFlag) {
  logsettings::LastErrorKeeper keep;
  if (text == nullptr || text[0] == '\0') return true;
  CLogger* logger = g_logger;
  if (logger == nullptr) return false;

  size_t length = strlen(text);
  // [flag][text]; the queue's 16-bit length cannot describe more.
  if (length + 1 > CBuffer_Queue::kMaxRecord) return logger->Post(nullptr, 0);  // counted as dropped
  unsigned char small[1024];
  unsigned char* record =
      length + 1 <= sizeof(small) ? small : static_cast<unsigned char*>(malloc(length + 1));
  if (record == nullptr) return logger->Post(nullptr, 0);  // counted as dropped
  record[0] = static_cast<unsigned char>(streamFlag);
  memcpy(record + 1, text, length);
  bool pushed = logger->Post(record, length + 1);
  if (record != small) free(record);
  return pushed;
}

bool CLogger::Post(const void* record, size_t length) {
  // The count goes ahead of the next record, so that it is told once, where
  // the records went missing (each record takes 2 bytes more). A record with
  // room for itself but not for the count is dropped too: queued alone, it
  // would be written ahead of the count.
  if (m_dropped.load(std::memory_order_relaxed) != 0) {
    if (static_cast<int64_t>(m_queue.GetFreeSpace()) <
        static_cast<int64_t>(kDroppedRecordSize + 2 + length + 2)) {
      m_dropped.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    PostDropped();
  }
  // The queue's 16-bit length cannot describe more than kMaxRecord.
  if (record != nullptr && length <= CBuffer_Queue::kMaxRecord &&
      m_queue.PushBuffer(static_cast<const unsigned char*>(record), static_cast<uint32_t>(length), true,
                         false))
    return true;
  m_dropped.fetch_add(1, std::memory_order_relaxed);
  return false;
}

void CLogger::PostDropped() {
  const uint32_t n = m_dropped.exchange(0);
  if (n == 0) return;
  unsigned char marker[kDroppedRecordSize];
  marker[0] = kDroppedRecordFlag;
  memcpy(marker + 1, &n, sizeof n);
  if (!m_queue.PushBuffer(marker, sizeof marker, true, false)) m_dropped.fetch_add(n);
}

void CLogger::WriteDropped(uint32_t n) {
  if (n == 0) return;
  char line[logsettings::kLineHeadMax + 64];
  size_t length = logsettings::FormatLineHead(line);
  const int m = snprintf(line + length, sizeof line - length, "... %u log records dropped\n", n);
  if (m > 0) length += std::min(static_cast<size_t>(m), sizeof line - length - 1);
  Write(line, length, true);  // level 0
}

CLogger::CLogger(int spareSizeKb, int sizeLimitKb)
    : CThread(2),
      m_queue(kQueueBytes, kQueueBytes),
      m_syncsPosted(0),
      m_lastSyncWritten(0),
      m_spareSizeKb(spareSizeKb),
      m_sizeLimitKb(sizeLimitKb),
      m_file(nullptr),
      m_reserved(0) {
  ::InitializeCriticalSection(&m_fileLock);
  ::InitializeCriticalSection(&m_syncLock);
  // A thread that cannot start has logged it; the lines then stay queued.
  (void)Create(2);
}

CLogger::~CLogger() {
  WaitEmpty();
  Stop();
  CloseFile();
  ::DeleteCriticalSection(&m_fileLock);
  ::DeleteCriticalSection(&m_syncLock);
}

void CLogger::SetParams(int spareSizeKb, int sizeLimitKb) {
  m_spareSizeKb = spareSizeKb;
  m_sizeLimitKb = sizeLimitKb;
}

void CLogger::CloseFile() {
  CCriticalSectionLocker guard(m_fileLock);
  if (m_file != nullptr) {
    fclose(m_file);
    m_file = nullptr;
  }
}

bool CLogger::Open(const char* path, bool timeStamps, bool threadIds, bool utc) {
  CCriticalSectionLocker guard(m_fileLock);
  if (m_file != nullptr) {
    fclose(m_file);
    m_file = nullptr;
  }
  m_path = path != nullptr ? path : "";
  m_rotationFailing = false;

  if (!m_path.empty()) {
    m_file = fopen(m_path.c_str(), "a");
    if (m_file == nullptr) {
      LogError("Can not open %s for writing !", m_path.c_str());
      return false;
    }
    fseek(m_file, 0, SEEK_END);
    // Before the new prefix settings: this message carries the old prefix.
    CheckSize();
  }
  logsettings::timeStamps = timeStamps;
  logsettings::threadId = threadIds;
  logsettings::utc = utc;
  if (!m_path.empty() && m_file == nullptr) {
    LogError("Can not open log file '%s'", m_path.c_str());
    return false;
  }
  LogLevel2("**************** STARTING NEW LOG on %s", FormatDate().c_str());
  return true;
}

void CLogger::CheckSize() {
  if (m_file == nullptr || m_sizeLimitKb <= 0) return;
  long sizeKb = ftell(m_file) / 1024;
  if (sizeKb > m_sizeLimitKb) {
    // While the move keeps failing every check tries again, said once.
    if (!m_rotationFailing)
      LogLevel2("Log file size of '%s' is %ld kB but limited to %d kB... truncating", m_path.c_str(), sizeKb,
                m_sizeLimitKb);
    Truncate();
  }
}

void CLogger::Truncate() {
  CCriticalSectionLocker guard(m_fileLock);
  if (m_file == nullptr) return;
  fflush(m_file);
  fclose(m_file);
  m_file = nullptr;
  const std::string old = m_path + ".old";
  const bool moved = FileMoveReplace(m_path, old);
  const DWORD error = ::GetLastError();
  // A failed move (a reader holding the old copy open) keeps appending: the
  // current file most likely explains the fault, and the size bound waits.
  m_file = fopen(m_path.c_str(), moved ? "w" : "a");
  if (m_file == nullptr) {
    LogError("Log file truncating error !!!");
    return;
  }
  if (moved) {
    m_rotationFailing = false;
    return;
  }
  fseek(m_file, 0, SEEK_END);
  if (!m_rotationFailing) {
    m_rotationFailing = true;
    LogSystemError(error, "Log file '%s' cannot be moved to '%s', still appending", m_path.c_str(),
                   old.c_str());
  }
}

void CLogger::Write(const char* text, size_t length, bool toStdErr) {
  CCriticalSectionLocker guard(m_fileLock);
  if (m_file != nullptr) {
    fwrite(text, 1, length, m_file);
    fflush(m_file);
  }
  if (logsettings::consoleEcho) {
    FILE* stream = toStdErr ? stderr : stdout;
    fwrite(text, 1, length, stream);
    fflush(stream);
  }
  CheckSize();
}

void CLogger::WaitEmpty() {
  // Once the thread has stopped nobody empties the queue: waiting would only
  // cost the full time-out.
  if (!IsRunning()) return;
  CCondition becameEmpty;
  m_queue.LockEvents();
  m_queue.SetEvents(nullptr, &becameEmpty, nullptr);
  m_queue.UnlockEvents();

  CMutex* mutex = becameEmpty.GetMutex();
  if (mutex != nullptr && mutex->Lock() == CMutex::eMUTEX_NO_ERROR) {
    // Bounded; whatever it returns, the queue is left as it is.
    if (m_queue.GetCount() >= 1) (void)becameEmpty.WaitTimeout(1000);
    mutex->Unlock();
  }

  m_queue.LockEvents();
  m_queue.SetEvents(nullptr, nullptr, nullptr);
  m_queue.UnlockEvents();
}

bool CLogger::WaitWritten(DWORD timeoutMs) {
  if (!IsRunning()) return false;
  LONG number = 0;
  {
    // Numbered and queued in one step: a later number is never queued
    // before an earlier one, so reaching a number means reaching all before.
    CCriticalSectionLocker guard(m_syncLock);
    number = m_syncsPosted + 1;
    unsigned char record[1 + sizeof(number)];
    record[0] = kSyncRecordFlag;
    memcpy(record + 1, &number, sizeof(number));
    if (!m_queue.PushBuffer(record, sizeof(record), true, false)) return false;
    m_syncsPosted = number;
  }
  ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (::InterlockedCompareExchange(&m_lastSyncWritten, 0, 0) < number) {
    if (::GetTickCount64() >= end) return false;
    ::Sleep(1);
  }
  return true;
}

void CLogger::FlushAndStop() {
  WaitEmpty();
  Stop();
}

void CLogger::RequestStop() {
  CThread::RequestStop();
  m_queue.AbortPop();
}

bool CLogger::IsStopRequested() { return CThread::IsStopRequested(); }

int CLogger::ThreadEntry() {
  CBufferBase<unsigned char> record(1024);
  ULONGLONG lastRecord = 0;
  while (!IsStopRequested()) {
    if (!m_queue.PopBuffer(record, false)) {
      // All written: a loss that no later post has queued is told now.
      WriteDropped(m_dropped.exchange(0));
      // Awake, not registered, for a while after the last record: lines that
      // keep coming (a channel in an error state logs once a period) then
      // cost their posters no kernel call. Only a quiet logger waits, and
      // the first line after the quiet wakes it.
      if (::GetTickCount64() - lastRecord < kLingerMs) {
        ::Sleep(kLingerPollMs);
        continue;
      }
      if (!m_queue.PopBuffer(record, true)) {
        // Aborted: the loop test ends it. Anything else (a failed allocation)
        // must not spin.
        if (!m_queue.IsPopAborted()) ::Sleep(10);
        continue;
      }
    }
    lastRecord = ::GetTickCount64();
    if (record.GetLength() < 1) continue;
    const unsigned char* bytes = record.GetData();
    if (bytes[0] == kSyncRecordFlag) {
      LONG number = 0;
      if (record.GetLength() == 1 + sizeof(number)) memcpy(&number, bytes + 1, sizeof(number));
      ::InterlockedExchange(&m_lastSyncWritten, number);
      continue;
    }
    if (bytes[0] == kDroppedRecordFlag) {
      uint32_t n = 0;
      if (record.GetLength() == 1 + sizeof(n)) memcpy(&n, bytes + 1, sizeof(n));
      WriteDropped(n);
      continue;
    }
    Write(reinterpret_cast<const char*>(bytes + 1), record.GetLength() - 1, bytes[0] == 1);
  }
  return 0;
}
