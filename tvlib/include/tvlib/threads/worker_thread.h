// CWorker_Thread: a thread that sleeps until it is handed one piece of work,
// runs it through DoWork, reports it done and sleeps again.
//
// Threads: the owner calls Go, Trigger, WaitDone, RequestStop and Stop (one
// owner waits in WaitDone at a time); ThreadEntry and DoWork run on the worker
// thread. m_mutex guards m_bRequested, m_bEnded and the work and done events;
// the started event's own mutex guards m_bStarted. The body holds m_mutex
// except while it runs DoWork or waits, so Trigger during a piece returns at
// once instead of waiting for the piece.
//
// At most one piece is pending or running. A stop request ends an idle body at
// once and a working one after its piece; a piece still pending at that moment
// is dropped, and WaitDone then returns false.
//
// A derived class must stop the thread in its own destructor (Stop), since
// DoWork belongs to the derived part, which is gone when ~CWorker_Thread runs.
#pragma once

#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"

class CWorker_Thread : public CThread {
 public:
  // The priority index is the one Go passes to CThread::Create. Nothing starts here.
  CWorker_Thread(int stackClass, int priority);
  ~CWorker_Thread() override;

  // Starts the thread and waits until its body has begun. False when the
  // thread cannot be created (also when this object already ran one).
  bool Go();
  // Hands out one piece: true when it was taken, false while a piece is
  // pending or running, or when the thread is not running.
  bool Trigger();
  // Waits for the pending piece. True when no piece is pending afterwards and
  // the thread still runs; false when it does not run, when the pending piece
  // was dropped by a stop, and on the worker's own thread (it would wait for
  // itself).
  bool WaitDone();

  void RequestStop() override;
  int ThreadEntry() override;

 protected:
  // The work; runs on the worker thread without m_mutex held.
  virtual void DoWork() = 0;

 private:
  void BroadcastStarted();

  CMutex m_mutex;
  CCondition m_workEvent;     // work or a stop was requested
  CCondition m_doneEvent;     // a piece finished (one waiter), or the body ended (all)
  CCondition m_startedEvent;  // with its own mutex: the body has begun
  bool m_bStarted;            // guarded by m_startedEvent's mutex
  bool m_bRequested;          // a piece is pending or running
  int m_iPriority;
  bool m_bEnded;  // the body has left its loop; cleared by Go
};
