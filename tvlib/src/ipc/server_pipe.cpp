#include "tvlib/ipc/server_pipe.h"

#include <cstring>
#include <memory>

#include "tvlib/ipc/security.h"
#include "tvlib/log/log.h"
#include "tvlib/time/clock.h"

namespace {

// Bodies are taken in as they arrive, never by the declared length: a length
// alone must not make the process commit gigabytes.
const uint32_t kBodyGrowth = 65536;

// What is left of one message's write bound; INFINITE stays unbounded. Past
// the end a piece still goes out when the pipe takes it at once.
class WriteDeadline {
 public:
  explicit WriteDeadline(DWORD timeoutMs)
      : m_unbounded(timeoutMs == INFINITE), m_end(GetTickCountMs() + timeoutMs) {}
  DWORD Remaining() const {
    if (m_unbounded) return INFINITE;
    uint64_t now = GetTickCountMs();
    return now >= m_end ? 0 : static_cast<DWORD>(m_end - now);
  }

 private:
  bool m_unbounded;
  uint64_t m_end;
};

struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};

void ResetRecord(OVERLAPPED* ov) {
  HANDLE event = ov->hEvent;
  std::memset(ov, 0, sizeof(*ov));
  ov->hEvent = event;
}

}  // namespace

// ---------------------------------------------------------------- CClientErrorLimit

uint32_t CClientErrorLimit::TakeHeldBack(uint64_t now) {
  if (!m_open || now - m_start < kWindowMs) return 0;
  uint32_t heldBack = m_heldBack;
  m_open = false;
  m_lines = 0;
  m_heldBack = 0;
  return heldBack;
}

bool CClientErrorLimit::Admit(uint64_t now, uint32_t lines, uint32_t* heldBack) {
  *heldBack = TakeHeldBack(now);
  if (!m_open) {
    m_open = true;
    m_start = now;
  }
  if (m_lines + lines <= kLinesPerWindow) {
    m_lines += lines;
    return true;
  }
  if (m_heldBack != UINT32_MAX) ++m_heldBack;
  return false;
}

// ---------------------------------------------------------------- PipeInstance

PipeInstance* NewPipeInstance() {
  PipeInstance* instance = new PipeInstance;
  std::memset(&instance->overlapped, 0, sizeof(instance->overlapped));
  instance->pipe = INVALID_HANDLE_VALUE;
  instance->overlapped.hEvent = NewPipeEvent();
  if (instance->overlapped.hEvent == nullptr) {
    delete instance;
    return nullptr;
  }
  return instance;
}

void ClosePipeInstance(PipeInstance* instance) {
  if (instance == nullptr) return;
  // Nothing is pending here: every operation on the instance's record is
  // drained by the code that started it (a pending operation would complete
  // into the record after the close, the system writing its status and
  // signalling the event even then).
  HANDLE pipe = ::InterlockedExchangePointer(&instance->pipe, INVALID_HANDLE_VALUE);
  if (pipe != INVALID_HANDLE_VALUE && pipe != nullptr) ::CloseHandle(pipe);
  HANDLE event = ::InterlockedExchangePointer(&instance->overlapped.hEvent, nullptr);
  if (event != nullptr) ::CloseHandle(event);
}

void DeletePipeInstance(PipeInstance* instance) {
  if (instance == nullptr) return;
  ClosePipeInstance(instance);
  delete instance;
}

// ---------------------------------------------------------------- CServerPipeConnection

CServerPipeConnection::CServerPipeConnection(PipeInstance* instance)
    : CThread(3),
      m_instance(instance),
      m_messageTarget(nullptr),
      m_onMessage(nullptr),
      m_userWords{0, 0, 0},
      m_stopEvent(NewPipeEvent()),
      m_refCount(1),
      m_maxMessageLength(0),
      m_broken(0),
      m_list(nullptr),
      m_ended(0) {
  ::InitializeCriticalSection(&m_writeLock);
  ::InitializeCriticalSection(&m_refLock);
  std::memset(&m_writeOverlapped, 0, sizeof(m_writeOverlapped));
  m_writeOverlapped.hEvent = NewPipeEvent();
}

