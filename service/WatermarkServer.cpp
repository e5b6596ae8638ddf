#include "service/WatermarkServer.h"

#include <algorithm>
#include <new>
#include <vector>

#include "drivers/DriverOS.h"
#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "service/WatermarkBoard.h"
#include "tvlib/ipc/message.h"
#include "tvlib/ipc/message_internal.h"
#include "tvlib/ipc/server_pipe.h"
#include "tvlib/ipc/shared_memory.h"
#include "tvlib/log/log.h"
#include "tvlib/time/clock.h"

namespace {

// Built at static initialisation, before any server exists.
std::set<uint32_t>& IgnoredBoards() {
  static std::set<uint32_t> ignored;
  return ignored;
}
const bool kIgnoredBoardsReady = (IgnoredBoards(), true);

}  // namespace

void AddIgnoredBoard(uint32_t serial) { IgnoredBoards().insert(serial); }
bool IsIgnoredBoard(uint32_t serial) { return IgnoredBoards().count(serial) != 0; }

CWatermark_Server::CWatermark_Server(const char* loadPath)
    : CThread(3),
      m_wakeCondition(nullptr),
      m_pSharedMemBuf(nullptr),
      m_pPipe(nullptr),
      m_messageQueue(16384, 0),
      m_loadPath(loadPath),
      m_retiredPaths{0, 0},
      m_upgradeRequested(false),
      m_upgradeState(false),
      m_upgradeCondition(nullptr),
      m_certification(false),
      m_tick(0),
      m_lastWaitResult(CCondition::eCOND_NO_ERROR),
      m_closeDeadline(0),
      m_stopTick(0) {
  m_boards.SetLength(0);
  // Every push wakes the loop.
  m_messageQueue.LockEvents();
  m_messageQueue.SetEvents(&m_wakeCondition, nullptr, nullptr);
  m_messageQueue.UnlockEvents();
}

CWatermark_Server::~CWatermark_Server() {
  CThread::Stop();
  m_messageQueue.LockEvents();
  m_messageQueue.SetEvents(nullptr, nullptr, nullptr);
  m_messageQueue.UnlockEvents();
}

void CWatermark_Server::RequestStop() {
  // Flag and broadcast under the wake mutex, under which the loop tests the
  // flag before it waits.
  CMutexLocker lock(*m_wakeCondition.GetMutex());
  uint64_t none = 0;
  m_stopTick.compare_exchange_strong(none, GetTickCountMs());
  // The request stands without the mutex; the loop's wait ends within 1000 ms.
  CThread::RequestStop();
  if (lock.Locked()) m_wakeCondition.Broadcast();
}

bool CWatermark_Server::IsAlive() {
  // The stored tick is read before the clock: read the other way round, a tick
  // stored in between would make now - tick wrap and a healthy server look dead.
  uint64_t tick;
  {
    CMutexLocker lock(m_tickMutex);
    if (!lock.Locked()) return false;
    tick = m_tick;
  }
  return IsTickAlive(tick, GetTickCountMs(), kAliveLimitMs);
}

bool CWatermark_Server::IsUpgradeState() {
  CMutexLocker lock(*m_upgradeCondition.GetMutex());
  return lock.Locked() && m_upgradeState;
}

CWatermark_Board* CWatermark_Server::FindBoard(const std::string& name) {
  CReadLocker lock(m_boardsLock);
  if (!lock.Started()) return nullptr;
  return FindRunningBoard(name);
}

CWatermark_Board* CWatermark_Server::FindRunningBoard(const std::string& name) {
  for (uint32_t i = 0; i < m_boards.GetLength(); ++i) {
    CWatermark_Board* board = m_boards[i];
    if (board != nullptr && board->IsRunning() && board->GetName() == name) return board;
  }
  return nullptr;
}

