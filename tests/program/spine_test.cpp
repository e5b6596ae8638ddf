// The program body end to end in a child process: start-up, log file, stop on
// a console control event, exit code.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "service/WatermarkMain.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using testsupport::ReadLines;

// Runs helper_spine.exe <mode> in dir; its exit code, or kChildFailed.
int RunHelper(const std::string& mode, const std::string& dir) {
  testsupport::ChildProcess child;
  if (!child.Start("helper_spine.exe", mode, "", "", dir)) return testsupport::kChildFailed;
  return child.Wait();
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return testsupport::IndexOfLineContaining(lines, text) != std::string::npos;
}

TEST(ProgramSpine, ConsoleStopEndsTheRunWithCodeZeroAndAUtcLog) {
  TestTempDir dir;
  ASSERT_EQ(0, RunHelper("ctrl-c", dir.Path()));
  auto lines = ReadLines(dir.File("Pelorin.log"));
  ASSERT_FALSE(lines.empty());
  // Every line: UTC stamp with milliseconds, the thread id space-padded to 8.
  std::regex stamp(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z \([ 0-9A-F]{8}\): .*)");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, stamp)) << l;
  EXPECT_TRUE(Contains(lines, "**************** STARTING NEW LOG on "));
  EXPECT_TRUE(Contains(lines, "Starting TARVEL Watermark Extension version 1.0.14"));
}

TEST(ProgramSpine, StopBeforeTheLoopStillRunsTheStopSequence) {
  TestTempDir dir;
  EXPECT_EQ(0, RunHelper("early", dir.Path()));
  EXPECT_TRUE(
      Contains(ReadLines(dir.File("Pelorin.log")), "Starting TARVEL Watermark Extension version 1.0.14"));
}

TEST(ProgramSpine, ConsoleHandlerReturnsOnlyAfterTheMainThreadFinished) {
  TestTempDir dir;
  EXPECT_EQ(0, RunHelper("wait", dir.Path()));
}

// The code is read where the call failed: log calls made since then (the
// failing call logs its own line) may have reset the thread's last error.
TEST(ProgramSpine, PrintFailedReportsTheCodeItIsGiven) {
  LogCapture log;
  ::SetLastError(0);
  EXPECT_EQ(-1, PrintFailed(" Watermark Server run failed", ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_TRUE(log.Has("*** FAILED  Watermark Server run failed: "));
  EXPECT_TRUE(log.Has(" (Err 00000008)"));
}

}  // namespace