CServerPipeConnection::~CServerPipeConnection() {
  Stop();
  if (m_stopEvent != nullptr) ::CloseHandle(m_stopEvent);
  DeletePipeInstance(m_instance);
  m_instance = nullptr;
  if (m_writeOverlapped.hEvent != nullptr) ::CloseHandle(m_writeOverlapped.hEvent);
  ::DeleteCriticalSection(&m_writeLock);
  ::DeleteCriticalSection(&m_refLock);
}

void CServerPipeConnection::SetOnMessage(void* target, PipeMessageFn fn) {
  m_messageTarget = target;
  m_onMessage = fn;
}

LONG CServerPipeConnection::AddRef() {
  CCriticalSectionLocker guard(m_refLock);
  return ++m_refCount;
}

LONG CServerPipeConnection::Release() {
  LONG count;
  {
    CCriticalSectionLocker guard(m_refLock);
    count = --m_refCount;
  }
  if (count == 0) delete this;
  return count;
}

void CServerPipeConnection::RequestStop() {
  CThread::RequestStop();
  if (m_stopEvent != nullptr) ::SetEvent(m_stopEvent);
}

bool CServerPipeConnection::HasPipe() {
  if (m_instance != nullptr && m_instance->pipe != INVALID_HANDLE_VALUE && m_instance->pipe != nullptr)
    return true;
  return LogErrorFalse("CServerPipeConnection No pipe");
}

int CServerPipeConnection::ThreadEntry() {
  if (!HasPipe()) {
    LogError("CServerPipeConnection Pipe Not Initialize");
    return -1;
  }
  while (!IsStopRequested() && WaitForRead()) {
  }
  if (m_list != nullptr) m_list->NoteEnded(this);
  return 0;
}

bool CServerPipeConnection::WaitForRead() {
  unsigned char first[kPieceSize];
  DWORD got = 0;
  bool pended = false;
  DWORD error = PipeTransfer(kPipeRead, m_instance->pipe, &m_instance->overlapped, first, sizeof(first),
                             m_stopEvent, INFINITE, &got, &pended);
  if (error != ERROR_SUCCESS) {
    if (error == ERROR_BROKEN_PIPE || error == ERROR_OPERATION_ABORTED) return false;
    if (!MayLogClientError()) return false;
    if (pended)
      LogSystemError(error, "CServerPipeConnection::WaitForRead GetOverlappedResult failed");
    else
      LogSystemError(error, "\tCServerPipeConnection::WaitForRead ReadFile error");
    return false;
  }
  if (got != 4) {
    if (MayLogClientError()) LogError("CServerPipeConnection::WaitForRead failed read data size");
    return false;
  }
  uint32_t length = DecodeFrameLength(first);

  if (m_maxMessageLength != 0 && length > m_maxMessageLength) {
    if (MayLogClientError())
      LogError("CServerPipeConnection::WaitForRead message too long (%u bytes), dropped", length);
    return ReadBody(length, nullptr);
  }
  CBufferBase<unsigned char> body;
  if (!ReadBody(length, &body)) return false;
  if (m_onMessage != nullptr && m_messageTarget != nullptr) m_onMessage(m_messageTarget, this, body);
  return true;
}

bool CServerPipeConnection::ReadBody(uint32_t length, CBufferBase<unsigned char>* keep) {
  unsigned char discard[kPieceSize];
  uint32_t received = 0;
  while (received < length) {
    uint32_t piece = length - received < kPieceSize ? length - received : kPieceSize;
    unsigned char* into = discard;
    if (keep != nullptr) {
      if (keep->GetAllocated() < received + piece) {
        uint32_t room =
            length - keep->GetAllocated() < kBodyGrowth ? length : keep->GetAllocated() + kBodyGrowth;
        if (!keep->Realloc(room)) {
          if (MayLogClientError())
            LogSystemError(ERROR_NOT_ENOUGH_MEMORY, "CServerPipeConnection::ReadFile failed");
          return false;
        }
      }
      into = keep->GetData() + received;
    }
    DWORD got = 0;
    DWORD error = PipeTransfer(kPipeRead, m_instance->pipe, &m_instance->overlapped, into, piece, m_stopEvent,
                               INFINITE, &got, nullptr);
    if (error == ERROR_OPERATION_ABORTED) return false;  // a stop, not a fault
    if (error != ERROR_SUCCESS) {
      if (MayLogClientError()) LogSystemError(error, "CServerPipeConnection::ReadFile failed");
      return false;
    }
    received += got;
    if (keep != nullptr) keep->SetLength(received);
  }
  return true;
}

