// The process-wide asynchronous logger: one thread that writes queued lines.
//
// Callers never touch CLogger for logging; they use log.h, which formats on the
// caller's thread and posts [stream flag][text] records into this object's
// queue without waiting. The logger thread pops them one at a time and writes
// them to the log file (flushed per line) and, with console echo on, to
// stdout/stderr. Console and file are text-mode streams, so each "\n" reaches
// the disk as "\r\n", as for any Windows program.
//
// A post costs no kernel call unless the logger thread waits for records (the
// queue wakes only a registered reader); after its last record the thread
// keeps looking for more every 2 ms for 250 ms before it waits, so that lines
// that keep coming, once a period from a real-time thread, never wake it.
// A record that does not fit the queue is counted; the next post that fits
// first queues the count, and the logger writes it as the level-0 line
// "... %u log records dropped" where the records went missing (or once it
// has written everything queued, if nobody posts).
//
// Threads: the program body calls Open/SetParams/FlushAndStop; the logger
// thread calls Write (and through it Truncate). m_fileLock (a critical section,
// recursive) guards m_file, m_path and m_rotationFailing; Open and Write call
// Truncate with it held. Any thread calls Post.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/log/log.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CLogger : public CThread {
 public:
  // Queue of 64 KiB that never grows; starts the thread at priority index 2.
  CLogger(int spareSizeKb, int sizeLimitKb);
  ~CLogger() override;

  // Both in kB; a size limit of 0 or less means no limit. The spare size is kept
  // for callers that pass it; nothing reads it.
  void SetParams(int spareSizeKb, int sizeLimitKb);

  // Opens (appends to) the log file and sets the line prefix settings. An empty
  // or null path only sets the prefix settings. False when the file cannot be
  // opened; the prefix settings then stay as they were.
  bool Open(const char* path, bool timeStamps, bool threadIds, bool utc);

  // Waits up to 1000 ms until the queue holds no record.
  void WaitEmpty();
  // Waits up to timeoutMs until every record queued before the call has
  // been written (the queue may be empty while the writer still writes the
  // record it took last). False on time-out, or when the logger does not
  // run or its queue is full.
  bool WaitWritten(DWORD timeoutMs);
  void FlushAndStop();
  void CloseFile();

  void RequestStop() override;
  int ThreadEntry() override;
  bool IsStopRequested() override;

  // Queues one record, [stream flag][text], without waiting; a record that
  // does not fit is counted as dropped. Any thread.
  bool Post(const void* record, size_t length);

  // The record queue that LogQueuePost feeds.
  CBuffer_Queue& GetQueue() { return m_queue; }

  // Holds the writer off while held (the logger thread blocks in Write); lets
  // tests fill the queue deterministically. Never hold it across a log call
  // that must reach the file.
  void LockFile() { ::EnterCriticalSection(&m_fileLock); }
  void UnlockFile() { ::LeaveCriticalSection(&m_fileLock); }

 private:
  // Writes one line to the file and/or the console, then enforces the size limit.
  void Write(const char* text, size_t length, bool toStdErr);
  // Moves the file to "<path>.old" and starts a new one. When the move fails
  // the file is reopened for appending and the next size check tries again;
  // console only when the file cannot be reopened.
  void Truncate();
  // Logs the size message and truncates when the file passed the limit.
  void CheckSize();
  // Queues the dropped count ahead of the record that follows the loss.
  void PostDropped();
  // Writes the dropped line for n records (nothing for 0).
  void WriteDropped(uint32_t n);

  CBuffer_Queue m_queue;
  CRITICAL_SECTION m_syncLock;      // orders the sync records by number
  volatile LONG m_syncsPosted;      // guarded by m_syncLock
  volatile LONG m_lastSyncWritten;  // written by the logger thread
  int m_spareSizeKb;
  int m_sizeLimitKb;
  CRITICAL_SECTION m_fileLock;
  std::string m_path;  // guarded by m_fileLock
  FILE* m_file;        // guarded by m_fileLock
  int m_reserved;
  bool m_rotationFailing = false;      // the last move failed; m_fileLock
  std::atomic<uint32_t> m_dropped{0};  // records refused since the count was last queued
};

// The global logger: built during static initialisation before anything else
// that may log; null once it has been destroyed at process exit.
CLogger* GetLogger();
