#include "service/BoardUpgradeGate.h"

#include "tvlib/time/clock.h"

CBoardUpgradeGate::CBoardUpgradeGate()
    : m_upgradeRequested(0), m_upgradeState(0), m_upgradeCondition(nullptr) {}

CBoardUpgradeGate::Taken CBoardUpgradeGate::TakeRequest() {
  const uint8_t requested = m_upgradeRequested.load();
  if (requested == m_upgradeState) return kUnchanged;
  m_upgradeState = requested;
  m_upgradeCondition.Broadcast();
  return requested ? kEntered : kLeft;
}

bool CBoardUpgradeGate::Request(bool enter) {
  const uint8_t wanted = enter ? 1 : 0;
  if (wanted == m_upgradeState) return false;
  m_upgradeRequested.store(wanted);
  return true;
}

void CBoardUpgradeGate::WaitTaken(DWORD milliseconds) {
  const uint8_t wanted = m_upgradeRequested.load();
  const uint64_t start = GetTickCountMs();
  while (m_upgradeState != wanted) {
    const uint64_t waited = GetTickCountMs() - start;
    if (waited >= milliseconds) break;
    const int result = m_upgradeCondition.WaitTimeout(DWORD(milliseconds - waited));
    if (result != CCondition::eCOND_NO_ERROR && result != CCondition::eCOND_TIMEOUT) break;
  }
}