bool CServerPipeConnection::MayLogClientError() {
  CServerPipe* owner = m_list != nullptr ? m_list->GetOwner() : nullptr;
  return owner == nullptr || owner->AdmitClientError(1);
}

void CServerPipeConnection::MarkBroken() {
  ::InterlockedExchange(&m_broken, 1);
  // The read loop ends and the reaper removes the connection, as for a
  // client that left.
  RequestStop();
}

bool CServerPipeConnection::WritePiece(const void* data, DWORD size, DWORD timeoutMs, const char* failure) {
  DWORD put = 0;
  DWORD error = PipeTransfer(kPipeWrite, m_instance->pipe, &m_writeOverlapped, const_cast<void*>(data), size,
                             nullptr, timeoutMs, &put, nullptr);
  if (error == ERROR_SUCCESS && put == size) return true;
  // The client closed its end: the normal sign of a client that went away.
  if (error != ERROR_NO_DATA)
    LogSystemError(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error, "%s", failure);
  // A frame cut short cannot be resynchronised: nothing more goes to this client.
  MarkBroken();
  return false;
}

bool CServerPipeConnection::SetMessage(const CBufferBase<unsigned char>& message, DWORD timeoutMs) {
  return SetMessage(message.GetData(), message.GetLength(), timeoutMs);
}

bool CServerPipeConnection::SetMessage(const unsigned char* bytes, uint32_t count, DWORD timeoutMs) {
  // A closed instance holds INVALID_HANDLE_VALUE, which as a handle would be
  // the process itself.
  if (m_instance == nullptr || m_instance->pipe == nullptr || m_instance->pipe == INVALID_HANDLE_VALUE)
    return LogErrorFalse("CServerPipeConnection::SetMessage pipe not initialized");
  CCriticalSectionLocker guard(m_writeLock);
  if (IsBroken()) return false;
  // One bound for the whole message: a client that takes every piece just in
  // time must not keep the writer (the server thread) for the sum of them.
  WriteDeadline deadline(timeoutMs);
  unsigned char length[4];
  EncodeFrameLength(count, length);
  if (!WritePiece(length, 4, deadline.Remaining(),
                  "CServerPipeConnection::SetMessage failed write data size"))
    return false;
  // A zero-byte write would be a message of its own: an empty body is the
  // length alone.
  for (uint32_t sent = 0; sent < count;) {
    uint32_t piece = count - sent < kPieceSize ? count - sent : kPieceSize;
    if (!WritePiece(bytes + sent, piece, deadline.Remaining(),
                    "CServerPipeConnection::SetMessage failed write data"))
      return false;
    sent += piece;
  }
  return true;
}

// ---------------------------------------------------------------- CServerPipeConnectionList

CServerPipeConnectionList::CServerPipeConnectionList(CServerPipe* owner) : CThread(3), m_owner(owner) {
  ::InitializeCriticalSection(&m_lock);
}

CServerPipeConnectionList::~CServerPipeConnectionList() {
  CThread::Stop();
  ::DeleteCriticalSection(&m_lock);
}

bool CServerPipeConnectionList::Add(CServerPipeConnection* connection) {
  if (connection == nullptr) return false;
  CCriticalSectionLocker guard(m_lock);
  if (!m_connections.Append(connection)) return false;
  ::InterlockedIncrement(&m_listed);
  connection->m_list = this;
  connection->SetEndCondition(&m_condition);
  return true;
}

