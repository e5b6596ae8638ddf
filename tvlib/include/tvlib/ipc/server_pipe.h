// Named-pipe server of the library: an accept thread (CServerPipe) that
// creates pipe instances and accepts local clients one at a time, one thread
// per client (CServerPipeConnection) that reads length-prefixed messages and
// writes replies, and a reaper thread (CServerPipeConnectionList) that owns the
// connections and removes those that ended. The server knows nothing of what
// the messages mean: it hands each one to a callback.
//
// Wire format, both ways, in message mode: the body length as one 4-byte pipe
// message (little-endian, 0 allowed), then the body in pipe messages of at
// most 1024 bytes.
//
// Lifetime rule: a connection leaves the list only after its thread has ended,
// so its callbacks never run on a connection that the list has given up.
// Connections are reference counted: the list holds one reference; users that
// keep a connection beyond a callback take their own (AddRef/Release).
//
// Every read and write goes through PipeTransfer, which never returns while an
// operation is still pending into a buffer or OVERLAPPED record of its caller;
// an accept turn ended by a stop cancels and drains its pending connect.
//
// Lock order: list lock -> a connection's reference lock; list lock -> a
// connection's CThread lock (accept); list lock -> a connection's write lock
// (OnClosing writes); list lock -> the list condition's mutex. Never take a
// connection's thread lock while holding the list condition's mutex. The
// server's client-errors lock is a leaf.
#pragma once

#include <cstdint>
#include <string>

#include "tvlib/buffers/buffer.h"
#include "tvlib/ipc/pipe_io.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"
#include "tvlib/win.h"

class CServerPipe;
class CServerPipeConnection;
class CServerPipeConnectionList;
struct CServerPipeTestAccess;

// One pipe instance: created by the accept step, then owned by its connection.
struct PipeInstance {
  OVERLAPPED overlapped;  // its event: manual-reset, unsignalled at creation
  HANDLE pipe;            // INVALID_HANDLE_VALUE when closed
};

// A new instance with its event and no pipe; null when the event cannot be made.
PipeInstance* NewPipeInstance();
// Closes the pipe (one atomic exchange, so two closers never close it twice),
// then the event; the instance stays allocated. Whoever started an operation
// on the instance's record has drained it before.
void ClosePipeInstance(PipeInstance* instance);
// ClosePipeInstance, then frees it; null is ignored.
void DeletePipeInstance(PipeInstance* instance);

// Callbacks: a target and a plain function taking it. A callback counts as
// set when both are non-null; callbacks return a pointer (PipeMember gives
// back the target).
typedef CServerPipeConnection* (*PipeCreateFn)(void* target, PipeInstance* instance);
typedef void* (*PipeConnectionFn)(void* target, CServerPipeConnection* connection);
typedef void* (*PipeMessageFn)(void* target, CServerPipeConnection* connection,
                               const CBufferBase<unsigned char>& message);

// Binds a member function void T::M(CServerPipeConnection*) as a PipeConnectionFn.
template <class T, void (T::*Method)(CServerPipeConnection*)>
void* PipeMember(void* target, CServerPipeConnection* connection) {
  (static_cast<T*>(target)->*Method)(connection);
  return target;
}

// Binds void T::M(CServerPipeConnection*, const CBufferBase<unsigned char>&).
template <class T, void (T::*Method)(CServerPipeConnection*, const CBufferBase<unsigned char>&)>
void* PipeMessageMember(void* target, CServerPipeConnection* connection,
                        const CBufferBase<unsigned char>& message) {
  (static_cast<T*>(target)->*Method)(connection, message);
  return target;
}

// How many client-caused lines (bad framing, messages too long, failed reads,
// clients gone before the connect) the pipe lets into the log: at most
// kLinesPerWindow in a window of kWindowMs that opens with the first of them.
// The errors beyond are counted, and the count of a window that has ended is
// reported in one line, so that a flood cannot push a real fault's history
// out of the rotating log. A rule without clock or lock: the caller passes
// the time and serialises the calls.
class CClientErrorLimit {
 public:
  static constexpr uint32_t kLinesPerWindow = 20;
  static constexpr uint64_t kWindowMs = 60000;