bool CWatermark_Server::SetBoardUpgrade(const std::string& name, uint8_t upgrade) {
  const bool enter = upgrade == 0;
  bool locked;
  CWatermark_Board* board;
  {
    // One look-up under one read lock: the lock is not re-entrant, and a
    // second read behind a waiting writer would never start.
    CReadLocker lock(m_boardsLock);
    locked = lock.Started();
    board = locked ? FindRunningBoard(name) : nullptr;
    if (board != nullptr) {
      // A board that stopped turning is the liveness check's to restart;
      // holding the server in the upgrade state would keep it from that.
      if (!board->IsAlive()) {
        LogLevel2("%s: Upgrade request ignored, board not responding", board->GetSerialString().c_str());
        return true;
      }
      if (!board->SetUpgrade(enter)) return true;
    }
  }
  // The upgrade mutex is never held while the boards lock is taken.
  {
    CMutexLocker lock(*m_upgradeCondition.GetMutex());
    if (lock.Locked() && enter != m_upgradeState) m_upgradeRequested = enter;
  }
  return !locked || board != nullptr;
}

struct CWatermark_Server::BoardScan {
  CDriverPCI pci;
  CDriverQBX qbx;
  int32_t pciCount;
  int32_t qbxCount;
  BoardScan() : pciCount(pci.GetBoardCount()), qbxCount(qbx.GetBoardCount()) {
    if (pciCount == 0 && qbxCount == 0) LogError("Watermark Server: no board found !");
  }
  // Kind 0 is the PCI family, 1 and 2 (and a board without a driver) QBX.
  CBaseDriver* PrototypeFor(int32_t kind) { return kind == 0 ? static_cast<CBaseDriver*>(&pci) : &qbx; }
};

CWatermark_Board* CWatermark_Server::NewBoard(CBaseDriver* prototype, int32_t index) {
  CWatermark_Board* board =
      new (std::nothrow) CWatermark_Board(this, m_settings["CFG"], prototype, index, m_loadPath);
  if (board == nullptr) LogError("CBufferBase<T>::Realloc Failed to allocate buffer");
  return board;
}

void CWatermark_Server::AddBoard(CBaseDriver* prototype, int32_t index, bool atStart) {
  // Room first: a board that is started but cannot be stored would run
  // unowned, never stopped.
  if (!m_boards.Realloc(m_boards.GetLength() + 1)) {
    LogError("CBufferBase<T>::Realloc Failed to allocate buffer");
    return;
  }
  CWatermark_Board* board = NewBoard(prototype, index);
  if (board == nullptr) return;
  const std::string serial = board->GetSerialString();
  const uint32_t slot = FindSlotOfSerial(*board);
  if (slot < m_boards.GetLength()) {
    CWatermark_Board* old = m_boards[slot];
    LogLevel2("Board %s is back under another device path, restarting...", serial.c_str());
    // The old object's path is dead; the new one took its place in the count.
    const int32_t kind = old->GetKind();
    if (kind >= 0) ++m_retiredPaths[kind == 0 ? 0 : 1];
    // Its stop saves the copy and drops the block that the new object loads
    // and creates once it starts.
    StopBoard(old);
    m_boards[slot] = board;
  } else {
    m_boards.Append(board);
  }
  if (atStart && IsIgnoredBoard(board->GetSerialNumber())) {
    LogLevel2("Watermark Server: ignoring board %s", serial.c_str());
    // The board stays listed but unstarted; its driver would keep the board
    // from every other program.
    board->CloseDriver();
    return;
  }
  LogLevel8("Watermark Server: starting board %s", serial.c_str());
  // A thread that cannot start has logged it; the board then never ticks and
  // the liveness check replaces it.
  (void)board->Create(2);
}

uint32_t CWatermark_Server::FindSlotOfSerial(CWatermark_Board& board) {
  const uint32_t count = m_boards.GetLength();
  if (!board.IsSerialNumberRead()) return count;
  for (uint32_t i = 0; i < count; ++i) {
    CWatermark_Board* other = m_boards[i];
    if (other != &board && other->IsSerialNumberRead() && other->GetSerialNumber() == board.GetSerialNumber())
      return i;
  }
  return count;
}

void CWatermark_Server::StopBoard(CWatermark_Board* board) {
  board->RequestStop();
  board->Stop();
  delete board;
}