int32_t CServerPipeConnectionList::IndexOfLocked(CServerPipeConnection* connection) {
  for (uint32_t i = 0; i < m_connections.GetLength(); ++i)
    if (m_connections[i] == connection) return static_cast<int32_t>(i);
  return -1;
}

void CServerPipeConnectionList::RemoveAtLocked(uint32_t index) {
  CServerPipeConnection* connection = m_connections[index];
  if (m_owner != nullptr) m_owner->CallOnDisconnect(connection);
  m_connections.RemoveAt(index);
  connection->Release();
  ::InterlockedDecrement(&m_listed);
  // A place came free: the accept thread may wait for one.
  BroadcastWithMutex(&m_condition);
}

void CServerPipeConnectionList::Remove(CServerPipeConnection* connection) {
  if (connection == nullptr) return;
  {
    CCriticalSectionLocker guard(m_lock);
    if (IndexOfLocked(connection) < 0) return;
    if (::GetCurrentThreadId() == connection->GetThreadId()) {
      // Its own thread cannot wait for itself: the reaper finishes the job
      // once the thread has returned.
      connection->RequestStop();
      return;
    }
    connection->AddRef();
  }
  // Waited for outside the list lock: the accept thread and the reaper go on meanwhile.
  connection->Stop();
  {
    CCriticalSectionLocker guard(m_lock);
    int32_t index = IndexOfLocked(connection);
    if (index >= 0) RemoveAtLocked(static_cast<uint32_t>(index));
  }
  connection->Release();
}

void CServerPipeConnectionList::ReapEnded() {
  CCriticalSectionLocker guard(m_lock);
  for (uint32_t i = m_connections.GetLength(); i-- > 0;) {
    CServerPipeConnection* c = m_connections[i];
    if (c->m_ended != 0 || !c->IsRunning()) RemoveAtLocked(i);
  }
}

int32_t CServerPipeConnectionList::GetCount() {
  CCriticalSectionLocker guard(m_lock);
  return static_cast<int32_t>(m_connections.GetLength());
}

CServerPipeConnection* CServerPipeConnectionList::GetAt(int32_t index) {
  CCriticalSectionLocker guard(m_lock);
  if (index < 0 || static_cast<uint32_t>(index) >= m_connections.GetLength()) return nullptr;
  return m_connections[static_cast<uint32_t>(index)];
}

bool CServerPipeConnectionList::Contains(CServerPipeConnection* connection) {
  CCriticalSectionLocker guard(m_lock);
  return IndexOfLocked(connection) >= 0;
}

void CServerPipeConnectionList::WakeReaper() {
  CMutexLocker lock(*m_condition.GetMutex());
  if (!lock.Locked()) return;
  m_endPending = true;
  m_condition.Broadcast();
}

void CServerPipeConnectionList::NoteEnded(CServerPipeConnection* connection) {
  // Flagged under the reaper's mutex: an end that comes while the reaper is
  // busy sweeping is seen by its next wait, not lost until the next sweep.
  // The end is flagged even without the mutex: the reaper's next sweep sees it.
  ::InterlockedExchange(&connection->m_ended, 1);
  CMutexLocker lock(*m_condition.GetMutex());
  if (!lock.Locked()) return;
  m_endPending = true;
  m_condition.Broadcast();
}

void CServerPipeConnectionList::RequestStop() {
  {
    CCriticalSectionLocker guard(m_lock);
    for (uint32_t i = 0; i < m_connections.GetLength(); ++i) {
      if (m_owner != nullptr) m_owner->CallOnClosing(m_connections[i]);
      m_connections[i]->RequestStop();
    }
  }
  CThread::RequestStop();
  BroadcastWithMutex(&m_condition);
}

void CServerPipeConnectionList::Stop() {
  {
    CCriticalSectionLocker guard(m_lock);
    for (uint32_t i = 0; i < m_connections.GetLength(); ++i) {
      m_connections[i]->Stop();
      m_connections[i]->Release();
    }
    m_connections.SetLength(0);
    ::InterlockedExchange(&m_listed, 0);
  }
  CThread::Stop();
}

