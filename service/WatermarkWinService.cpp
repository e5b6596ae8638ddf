#include "service/WatermarkWinService.h"

#include "service/Config.h"
#include "service/WatermarkMain.h"

const char CWatermarkWinService::kServiceName[] = "TARVEL Watermarking";
const char CWatermarkWinService::kDisplayName[] = "TARVEL Watermarking Extension";
const char CWatermarkWinService::kDescription[] = "TARVEL Watermarking Extension service.";

namespace {

const DWORD kFailureResetSeconds = 86400;
const DWORD kRestartDelayMs = 100;
char kRebootMessage[] = "Failure, You MUST reboot your PC";

}  // namespace

CWatermarkWinService::CWatermarkWinService() {
  m_pServiceName = kServiceName;
  m_pDisplayName = kDisplayName;
  m_pDescription = kDescription;
  // The third place where the program looks for its configuration file.
  m_pDataFolder = kConfigFolderName;
  for (SC_ACTION& action : m_restartActions) {
    action.Type = SC_ACTION_RESTART;
    action.Delay = kRestartDelayMs;
  }
  m_failureActions.dwResetPeriod = kFailureResetSeconds;
  m_failureActions.lpRebootMsg = kRebootMessage;
  m_failureActions.lpCommand = nullptr;
  m_failureActions.cActions = 3;
  m_failureActions.lpsaActions = m_restartActions;
}

CWatermarkWinService::~CWatermarkWinService() {}

void CWatermarkWinService::OnStop() { RequestStopAndWait(); }

void CWatermarkWinService::OnShutdown() { RequestStopAndWait(); }

void CWatermarkWinService::Run(int argc, char** argv) { ProgramMain(argc, argv); }