void CWatermark_Server::StartBoards() {
  BoardScan scan;
  CWriteLocker lock(m_boardsLock);
  if (!lock.Started()) return;
  for (int32_t i = 0; i < scan.pciCount; ++i) AddBoard(&scan.pci, i, true);
  for (int32_t i = 0; i < scan.qbxCount; ++i) AddBoard(&scan.qbx, i, true);
}

void CWatermark_Server::CheckBoards() {
  {
    CMutexLocker lock(*m_upgradeCondition.GetMutex());
    if (!lock.Locked()) return;
    if (m_upgradeRequested) {
      if (!m_upgradeState) {
        LogLevel2("Watermark: Entering upgrade state !");
        m_upgradeState = m_upgradeRequested;
        m_upgradeCondition.Broadcast();
      }
      // In the upgrade state boards are neither searched nor restarted.
      return;
    }
    if (m_upgradeState) {
      LogLevel2("Watermark: Leaving upgrade state !");
      m_upgradeState = m_upgradeRequested;
      m_upgradeCondition.Broadcast();
    }
  }

  CDriverOS::InitDriver(0);
  CDriverOS::InitDriver(1);
  BoardScan scan;
  uint32_t present = 0;
  {
    CReadLocker read(m_boardsLock);
    if (!read.Started()) return;
    present = m_boards.GetLength();
  }
  CWriteLocker lock(m_boardsLock);
  if (!lock.Started()) return;

  // Entries left behind by re-seated boards stand for boards already there.
  present += static_cast<uint32_t>(m_retiredPaths[0] + m_retiredPaths[1]);
  if (present < static_cast<uint32_t>(scan.pciCount + scan.qbxCount)) {
    int32_t pciPresent = m_retiredPaths[0], qbxPresent = m_retiredPaths[1];
    for (uint32_t i = 0; i < m_boards.GetLength(); ++i) {
      const int32_t kind = m_boards[i]->GetKind();
      if (kind == 0)
        ++pciPresent;
      else if (kind > 0)
        ++qbxPresent;
    }
    // Boards found after the start are started whatever their serial.
    for (int32_t i = pciPresent; i < scan.pciCount; ++i) AddBoard(&scan.pci, i, false);
    for (int32_t i = qbxPresent; i < scan.qbxCount; ++i) AddBoard(&scan.qbx, i, false);
    return;
  }

  for (uint32_t i = 0; i < m_boards.GetLength();) {
    CWatermark_Board* board = m_boards[i];
    if (board->IsAlive()) {
      ++i;
      continue;
    }
    LogLevel2("Board %s is not responding (%d/%d/%d), restarting...", board->GetSerialString().c_str(),
              board->GetThreadPos(), board->GetStepPos(), board->GetChannelPos());
    const int32_t index = board->GetBoardIndex();
    CBaseDriver* prototype = scan.PrototypeFor(board->GetKind());
    // The old board goes first: the new one opens the same driver and devices.
    StopBoard(board);
    CWatermark_Board* replacement = NewBoard(prototype, index);
    if (replacement == nullptr) {
      // No object for the slot: a later scan finds the board missing.
      m_boards.RemoveAt(i);
      continue;
    }
    m_boards[i] = replacement;
    (void)replacement->Create(2);  // as in AddBoard
    ++i;
  }
}

void CWatermark_Server::DrainMessages() {
  CBufferBase<unsigned char> record(256);
  while (m_messageQueue.GetCount() > 0 && m_messageQueue.PopBuffer(record, false)) DropQueuedRecord(record);
}

