#include "drivers/BaseDriver.h"

CBaseDriver::CBaseDriver() : boardIndex(0), kind(0), hasSetClear(false) {
  ::InitializeCriticalSection(&accessLock);
}

CBaseDriver::~CBaseDriver() { ::DeleteCriticalSection(&accessLock); }