  // One client error of `lines` lines at `now`: true when they may be
  // logged, false when it is counted instead. *heldBack: the count of a
  // window that had ended (to be reported before the line), else 0.
  bool Admit(uint64_t now, uint32_t lines, uint32_t* heldBack);
  // The count of a window that has ended by `now`, which then closes; 0 when
  // none has ended or nothing was held back in it.
  uint32_t TakeHeldBack(uint64_t now);

 private:
  friend struct CServerPipeTestAccess;

  bool m_open = false;  // a window runs from m_start
  uint64_t m_start = 0;
  uint32_t m_lines = 0;     // logged in the window
  uint32_t m_heldBack = 0;  // errors counted instead
};

// One connected client. Its thread reads messages and calls OnMessage on them;
// SetMessage may be called from any thread.
//
// Locks: m_writeLock keeps the length and body of one message together (users
// may take it to change the user words in step with the writes); m_refLock
// guards m_refCount; m_broken and the callback are set before the thread
// starts or changed atomically.
class CServerPipeConnection : public CThread {
 public:
  // For one whole message, its length and every piece together; a message
  // that cannot be written in time is cut short (the piece under way is
  // cancelled) and the connection is marked broken.
  static constexpr DWORD kWriteTimeoutMs = 2000;
  // Longest piece of a body, both ways.
  static constexpr uint32_t kPieceSize = 1024;

  // Takes ownership of the instance. Reference count 1 (the list's).
  explicit CServerPipeConnection(PipeInstance* instance);
  // Reached only through Release, after the thread has ended.
  ~CServerPipeConnection() override;

  // Set before the thread starts (OnConnect does).
  void SetOnMessage(void* target, PipeMessageFn fn);
  // Messages declared longer than this are read and discarded (0 = no limit).
  void SetMaxMessageLength(uint32_t maximum) { m_maxMessageLength = maximum; }
  uint32_t GetMaxMessageLength() const { return m_maxMessageLength; }

  LONG AddRef();
  // Returns the new count; the connection is deleted when it reaches 0.
  LONG Release();

  void RequestStop() override;
  int ThreadEntry() override;

  // Writes one framed message within timeoutMs in all; false when it could
  // not be written whole (the connection is then broken: later calls return
  // false at once, quietly, and its thread is asked to stop). The bound runs
  // from the moment the write lock is held.
  bool SetMessage(const CBufferBase<unsigned char>& message, DWORD timeoutMs = kWriteTimeoutMs);
  bool SetMessage(const unsigned char* bytes, uint32_t count, DWORD timeoutMs = kWriteTimeoutMs);
  // Reads one framed message and delivers it; false ends the read loop.
  bool WaitForRead();
  bool HasPipe();
  bool IsBroken() const { return m_broken != 0; }

  uint32_t GetUserWord(int index) const { return m_userWords[index]; }
  void SetUserWord(int index, uint32_t value) { m_userWords[index] = value; }
  CRITICAL_SECTION& GetWriteLock() { return m_writeLock; }

 private:
  friend struct CServerPipeTestAccess;

  friend class CServerPipeConnectionList;

  bool WritePiece(const void* data, DWORD size, DWORD timeoutMs, const char* failure);
  // Whether a client-caused error may be logged (the server's limit; always
  // for a connection outside a server's list).
  bool MayLogClientError();
  void MarkBroken();
  // Reads a body of `length` bytes in pieces; with `keep` null the pieces
  // are discarded. False after a failed read (logged).
  bool ReadBody(uint32_t length, CBufferBase<unsigned char>* keep);