void CWatermark_Server::CreatePipe() {
  LogLevel8("Creating communication pipe");
  CServerPipe* pipe = new (std::nothrow) CServerPipe("tarvel", "pelorin", "socket");
  if (pipe == nullptr) {
    LogError("CBufferBase<T>::Realloc Failed to allocate buffer");
    return;
  }
  // The longest message that one queue record can carry beside its reference.
  pipe->SetMaxMessageLength(CBuffer_Queue::kMaxRecord - sizeof(void*));
  pipe->SetConnectTarget(this);
  pipe->SetOnConnect(&PipeMember<CWatermark_Server, &CWatermark_Server::OnClientConnect>);
  pipe->SetOnDisconnect(this, &PipeMember<CWatermark_Server, &CWatermark_Server::OnClientDisconnect>);
  pipe->SetOnClosing(this, &PipeMember<CWatermark_Server, &CWatermark_Server::SendCloseRequest>);
  m_pPipe = pipe;
  // A pipe thread that cannot start has logged it; the server runs without clients.
  (void)m_pPipe->Create(2);
}

void CWatermark_Server::OnClientConnect(CServerPipeConnection* connection) {
  connection->SetOnMessage(this, &PipeMessageMember<CWatermark_Server, &CWatermark_Server::OnClientMessage>);
}

void CWatermark_Server::QueueRecord(CServerPipeConnection* connection, const unsigned char* bytes,
                                    uint32_t count) {
  connection->AddRef();
  CMessage view(const_cast<unsigned char*>(bytes), count);
  CMessage_Internal record(view, connection);
  // A refused record (too long, or no memory: the queue says which) would
  // keep its reference for ever.
  if (record.GetConnection() != connection || !m_messageQueue.PushBuffer(record.GetRecord(), true, false))
    connection->Release();
}

void CWatermark_Server::OnClientMessage(CServerPipeConnection* connection,
                                        const CBufferBase<unsigned char>& message) {
  if (IsStopRequested() || connection == nullptr) return;
  QueueRecord(connection, message.GetData(), message.GetLength());
}

void CWatermark_Server::OnClientDisconnect(CServerPipeConnection* connection) {
  if (IsStopRequested() || connection == nullptr) return;
  CMessage closed;
  closed.InitHeader(CMessage::kCommandClosed, CMessage::kKindRequest, false);
  QueueRecord(connection, closed.GetData(), closed.GetLength());
}

void CWatermark_Server::SendCloseRequest(CServerPipeConnection* connection) {
  if (connection == nullptr) return;
  DWORD timeoutMs = kCloseRequestTimeoutMs;
  const uint64_t deadline = m_closeDeadline.load();
  if (deadline != 0) {
    const uint64_t now = GetTickCountMs();
    // Past the deadline only a request that can be written at once goes out.
    timeoutMs = now >= deadline ? 0 : static_cast<DWORD>(std::min<uint64_t>(deadline - now, timeoutMs));
  }
  CMessageClient request(19);
  connection->SetMessage(request.GetBuffer(), timeoutMs);
}

void CWatermark_Server::HandleQueuedRecord(const CBufferBase<unsigned char>& record) {
  CMessage_Internal internal(record);
  CServerPipeConnection* connection = internal.GetConnection();
  if (connection == nullptr) return;
  switch (internal.GetMessage().GetCommand()) {
    case CMessage::kCommandClosed:
      if (m_pPipe != nullptr) m_pPipe->CloseConnection(connection);
      break;
    case CMessage::kCommandClient: HandleClientRequest(connection, internal.GetMessage()); break;
    default: break;
  }
  connection->Release();
}

void CWatermark_Server::DropQueuedRecord(const CBufferBase<unsigned char>& record) {
  CMessage_Internal internal(record);
  if (CServerPipeConnection* connection = internal.GetConnection()) connection->Release();
}

