// CWatermark_Server: the one thread that owns everything below the program
// entry. It scans the boards, keeps its liveness tick, waits for queued
// control messages and runs the board check once per loop turn; when asked to
// stop it stops what it started, in a fixed order.
//
// Threads: the program entry constructs the object on its own stack, fills
// the settings, attaches its stop condition, starts the thread, polls IsAlive
// and finally calls RequestStop, Stop and destroys the object. Everything else
// runs on the server thread, the control requests included. The pipe's
// threads call OnClientMessage, OnClientDisconnect and SendCloseRequest: they
// only take a connection reference and push into m_messageQueue, which locks
// itself and broadcasts m_wakeCondition, or write one close request.
//
// Records: every record in m_messageQueue ([connection][message bytes],
// through CMessage_Internal) holds one reference on its connection, released
// by whoever takes the record out: the loop once it is handled, the drains of
// the stop sequence, or the pushing callback when the push fails.
//
// Locks: m_tickMutex guards m_tick; the mutex of m_upgradeCondition guards the
// two upgrade flags; m_boardsLock guards m_boards (only the server thread
// writes). The stop flag is set, and m_wakeCondition broadcast, under
// m_wakeCondition's mutex, and the loop tests both of its predicates (a stop,
// a queued record) under it before waiting. Order: the program's
// stop-condition mutex before m_tickMutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "tvlib/buffers/buffer.h"
#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "service/Config.h"
#include "service/Liveness.h"

class CBaseDriver;
class CMessage;
class CWatermark_Board;
class CServerPipe;
class CServerPipeConnection;
class CSharedMemoryBuffer;
struct CWatermarkServerTestAccess;

class CWatermark_Server : public CThread {
 public:
  // A tick older than this marks the server as not responding.
  static const uint64_t kAliveLimitMs = 10000;

  explicit CWatermark_Server(const char* loadPath);
  ~CWatermark_Server() override;

  void RequestStop() override;
  int ThreadEntry() override;

  // True until the loop has failed to turn for more than kAliveLimitMs (also
  // true before the first turn). Called by the program entry's thread.
  bool IsAlive();
  // The millisecond tick at which the stop was first requested (request 20 on
  // this thread, or the program entry), 0 before. From then on the loop no
  // longer turns, and the program entry bounds the stop from this moment
  // instead of watching the tick.
  uint64_t GetStopTick() const { return m_stopTick.load(); }

  // Result of the wait in the loop's last turn (eCOND_NO_ERROR when that turn
  // did not wait). A loop that ended on a time-out missed its stop's wake-up.
  int GetLastWaitResult() { return ::InterlockedCompareExchange(&m_lastWaitResult, 0, 0); }

  // One board check: the upgrade state, then the board scan.
  void CheckBoards();

  CSettingsMap& GetSettings() { return m_settings; }
  void SetCertification(bool on) { m_certification = on; }
  bool IsCertification() const { return m_certification; }
  CBuffer_Queue& GetMessageQueue() { return m_messageQueue; }

  // The server's upgrade state (under the upgrade condition's mutex).
  bool IsUpgradeState();

  // The running board of that name ("SN%08X", byte for byte), or null. Only
  // the server thread deletes boards, so the caller on it may use the board.
  CWatermark_Board* FindBoard(const std::string& name);
  // Requests 16 and 17: upgrade 0 enters the upgrade state, anything else
  // leaves it. True when the board was found (or the boards lock was busy).
  // A board found but not alive, or busy for longer than the board's bound
  // (CWatermark_Board::SetUpgrade), is left as it is, and so is the server's
  // own upgrade state: the liveness check may then restart the board. The
  // waits on the board thread here are bounded (WatermarkBoard.h says which
  // and why).
  bool SetBoardUpgrade(const std::string& name, uint8_t upgrade);
  // Reply payloads of requests 12 and 14.
  std::string GetProductInfo();
  CBufferBase<unsigned char> GetProductsDirectory();

  // Close requests are written for at most this long per connection, and
  // never past kCloseDeadlineMs after the stop sequence began to stop the
  // pipe: a client that does not read must not hold up the stop.
  static const DWORD kCloseRequestTimeoutMs = 250;
  static const uint64_t kCloseDeadlineMs = 2000;

