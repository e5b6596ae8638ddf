// Child process for the thread tests.
//   priority-limit <log>  : sets the limit 5, 3, 3, 7 with the log in <log>
//   named-open <name>     : exit 0 when CMutexNamed::Open(name) succeeds, else 1
//   abandon-named <name>  : opens <name>, locks it and exits without unlocking
#include <cstring>

#include "tvlib/log/logger.h"
#include "tvlib/threads/sync.h"
#include "tvlib/threads/thread.h"

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  if (strcmp(argv[1], "priority-limit") == 0) {
    CLogger* logger = GetLogger();
    if (logger == nullptr || !logger->Open(argv[2], true, false, false)) return 101;
    SetThreadPriorityLimit(5);
    SetThreadPriorityLimit(3);
    SetThreadPriorityLimit(3);
    SetThreadPriorityLimit(7);
    logger->FlushAndStop();
    return 0;
  }
  if (strcmp(argv[1], "named-open") == 0) {
    CMutexNamed m;
    return m.Open(argv[2]) == 0 ? 0 : 1;
  }
  if (strcmp(argv[1], "abandon-named") == 0) {
    CMutexNamed m;
    if (m.Open(argv[2]) != 0) return 1;
    if (m.Lock() != 0) return 2;
    ::ExitProcess(0);  // ends holding the mutex
  }
  return 100;
}
