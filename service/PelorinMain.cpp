// Process entry of pelorin.
#include "WatermarkMain.h"
#include "tvlib/log/log.h"
#include "tvlib/win.h"

namespace {

// The core library's start-up hook never calls it; kept for the hook's contract.
void AppInfoCallback() {}

}  // namespace

int main(int argc, char** argv) {
  LibraryInit(1, AppInfoCallback);
  ::timeBeginPeriod(1);
  int result = WatermarkMain(argc, argv);
  ::timeEndPeriod(1);
  return result;
}
