#include "tvlib/threads/worker_thread.h"

#include "tvlib/log/log.h"

CWorker_Thread::CWorker_Thread(int stackClass, int priority)
    : CThread(stackClass),
      m_workEvent(&m_mutex),
      m_doneEvent(&m_mutex),
      m_startedEvent(nullptr),
      m_bStarted(false),
      m_bRequested(false),
      m_iPriority(priority),
      m_bEnded(false) {}

CWorker_Thread::~CWorker_Thread() { Stop(); }

bool CWorker_Thread::Go() {
  CMutex& startedMutex = *m_startedEvent.GetMutex();
  {
    CMutexLocker lock(startedMutex);
    if (!lock.Locked()) return false;
    m_bStarted = false;
  }
  {
    CMutexLocker lock(m_mutex);
    if (!lock.Locked()) return false;
    m_bEnded = false;
  }

  if (Create(m_iPriority) != 0) return false;

  CMutexLocker lock(startedMutex);
  if (!lock.Locked()) return false;
  while (!m_bStarted) {
    if (m_startedEvent.Wait() != CCondition::eCOND_NO_ERROR)
      return LogErrorFalse("CWorker_Thread::Go failed to wait for thread start");
  }
  return true;
}

int CWorker_Thread::ThreadEntry() {
  const bool locked = m_mutex.Lock() == CMutex::eMUTEX_NO_ERROR;
  BroadcastStarted();
  // Without its mutex the worker can take no request: it ends at once.
  if (!locked) return 0;

  // Stop and requested are tested before every wait: a Trigger or RequestStop
  // made before the body got here signalled nobody, and that signal is lost.
  while (!IsStopRequested()) {
    if (!m_bRequested) {
      // A wait that fails would turn this loop into a spin; end instead.
      if (m_workEvent.Wait() != CCondition::eCOND_NO_ERROR) break;
      continue;
    }
    m_mutex.Unlock();
    DoWork();
    if (m_mutex.Lock() != CMutex::eMUTEX_NO_ERROR) return 0;
    m_bRequested = false;
    m_doneEvent.Signal();
  }

  // A piece still pending is dropped; whoever waits for it must wake and learn
  // that it never ran, and IsRunning may read true for a moment longer.
  m_bEnded = true;
  m_bRequested = false;
  m_doneEvent.Broadcast();
  m_mutex.Unlock();
  return 0;
}

void CWorker_Thread::BroadcastStarted() {
  CMutexLocker lock(*m_startedEvent.GetMutex());
  if (!lock.Locked()) return;
  m_bStarted = true;
  m_startedEvent.Broadcast();
}

bool CWorker_Thread::Trigger() {
  CMutexLocker lock(m_mutex);
  if (!lock.Locked()) return false;
  if (m_bRequested || m_bEnded || !IsRunning()) return false;
  m_bRequested = true;
  m_workEvent.Signal();
  return true;
}

bool CWorker_Thread::WaitDone() {
  if (::GetCurrentThreadId() == GetThreadId()) return false;
  CMutexLocker lock(m_mutex);
  if (!lock.Locked()) return false;
  if (!m_bEnded && m_bRequested && IsRunning() && m_doneEvent.Wait() != CCondition::eCOND_NO_ERROR)
    return false;
  return !m_bEnded && !m_bRequested && IsRunning();
}

void CWorker_Thread::RequestStop() {
  CThread::RequestStop();
  BroadcastWithMutex(&m_workEvent);
}