  PipeInstance* m_instance;
  void* m_messageTarget;
  PipeMessageFn m_onMessage;
  CRITICAL_SECTION m_writeLock;
  uint32_t m_userWords[3];
  HANDLE m_stopEvent;
  CRITICAL_SECTION m_refLock;
  LONG m_refCount;  // guarded by m_refLock
  uint32_t m_maxMessageLength;
  volatile LONG m_broken;
  CServerPipeConnectionList* m_list;  // set by Add, before the thread starts
  volatile LONG m_ended;              // the read loop has returned: no more callbacks
  // The reads' own record; the writes have theirs (m_writeOverlapped, under
  // m_writeLock), so a reply never shares an event with a pending read.
  OVERLAPPED m_writeOverlapped;
};

// The connections of one server and the reaper thread that removes those whose
// thread ended. The list lock (recursive) guards the array; OnConnect,
// OnDisconnect and OnClosing run under it and must not add or remove
// connections.
class CServerPipeConnectionList : public CThread {
 public:
  // Sweeps at least this often; a connection's end wakes it at once.
  static constexpr DWORD kReapIntervalMs = 5000;

  explicit CServerPipeConnectionList(CServerPipe* owner);
  ~CServerPipeConnectionList() override;

  // Takes over the connection's initial reference and makes the list's
  // condition its end condition. False (nothing taken) when the array cannot grow.
  bool Add(CServerPipeConnection* connection);
  // Stops the connection's thread and waits for it, then OnDisconnect, out of
  // the array, the list's reference released. Not listed: nothing. From the
  // connection's own thread it only asks the thread to stop (the reaper
  // finishes the removal).
  void Remove(CServerPipeConnection* connection);
  // One reaper pass: every connection whose thread ended is removed.
  void ReapEnded();
  int32_t GetCount();
  CServerPipeConnection* GetAt(int32_t index);
  bool Contains(CServerPipeConnection* connection);

  // OnClosing and RequestStop for each connection, then its own stop.
  void RequestStop() override;
  // Stops every connection and releases the list's references, then its own thread.
  void Stop() override;
  int ThreadEntry() override;

  void Lock() { ::EnterCriticalSection(&m_lock); }
  void Unlock() { ::LeaveCriticalSection(&m_lock); }
  // Wakes the reaper (a connection that could not start).
  void WakeReaper();
  // Called by a connection's thread when its read loop has returned.
  void NoteEnded(CServerPipeConnection* connection);
  CServerPipe* GetOwner() const { return m_owner; }
  // Accept thread: waits until fewer than `most` connections are listed;
  // false when a stop was requested first. Woken by every removal.
  bool WaitForRoom(LONG most);

 private:
  // Under the list lock: OnDisconnect, remove slot i, release the list's reference.
  void RemoveAtLocked(uint32_t index);
  int32_t IndexOfLocked(CServerPipeConnection* connection);

  CRITICAL_SECTION m_lock;
  CBufferBase<CServerPipeConnection*> m_connections;  // guarded by m_lock
  CCondition m_condition;                             // own mutex; the reaper and WaitForRoom wait on it
  bool m_endPending = false;                          // guarded by m_condition's mutex
  volatile LONG m_listed = 0;                         // m_connections' length; changed under m_lock
  CServerPipe* m_owner;
};

// The accept thread of one pipe name, "\\.\pipe\<part1>\<part2>\<part3>".
//
// Calling order: construct (the reaper starts); set the callbacks and the
// maximum message length; Create(2); at the end Stop, then delete. The
// callbacks run on the library's threads: OnCreateConnection and OnConnect on
// the accept thread, OnMessage on a connection's thread, OnDisconnect on the
// reaper (or on the caller of RemoveConnection/CloseConnection), OnClosing on
// the thread that calls RequestStop.
//
// The accept thread waits without a bound for a client, and with
// kMaxConnections live for one of them to end; a stop ends either wait. Every
// instance carries the pipe's own descriptor (BuildPipeSecurityDescriptor)
// and refuses remote clients.
class CServerPipe : public CThread {
 public:
  // Pause after an accept turn that failed in a way that may last (the name
  // held by someone else, resources gone), so that the thread never spins.
  static constexpr DWORD kRetryPauseMs = 500;
  static constexpr DWORD kBufferSize = 1024;
  // Live connections at most, each with its thread; also the pipe's limit of
  // instances. A client beyond them finds the pipe busy and waits
  // (WaitNamedPipe) until a connection has ended and been reaped.
  static constexpr LONG kMaxConnections = 64;