 private:
  friend struct CWatermarkServerTestAccess;

  // FindBoard's search, for a caller that holds the boards read lock.
  CWatermark_Board* FindRunningBoard(const std::string& name);

  // Pipe callbacks (the pipe's threads).
  void OnClientConnect(CServerPipeConnection* connection);
  void OnClientMessage(CServerPipeConnection* connection, const CBufferBase<unsigned char>& message);
  void OnClientDisconnect(CServerPipeConnection* connection);
  void SendCloseRequest(CServerPipeConnection* connection);
  // Takes a reference on the connection and queues [connection][bytes]; the
  // reference goes back when the queue refuses the record.
  void QueueRecord(CServerPipeConnection* connection, const unsigned char* bytes, uint32_t count);

  // A popped record: the connection's end, a request, or dropped; its
  // reference is released in every case.
  void HandleQueuedRecord(const CBufferBase<unsigned char>& record);
  // A record taken out at stop: no reply, the reference released.
  void DropQueuedRecord(const CBufferBase<unsigned char>& record);
  // One request of command 11 (WatermarkRequests.cpp).
  void HandleClientRequest(CServerPipeConnection* connection, const CMessage& request);
  // Request 13's reply: the block's size and name, empty without a block.
  void AppendBoardBlock(const std::string& name, CBufferBase<unsigned char>& reply);

  // The two stack driver objects of one scan and their board counts; logs
  // the no-board line when both are 0.
  struct BoardScan;
  // Start-up: a board for every PCI board, then every QBX board.
  void StartBoards();
  // Under the boards write lock: a new board in a new slot, started unless
  // its serial is ignored at start (then its driver is closed). A board whose
  // serial an object in the array already has (a board re-seated under a new
  // device path) takes that object's slot instead, the way a board that
  // stopped turning is replaced: never two objects, two writers of one block
  // and one set of copies, for one board.
  void AddBoard(CBaseDriver* prototype, int32_t index, bool atStart);
  CWatermark_Board* NewBoard(CBaseDriver* prototype, int32_t index);
  // The slot of another board object with `board`'s serial; the array's
  // length when none, or when `board` could not read its serial.
  uint32_t FindSlotOfSerial(CWatermark_Board& board);
  // A board leaving its slot: stopped (its stop sequence saves), joined and
  // deleted. The join has no bound, as for every board the server stops: a
  // board thread stuck without end holds the server thread, and the program
  // entry's supervision then ends the process.
  void StopBoard(CWatermark_Board* board);
  // Drops every queued record (nothing is answered after a stop request).
  void DrainMessages();
  // Start step: the control pipe, its callbacks and its accept thread.
  void CreatePipe();
  // Stops and frees what the thread started: after the loop, and after a
  // failed wait.
  void RunStopSequence();

  CCondition m_wakeCondition;
  CSettingsMap m_settings;
  CReadWriteLock m_boardsLock;
  CBufferBase<CWatermark_Board*> m_boards;  // guarded by m_boardsLock
  CSharedMemoryBuffer* m_pSharedMemBuf;
  CServerPipe* m_pPipe;
  CBuffer_Queue m_messageQueue;
  const char* m_loadPath;
  // Path-table entries per family (0 PCI, 1 QBX) whose board came back under
  // a new path: entries never go away, no object holds these, and the scan
  // must not count them as boards still to create.
  int32_t m_retiredPaths[2];
  bool m_upgradeRequested;  // guarded by m_upgradeCondition's mutex
  bool m_upgradeState;      // guarded by m_upgradeCondition's mutex
  CCondition m_upgradeCondition;
  bool m_certification;
  CMutex m_tickMutex;
  uint64_t m_tick;  // guarded by m_tickMutex; 0 until the first loop turn
  volatile LONG m_lastWaitResult;
  // Tick after which close requests are no longer waited for; 0 until the
  // stop sequence stops the pipe. Written by the server thread, read by the
  // threads that stop the pipe's connections.
  std::atomic<uint64_t> m_closeDeadline;
  // Written once, by the first RequestStop; read by the program entry.
  std::atomic<uint64_t> m_stopTick;
};

// Serial numbers of boards that are not started at the server's start.
void AddIgnoredBoard(uint32_t serial);
bool IsIgnoredBoard(uint32_t serial);
