// Child process for the summer-time conversion test: the runtime library's
// zone must be chosen before its first time conversion in the process, which
// only a fresh process guarantees.
//
// Prints "<summer> <winter>": the UTC hours that LocalWallMsToUtcMs gives for
// 12:00:00.250 wall-clock time on 2026-07-15 and on 2026-01-15 in CET/CEST.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tvlib/time/clock.h"

namespace {

uint64_t WallMs(int month) {
  struct tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = 15;
  t.tm_hour = 12;
  return static_cast<uint64_t>(SystemTimeToUnixTime(t)) * 1000 + 250;
}

double UtcHour(uint64_t wallMs) {
  uint64_t utc = LocalWallMsToUtcMs(wallMs);
  return static_cast<double>(static_cast<int64_t>(utc - (wallMs - 12 * 3600000ULL))) / 3600000.0;
}

}  // namespace

int main() {
  _putenv_s("TZ", "CET-1CEST");
  _tzset();
  printf("%.5f %.5f\n", UtcHour(WallMs(7)), UtcHour(WallMs(1)));
  fflush(stdout);
  return 0;
}