bool CServerPipeConnectionList::WaitForRoom(LONG most) {
  CMutexLocker lock(*m_condition.GetMutex());
  if (!lock.Locked()) return false;
  // Both a removal and a stop broadcast under this mutex: neither is missed
  // between the test and the wait.
  // Bounded: whatever a wait returns, the room is tested again.
  while (m_listed >= most && !IsStopRequested()) (void)m_condition.WaitTimeout(kReapIntervalMs);
  return !IsStopRequested();
}

int CServerPipeConnectionList::ThreadEntry() {
  while (!IsStopRequested()) {
    {
      CMutexLocker lock(*m_condition.GetMutex());
      if (!lock.Locked()) break;
      // A stop or a connection's end that came before the wait is not lost:
      // both are tested under this mutex, which their broadcasts take. The
      // wait is bounded: a failed one is one sweep early.
      if (!IsStopRequested() && !m_endPending) (void)m_condition.WaitTimeout(kReapIntervalMs);
      m_endPending = false;
    }
    if (IsStopRequested()) break;
    ReapEnded();
    if (m_owner != nullptr) m_owner->ReportHeldBackClientErrors();
  }
  return 0;
}

// ---------------------------------------------------------------- CServerPipe

CServerPipe::CServerPipe(const char* part1, const char* part2, const char* part3)
    : CThread(3),
      m_part1(part1),
      m_part2(part2),
      m_part3(part3),
      m_connectTarget(nullptr),
      m_onCreateConnection(nullptr),
      m_onConnect(nullptr),
      m_disconnectTarget(nullptr),
      m_onDisconnect(nullptr),
      m_closingTarget(nullptr),
      m_onClosing(nullptr),
      m_list(nullptr),
      m_stopEvent(NewPipeEvent()),
      m_maxMessageLength(0),
      m_lastingFailure(false) {
  ::InitializeCriticalSection(&m_clientErrorsLock);
  m_list = new CServerPipeConnectionList(this);
  // A reaper that cannot start has logged it; ended connections then wait for the stop.
  (void)m_list->Create(2);
}

CServerPipe::~CServerPipe() {
  // The accept thread first: a last accept must not add into a list that is
  // going away, nor its stop request reach a deleted list.
  CThread::Stop();
  if (m_list != nullptr) {
    m_list->RequestStop();
    m_list->Stop();
    CServerPipeConnectionList* list = m_list;
    m_list = nullptr;
    delete list;
  }
  if (m_stopEvent != nullptr) ::CloseHandle(m_stopEvent);
  ::DeleteCriticalSection(&m_clientErrorsLock);
}

std::string CServerPipe::GetPipeName() const {
  if (m_part1 == nullptr || m_part2 == nullptr || m_part3 == nullptr) return std::string();
  return std::string("\\\\.\\pipe\\") + m_part1 + "\\" + m_part2 + "\\" + m_part3;
}

void CServerPipe::RequestStop() {
  CThread::RequestStop();
  if (m_stopEvent != nullptr) ::SetEvent(m_stopEvent);
  if (m_list != nullptr) m_list->RequestStop();
}

int CServerPipe::ThreadEntry() {
  if (m_part1 == nullptr || m_part2 == nullptr || m_part3 == nullptr) {
    LogError("CServerPipe No pipe name");
    LogError("CServerPipe Pipe Not Initialize");
    return -1;
  }
  PipeInstance* listening = nullptr;
  while (!IsStopRequested()) {
    // A lasting failure must not turn this thread into a busy loop beside
    // the board threads; a stop still ends the pause at once.
    m_lastingFailure = false;
    if (!WaitForClient(listening) && m_lastingFailure && !IsStopRequested())
      ::WaitForSingleObject(m_stopEvent, kRetryPauseMs);
  }
  // Nothing is pending on it: a turn ended by the stop drained its connect.
  DeletePipeInstance(listening);
  return 0;
}

