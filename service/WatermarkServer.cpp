#include "WatermarkServer.h"

#include "DriverOS.h"
#include "DriverPCI.h"
#include "DriverQBX.h"
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
      m_upgradeRequested(false),
      m_upgradeState(false),
      m_upgradeCondition(nullptr),
      m_certification(false),
      m_tick(0),
      m_lastWaitResult(CCondition::eCOND_NO_ERROR) {
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
  CThread::RequestStop();
  m_wakeCondition.Broadcast();
}

bool CWatermark_Server::IsAlive() {
  // The stored tick is read before the clock: read the other way round, a tick
  // stored in between would make now - tick wrap and a healthy server look dead.
  uint64_t tick;
  {
    CMutexLocker lock(m_tickMutex);
    tick = m_tick;
  }
  return IsTickAlive(tick, GetTickCountMs(), kAliveLimitMs);
}

void CWatermark_Server::SetUpgradeRequested(bool requested) {
  CMutexLocker lock(*m_upgradeCondition.GetMutex());
  m_upgradeRequested = requested;
}

bool CWatermark_Server::IsUpgradeState() {
  CMutexLocker lock(*m_upgradeCondition.GetMutex());
  return m_upgradeState;
}

void CWatermark_Server::CountBoards(bool rescan) {
  if (rescan) {
    CDriverOS::InitDriver(0);
    CDriverOS::InitDriver(1);
  }
  CDriverPCI pci;
  CDriverQBX qbx;
  if (pci.GetBoardCount() == 0 && qbx.GetBoardCount() == 0) LogError("Watermark Server: no board found !");
}

void CWatermark_Server::CheckBoards() {
  {
    CMutexLocker lock(*m_upgradeCondition.GetMutex());
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
  CountBoards(true);
}

void CWatermark_Server::DrainMessages() {
  CBufferBase<unsigned char> record(256);
  while (m_messageQueue.GetCount() > 0 && m_messageQueue.PopBuffer(record, false)) {
  }
}

int CWatermark_Server::ThreadEntry() {
  LogLevel8("Watermark Server Start...");
  CountBoards(false);

  CBufferBase<unsigned char> record(256);
  for (;;) {
    if (IsStopRequested()) {
      ::InterlockedExchange(&m_lastWaitResult, CCondition::eCOND_NO_ERROR);
      break;
    }
    {
      CMutexLocker lock(m_tickMutex);
      m_tick = GetTickCountMs();
    }

    {
      CMutexLocker wake(*m_wakeCondition.GetMutex());
      // Both predicates under the wake mutex, under which RequestStop and
      // every push broadcast: nothing that comes before the wait is missed.
      int waited = CCondition::eCOND_NO_ERROR;
      if (m_messageQueue.GetCount() == 0 && !IsStopRequested()) {
        waited = m_wakeCondition.WaitTimeout(1000);
        if (waited != CCondition::eCOND_NO_ERROR && waited != CCondition::eCOND_TIMEOUT &&
            !IsStopRequested()) {
          LogError("Watermark Server : Wait Error !");
          return -1;
        }
      }
      ::InterlockedExchange(&m_lastWaitResult, waited);
      if (IsStopRequested()) break;
    }

    CheckBoards();

    // Control requests are answered once the pipe and its messages exist; until
    // then a queued record is taken out and dropped.
    if (m_messageQueue.GetCount() > 0) m_messageQueue.PopBuffer(record, false);
  }

  DrainMessages();
  LogLevel9("+++++++ CWatermark_Server::ThreadEntry REQUESTSTOP BOARD +++++");
  LogLevel9("+++++++ CWatermark_Server::ThreadEntry STOP PIPE +++++");
  {
    CWriteLocker lock(m_boardsLock);
    if (lock.Started()) {
      LogLevel9("+++++++ CWatermark_Server::ThreadEntry RESIZE ARRAY +++++");
      m_boards.SetLength(0);
    }
  }
  LogLevel9("+++++++ CWatermark_Server::ThreadEntry DELETE m_pSharedMemBuf +++++");
  LogLevel8("Watermark Server exiting...");
  return 0;
}
