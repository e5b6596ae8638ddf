// CBoardUpgradeGate: one board's upgrade state, between the server thread
// that asks for it (CWatermark_Board::SetUpgrade, for requests 16 and 17) and
// the board thread that takes it at the start of a turn. While the state is
// held the board's turns do nothing but tick, and from the moment it is asked
// for the board creates no channel.
//
// Lock order, the one rule: the gate comes before every other lock of its
// board (the channels lock, the configuration lock, the block lock), and no
// thread takes it while it holds one of those. The board thread holds the
// gate for all its work (the start-up's block and load, every turn, the stop
// sequence) and lets it go only while it waits between turns. So the server
// thread, once it holds the gate, finds every other lock of the board free.
// The channel management, which runs under the channels lock, reads the
// request without the gate (BlocksChannelCreation).
//
// Waits: the board thread waits for the gate, without a bound, only while a
// request holds it (across a save or a load of the configuration and the
// joins of the channels that entering the state deletes). A request waits at
// most its bound for the gate (a board thread stuck in its work keeps it),
// then at most a second bound, with the gate let go, for the board thread to
// take the state.
#pragma once

#include <atomic>
#include <cstdint>

#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

class CBoardUpgradeGate {
 public:
  CBoardUpgradeGate();
  CBoardUpgradeGate(const CBoardUpgradeGate&) = delete;
  CBoardUpgradeGate& operator=(const CBoardUpgradeGate&) = delete;

  // The gate held for one piece of the board thread's work, without a bound.
  // Not Held (the mutex failed, and has logged): the work is skipped.
  class CWork {
   public:
    explicit CWork(CBoardUpgradeGate& gate) : m_lock(*gate.m_upgradeCondition.GetMutex()) {}
    [[nodiscard]] bool Held() const { return m_lock.Locked(); }

   private:
    CMutexLocker m_lock;
  };

  // The gate held for one request (server thread), waiting at most
  // `milliseconds` for it.
  class CRequest {
   public:
    CRequest(CBoardUpgradeGate& gate, DWORD milliseconds)
        : m_lock(*gate.m_upgradeCondition.GetMutex(), milliseconds) {}
    [[nodiscard]] bool Locked() const { return m_lock.Locked(); }

   private:
    CMutexLocker m_lock;
  };

  // ---- board thread, holding CWork at the start of a turn
  enum Taken { kUnchanged, kEntered, kLeft };
  // Takes a request that differs from the state, and wakes the request that
  // waits for it.
  Taken TakeRequest();

  // ---- either side, holding the gate: the state the board thread took.
  bool InState() const { return m_upgradeState != 0; }

  // ---- server thread, holding CRequest
  // Asks for the state (enter) or for its end. False, with nothing asked,
  // when the board thread already holds what is asked for.
  bool Request(bool enter);
  // Waits until the board thread has taken what was asked, at most
  // `milliseconds`; the gate is let go meanwhile and held again on return.
  void WaitTaken(DWORD milliseconds);

  // ---- any thread, without the gate: the state is asked for.
  bool BlocksChannelCreation() const { return m_upgradeRequested.load() != 0; }

 private:
  std::atomic<uint8_t> m_upgradeRequested;  // written holding the gate
  uint8_t m_upgradeState;                   // guarded by the gate
  // Its mutex is the gate; the board thread broadcasts when it takes a request.
  CCondition m_upgradeCondition;
};