bool CServerPipe::CreatePipe(PipeInstance* instance, bool first) {
  // Every local account may connect, read and write, but not change the
  // pipe's security; the handle is inheritable.
  std::unique_ptr<void, LocalFreer> sd(BuildPipeSecurityDescriptor());
  if (sd == nullptr) {
    LogSystemError(0, "CServerPipe::WaitForClient CreateNamedPipe failed");
    return false;
  }
  SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.get(), TRUE};
  std::string name = GetPipeName();
  // Local clients only: the requests can stop the service. The first
  // instance must found the pipe: a name that someone else created first
  // would hand our clients to that process.
  HANDLE pipe = ::CreateNamedPipeA(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      static_cast<DWORD>(kMaxConnections), kBufferSize, kBufferSize, 0, &sa);
  if (pipe == INVALID_HANDLE_VALUE) {
    LogSystemError(0, "CServerPipe::WaitForClient CreateNamedPipe failed");
    return false;
  }
  instance->pipe = pipe;
  return true;
}

PipeInstance* CServerPipe::NewListeningInstance(bool first) {
  PipeInstance* instance = NewPipeInstance();
  if (instance == nullptr || !CreatePipe(instance, first)) {
    m_lastingFailure = true;
    DeletePipeInstance(instance);
    LogError("CServerPipe::WaitForClient CreatePipe failed");
    return nullptr;
  }
  return instance;
}

void CServerPipe::ReplaceListening(PipeInstance*& listening) {
  // The next instance first: between the two the name would not exist, and
  // a client opening then would take "no such pipe" for the service's absence.
  PipeInstance* failed = listening;
  listening = NewListeningInstance(false);
  DeletePipeInstance(failed);
}

CServerPipe::ConnectResult CServerPipe::ConnectToNewClient(PipeInstance* instance) {
  ResetRecord(&instance->overlapped);
  ::ResetEvent(instance->overlapped.hEvent);
  if (::ConnectNamedPipe(instance->pipe, &instance->overlapped)) {
    m_lastingFailure = true;
    LogSystemError(0, "CServerPipe::ConnectToNewClient ConnectNamedPipe failed");
    return kConnectFailed;
  }
  DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) return kConnectPending;
  // A client that opened the instance before the call (one that waited in
  // WaitNamedPipe does) is connected already: serve it.
  if (error == ERROR_PIPE_CONNECTED) return kConnectDone;
  // ERROR_NO_DATA: a client opened the instance and closed it again before
  // the call; the next turn serves the next client at once. Its lines are
  // the caller's, as a client's doing.
  if (error == ERROR_NO_DATA) return kConnectLeft;
  m_lastingFailure = true;
  LogSystemError(error, "CServerPipe::ConnectToNewClient ConnectNamedPipe failed");
  return kConnectFailed;
}

bool CServerPipe::WaitForClient(PipeInstance*& listening) {
  if (listening == nullptr) {
    // With the most connections live no instance listens: further clients
    // find the pipe busy and wait for it, and this thread for an end.
    if (m_list != nullptr && !m_list->WaitForRoom(kMaxConnections)) return false;
    // No instance of ours holds the name: it must be free.
    listening = NewListeningInstance(m_list == nullptr || m_list->GetCount() == 0);
    if (listening == nullptr) return false;
  }
  ConnectResult connect = ConnectToNewClient(listening);
  if (connect == kConnectLeft) {
    if (AdmitClientError(2)) {
      LogSystemError(ERROR_NO_DATA, "CServerPipe::ConnectToNewClient ConnectNamedPipe failed");
      LogError("CServerPipe::WaitForClient ConnectToNewClient failed");
    }
    // Freed from the client that left, the same instance listens again.
    if (::DisconnectNamedPipe(listening->pipe)) return false;
    ReplaceListening(listening);
    return false;
  }
  if (connect == kConnectFailed) {
    LogError("CServerPipe::WaitForClient ConnectToNewClient failed");
    ReplaceListening(listening);
    return false;
  }
  if (connect == kConnectPending) {
    HANDLE handles[2] = {m_stopEvent, listening->overlapped.hEvent};
    DWORD wait = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    DWORD n = 0;
    if (wait != WAIT_OBJECT_0 + 1) {
      // The connect must not complete into the record once the instance is freed.
      ::CancelIoEx(listening->pipe, &listening->overlapped);
      ::GetOverlappedResult(listening->pipe, &listening->overlapped, &n, TRUE);
      return false;
    }
    if (!::GetOverlappedResult(listening->pipe, &listening->overlapped, &n, FALSE)) {
      ReplaceListening(listening);
      return false;
    }
  }
  // The next instance listens before this one is handed over (a client that
  // ends at once closes it), unless this one takes the last place.
  PipeInstance* accepted = listening;
  listening = nullptr;
  if (m_list == nullptr || m_list->GetCount() + 1 < kMaxConnections) listening = NewListeningInstance(false);
  return AcceptConnected(accepted);
}

