// What the program's service hands to the service manager at install: its
// names and the failure actions (Wine stores no failure actions, so this
// record is the one place they can be seen).
#include <gtest/gtest.h>

#include "service/WatermarkWinService.h"

namespace {

TEST(WatermarkWinService, NamesAndFailureActionsOfTheInstall) {
  CWatermarkWinService service;
  EXPECT_STREQ("TARVEL Watermarking", service.GetServiceName());
  EXPECT_STREQ("TARVEL Watermarking Extension", service.GetDisplayName());
  EXPECT_STREQ("TARVEL Watermarking Extension service.", service.GetDescription());
  EXPECT_EQ(nullptr, service.GetDependsOn());
  EXPECT_EQ(nullptr, service.GetDependents());

  const SERVICE_FAILURE_ACTIONSA& failure = service.GetFailureActions();
  EXPECT_EQ(86400u, failure.dwResetPeriod);
  EXPECT_STREQ("Failure, You MUST reboot your PC", failure.lpRebootMsg);
  EXPECT_EQ(nullptr, failure.lpCommand);
  ASSERT_EQ(3u, failure.cActions);
  for (DWORD i = 0; i < failure.cActions; ++i) {
    EXPECT_EQ(SC_ACTION_RESTART, failure.lpsaActions[i].Type) << i;
    EXPECT_EQ(100u, failure.lpsaActions[i].Delay) << i;
  }
}

}  // namespace