int CWatermark_Server::ThreadEntry() {
  LogLevel8("Watermark Server Start...");
  StartBoards();
  CreatePipe();
  // Created and never written.
  m_pSharedMemBuf = new (std::nothrow) CSharedMemoryBuffer(
      "PELORIN_server",
      CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kCreate, 1024);

  CBufferBase<unsigned char> record(256);
  for (;;) {
    if (IsStopRequested()) {
      ::InterlockedExchange(&m_lastWaitResult, CCondition::eCOND_NO_ERROR);
      break;
    }
    {
      CMutexLocker lock(m_tickMutex);
      if (lock.Locked()) m_tick = GetTickCountMs();
    }

    bool waitFailed = false;
    {
      CMutexLocker wake(*m_wakeCondition.GetMutex());
      // Both predicates under the wake mutex, under which RequestStop and
      // every push broadcast: nothing that comes before the wait is missed.
      // Without the mutex the loop cannot wait: that is its wait's failure.
      int waited = wake.Locked() ? int(CCondition::eCOND_NO_ERROR) : int(CCondition::eCOND_MISC_ERROR);
      waitFailed = !wake.Locked() && !IsStopRequested();
      if (wake.Locked() && m_messageQueue.GetCount() == 0 && !IsStopRequested()) {
        waited = m_wakeCondition.WaitTimeout(1000);
        waitFailed =
            waited != CCondition::eCOND_NO_ERROR && waited != CCondition::eCOND_TIMEOUT && !IsStopRequested();
      }
      ::InterlockedExchange(&m_lastWaitResult, waited);
    }
    if (waitFailed) {
      LogError("Watermark Server : Wait Error !");
      // Boards, pipe and block must not outlive the thread that owns them.
      RunStopSequence();
      return -1;
    }
    if (IsStopRequested()) break;

    CheckBoards();

    if (m_messageQueue.GetCount() > 0 && m_messageQueue.PopBuffer(record, false)) HandleQueuedRecord(record);
  }
  RunStopSequence();
  return 0;
}

void CWatermark_Server::RunStopSequence() {
  DrainMessages();
  LogLevel9("+++++++ CWatermark_Server::ThreadEntry REQUESTSTOP BOARD +++++");
  // The boards asked to stop count as running below even when their thread
  // has already ended by then, so that every board running at the stop gets
  // its lines whatever the timing. Only this thread changes the array.
  std::vector<bool> asked;
  {
    // Every board is asked first, so that they all stop side by side.
    CReadLocker lock(m_boardsLock);
    if (lock.Started()) {
      asked.assign(m_boards.GetLength(), false);
      for (uint32_t i = 0; i < m_boards.GetLength(); ++i) {
        if (!m_boards[i]->IsRunning()) continue;
        m_boards[i]->RequestStop();
        asked[i] = true;
      }
    }
  }
  LogLevel9("+++++++ CWatermark_Server::ThreadEntry STOP PIPE +++++");
  m_closeDeadline = GetTickCountMs() + kCloseDeadlineMs;
  if (m_pPipe != nullptr) m_pPipe->RequestStop();
  {
    CWriteLocker lock(m_boardsLock);
    if (lock.Started()) {
      // Every board object goes, running or not: one that never ran (ignored)
      // or that ended on its own still holds its driver, block and channels.
      for (uint32_t i = 0; i < m_boards.GetLength(); ++i) {
        CWatermark_Board* board = m_boards[i];
        const bool running = (i < asked.size() && asked[i]) || board->IsRunning();
        if (running) LogLevel9("+++++++ CWatermark_Server::ThreadEntry STOP BOARD +++++");
        board->Stop();
        if (running) LogLevel9("+++++++ CWatermark_Server::ThreadEntry DELETE BOARD +++++");
        delete board;
      }
      LogLevel9("+++++++ CWatermark_Server::ThreadEntry RESIZE ARRAY +++++");
      m_boards.SetLength(0);
    }
  }
  if (m_pPipe != nullptr) {
    LogLevel9("+++++++ CWatermark_Server::ThreadEntry STOP PIPE +++++");
    m_pPipe->Stop();
    LogLevel9("+++++++ CWatermark_Server::ThreadEntry DELETE PIPE +++++");
    delete m_pPipe;
    m_pPipe = nullptr;
  }
  // A push that passed its stop test just before the stop can land after the
  // first drain; with the pipe gone nothing pushes any more.
  DrainMessages();
  LogLevel9("+++++++ CWatermark_Server::ThreadEntry DELETE m_pSharedMemBuf +++++");
  delete m_pSharedMemBuf;
  m_pSharedMemBuf = nullptr;
  LogLevel8("Watermark Server exiting...");
}