bool CServerPipe::AcceptConnected(PipeInstance* instance) {
  CServerPipeConnection* connection = nullptr;
  if (m_onCreateConnection != nullptr && m_connectTarget != nullptr) {
    connection = m_onCreateConnection(m_connectTarget, instance);
    if (connection == nullptr) {
      DeletePipeInstance(instance);
      return false;
    }
  } else {
    connection = new CServerPipeConnection(instance);
  }
  connection->SetMaxMessageLength(m_maxMessageLength);
  if (m_list == nullptr) {
    connection->Release();
    return false;
  }
  // Listed, announced and started in one step under the list lock: the
  // reaper cannot see it between Add and the start.
  m_list->Lock();
  bool added = m_list->Add(connection);
  bool started = false;
  if (added) {
    if (m_onConnect != nullptr && m_connectTarget != nullptr) m_onConnect(m_connectTarget, connection);
    started = connection->Create(2) == 0;
  }
  m_list->Unlock();
  if (added && !started) m_list->WakeReaper();  // reaped as an ended connection
  if (!added) {
    // Its deletion closes the instance: the client sees a broken pipe.
    connection->Release();
    return false;
  }
  return true;
}

void CServerPipe::CloseConnection(CServerPipeConnection* connection) {
  if (m_list != nullptr) m_list->Remove(connection);
}

void CServerPipe::RemoveConnection(CServerPipeConnection* connection) {
  if (m_list != nullptr) m_list->Remove(connection);
}

int32_t CServerPipe::GetConnectionCount() { return m_list != nullptr ? m_list->GetCount() : 0; }

CServerPipeConnection* CServerPipe::GetConnectionAt(int32_t index) {
  return m_list != nullptr ? m_list->GetAt(index) : nullptr;
}

void* CServerPipe::CallOnDisconnect(CServerPipeConnection* connection) {
  if (m_disconnectTarget == nullptr) return nullptr;
  if (m_onDisconnect == nullptr) return m_disconnectTarget;
  return m_onDisconnect(m_disconnectTarget, connection);
}

bool CServerPipe::AdmitClientError(uint32_t lines) {
  uint32_t heldBack = 0;
  bool admitted;
  {
    CCriticalSectionLocker guard(m_clientErrorsLock);
    admitted = m_clientErrors.Admit(GetTickCountMs(), lines, &heldBack);
  }
  if (heldBack != 0) LogError("CServerPipe: %u more client errors not logged", heldBack);
  return admitted;
}

void CServerPipe::ReportHeldBackClientErrors() {
  uint32_t heldBack;
  {
    CCriticalSectionLocker guard(m_clientErrorsLock);
    heldBack = m_clientErrors.TakeHeldBack(GetTickCountMs());
  }
  if (heldBack != 0) LogError("CServerPipe: %u more client errors not logged", heldBack);
}

void* CServerPipe::CallOnClosing(CServerPipeConnection* connection) {
  if (m_closingTarget == nullptr) return nullptr;
  if (m_onClosing == nullptr) return m_closingTarget;
  return m_onClosing(m_closingTarget, connection);
}