  // The parts are kept by pointer: the caller keeps them alive.
  CServerPipe(const char* part1, const char* part2, const char* part3);
  ~CServerPipe() override;

  void SetConnectTarget(void* target) { m_connectTarget = target; }
  void SetOnCreateConnection(PipeCreateFn fn) { m_onCreateConnection = fn; }
  void SetOnConnect(PipeConnectionFn fn) { m_onConnect = fn; }
  void SetOnDisconnect(void* target, PipeConnectionFn fn) {
    m_disconnectTarget = target;
    m_onDisconnect = fn;
  }
  void SetOnClosing(void* target, PipeConnectionFn fn) {
    m_closingTarget = target;
    m_onClosing = fn;
  }
  // Taken over by connections accepted afterwards; 0 = no limit.
  void SetMaxMessageLength(uint32_t maximum) { m_maxMessageLength = maximum; }
  uint32_t GetMaxMessageLength() const { return m_maxMessageLength; }

  // "\\.\pipe\part1\part2\part3"; "" when a part is null.
  std::string GetPipeName() const;

  void RequestStop() override;
  int ThreadEntry() override;

  // A listed connection is stopped and removed as RemoveConnection does; an
  // unlisted one is left alone.
  void CloseConnection(CServerPipeConnection* connection);
  void RemoveConnection(CServerPipeConnection* connection);
  int32_t GetConnectionCount();
  // No reference is taken: the caller keeps the index below the count.
  CServerPipeConnection* GetConnectionAt(int32_t index);

  void* CallOnDisconnect(CServerPipeConnection* connection);
  void* CallOnClosing(CServerPipeConnection* connection);

  // Any thread: whether a client-caused error of `lines` lines may be logged
  // (CClientErrorLimit); logs the count of an ended window first.
  bool AdmitClientError(uint32_t lines);
  // Reaper: logs the count of an ended window, so that it comes also when
  // the flood has stopped.
  void ReportHeldBackClientErrors();

 private:
  friend struct CServerPipeTestAccess;
  friend class CServerPipeConnectionList;

  // One accept turn on the listening instance (created first when there is
  // none); false when it ended without a new connection. The instance stays
  // the thread's between turns, and whenever it is handed over or closed a
  // new one listens first, so that the pipe's name exists all along.
  bool WaitForClient(PipeInstance*& listening);
  // first: the pipe's first instance (FILE_FLAG_FIRST_PIPE_INSTANCE), which
  // fails, as a lasting failure, while anyone else holds the name.
  bool CreatePipe(PipeInstance* instance, bool first);
  // A new instance with its pipe; null after a failure (logged, lasting).
  PipeInstance* NewListeningInstance(bool first);
  // Creates the next listening instance, then closes the one that failed.
  void ReplaceListening(PipeInstance*& listening);
  // kConnectLeft: a client opened the instance and closed it before the call.
  enum ConnectResult { kConnectFailed, kConnectLeft, kConnectPending, kConnectDone };
  ConnectResult ConnectToNewClient(PipeInstance* instance);
  // Creates the connection for a connected instance and starts it.
  bool AcceptConnected(PipeInstance* instance);

  const char* m_part1;
  const char* m_part2;
  const char* m_part3;
  void* m_connectTarget;
  PipeCreateFn m_onCreateConnection;
  PipeConnectionFn m_onConnect;
  void* m_disconnectTarget;
  PipeConnectionFn m_onDisconnect;
  void* m_closingTarget;
  PipeConnectionFn m_onClosing;
  CServerPipeConnectionList* m_list;
  HANDLE m_stopEvent;
  uint32_t m_maxMessageLength;
  bool m_lastingFailure;  // accept thread only: the turn failed in a way that may last
  CRITICAL_SECTION m_clientErrorsLock;  // a leaf: nothing else is taken under it
  CClientErrorLimit m_clientErrors;     // guarded by m_clientErrorsLock
};
