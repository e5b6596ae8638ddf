// pelorin.exe as an operator starts it: version and usage, option errors,
// the configuration file and the log, the closing texts, AutoKill, a second
// instance and --kill. Each run uses a copy of pelorin.exe in a folder of its
// own without ostrel.dll, so the program runs without the embedder, and its
// own folder as the current directory (RUN by default). Runs end by -k 1.
#include <gtest/gtest.h>

#include <string>

#include "service/usage_golden.h"
#include "support/child_process.h"
#include "support/paths.h"
#include "support/pid_record.h"
#include "support/poll.h"
#include "support/temp_dir.h"
#include "tvlib/win.h"
// After windows.h.
#include <psapi.h>

namespace {

using testsupport::ChildProcess;
using testsupport::ReadBytes;
using testsupport::StripCR;

const DWORD kRunWaitMs = 120000;
const char kStartLine[] = "Starting TARVEL Watermark Extension version 1.0.14";

struct Result {
  int code = testsupport::kChildFailed;
  std::string out;  // standard output, without carriage returns
  std::string err;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ProgramRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryA(m_dir.File("exe").c_str(), nullptr);
    m_exe = m_dir.File("exe\\pelorin.exe");
    ASSERT_TRUE(::CopyFileA((testsupport::ExeDir() + "pelorin.exe").c_str(), m_exe.c_str(), FALSE));
  }

  bool Start(ChildProcess& child, const std::string& args, const std::string& tag) {
    return child.Start(m_exe, args, m_dir.File(tag + ".out"), m_dir.File(tag + ".err"), m_dir.Path());
  }

  Result Run(const std::string& args) {
    static int runs = 0;
    std::string tag = "run" + std::to_string(++runs);
    Result r;
    ChildProcess child;
    if (Start(child, args, tag)) r.code = child.Wait(kRunWaitMs);
    r.out = StripCR(ReadBytes(m_dir.File(tag + ".out")));
    r.err = StripCR(ReadBytes(m_dir.File(tag + ".err")));
    return r;
  }

  Result RunHelper(const std::string& args) {
    Result r;
    ChildProcess child;
    if (child.Start("helper_program.exe", args, m_dir.File("helper.out"), m_dir.File("helper.err"),
                    m_dir.Path()))
      r.code = child.Wait(kRunWaitMs);
    r.out = StripCR(ReadBytes(m_dir.File("helper.out")));
    return r;
  }

  std::string Log(const std::string& path) { return StripCR(ReadBytes(path)); }

  TestTempDir m_dir;
  std::string m_exe;
};

TEST_F(ProgramRun, VersionAndUsageGoToStandardOutputWithCodeZero) {
  Result version = Run("-V");
  EXPECT_EQ(0, version.code);
  EXPECT_EQ("1.0.14\n", version.out);
  for (const char* help : {"-h", "/?"}) {
    Result usage = Run(help);
    EXPECT_EQ(0, usage.code) << help;
    EXPECT_EQ(GoldenUsage(m_exe), usage.out) << help;
  }
  // Nothing started: no log in the run directory.
  EXPECT_FALSE(testsupport::PathExists(m_dir.File("Pelorin.log")));
}

TEST_F(ProgramRun, AnOptionErrorPrintsItsMessageAndTheUsageWithCodeOne) {
  Result r = Run("-v -p rtx");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("--priority value is invalid\n" + GoldenUsage(m_exe), r.out);
}

TEST_F(ProgramRun, TheConfigurationFileSetsTheDirectoriesAndTheLogFile) {
  std::string run = m_dir.File("run");
  std::string logs = m_dir.File("logs");
  testsupport::WriteBytes(m_dir.File("my.conf"),
                          "\xEF\xBB\xBFRUN=" + run + "\r\nLOG = %%RUN%%\\..\\logs # beside RUN\r\n");
  Result r = Run("-C \"" + m_dir.File("my.conf") + "\" -p n -k 1");
  EXPECT_EQ(0, r.code) << r.out << r.err;
  for (const std::string& d :
       {run, run + "\\cfg\\Watermark", run + "\\Products\\Watermark", run + "\\..\\logs"})
    EXPECT_TRUE(testsupport::PathExists(d)) << d;
  std::string log = Log(logs + "\\Pelorin.log");
  EXPECT_TRUE(Has(log, "**************** STARTING NEW LOG")) << log;
  EXPECT_TRUE(Has(log, kStartLine)) << log;
  EXPECT_TRUE(Has(log, "KANTAR: dynamic library not found, so disabled")) << log;
  EXPECT_TRUE(Has(log, "Warning: All thread priorities are limited to 'Normal'!")) << log;
  EXPECT_TRUE(Has(log, "*** AutoKill expired !")) << log;
  // After the log opened, stdout stays silent without -c.
  EXPECT_FALSE(Has(r.out, kStartLine)) << r.out;
}

// Six lines, each referring to the one before about a hundred times: without
// a bound the values would grow a hundredfold a line, to gigabytes.
TEST_F(ProgramRun, ValuesThatReferToEachOtherStopGrowingAndTheRunGoesOn) {
  std::string text = "A=" + std::string(509, 'x') + "\n";
  for (char key = 'B'; key <= 'F'; ++key) {
    std::string line = std::string(1, key) + "=";
    const std::string reference = std::string("%%") + static_cast<char>(key - 1) + "%%";
    while (line.size() + reference.size() <= 511) line += reference;
    text += line + "\n";
  }
  testsupport::WriteBytes(m_dir.File("pelorin.conf"), text);
  ChildProcess child;
  ASSERT_TRUE(Start(child, "-vv -p n -k 300", "refs"));
  ASSERT_TRUE(testsupport::WaitForLineContaining(m_dir.File("Pelorin.log"), "Running Watermark Server ...",
                                                 kRunWaitMs));
  // Read while it runs, after the file was read: Wine reports zeros for a
  // process that ended. The peak working set is the high-water mark of its
  // resident memory (Wine's other peaks are current values).
  PROCESS_MEMORY_COUNTERS memory = {};
  ASSERT_TRUE(::GetProcessMemoryInfo(child.Handle(), &memory, sizeof(memory)));
  EXPECT_LT(memory.PeakWorkingSetSize, 256u << 20);
  EXPECT_EQ("*** Kill running Pelorin instance ***\n", Run("--kill").out);
  EXPECT_EQ(0, child.Wait(kRunWaitMs));
  std::string log = Log(m_dir.File("Pelorin.log"));
  for (char key = 'B'; key <= 'F'; ++key)
    EXPECT_TRUE(Has(log, std::string("pelorin.conf: the value of ") + key + " is cut at 32768 bytes")) << log;
}

TEST_F(ProgramRun, LogFileOptionMovesTheLog) {
  Result r = Run("-l other.log -p n -k 1");
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Has(Log(m_dir.File("other.log")), kStartLine));
  EXPECT_FALSE(testsupport::PathExists(m_dir.File("Pelorin.log")));
}

TEST_F(ProgramRun, TheClosingTextsAppearOnlyAtVerbosityNine) {
  Result nine = Run("-vvvvv -c -p n -k 1");
  EXPECT_EQ(0, nine.code);
  EXPECT_TRUE(Has(nine.out, kStartLine)) << nine.out;
  EXPECT_TRUE(
      EndsWith(nine.out, "Watermark Server log flushed...\nUninitializing Libraries...\nReal end !\n"))
      << nine.out;
  Result eight = Run("-vvvv -c -p n -k 1");
  EXPECT_EQ(0, eight.code);
  EXPECT_TRUE(Has(eight.out, "*** AutoKill expired !")) << eight.out;
  for (const char* text : {"log flushed", "Uninitializing Libraries", "Real end"})
    EXPECT_FALSE(Has(eight.out, text)) << eight.out;
}

TEST_F(ProgramRun, KillWithoutAnInstanceSaysItFailedWithCodeZero) {
  Result r = Run("--kill");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ("*** Failed to kill running Pelorin instance ***\n", r.out);
}

DWORD RecordedPid() { return testsupport::RecordedPid(".tarvel.watermark.lock"); }

TEST_F(ProgramRun, ASecondStartLeavesTheFirstAloneAndKillEndsIt) {
  ChildProcess first;
  ASSERT_TRUE(Start(first, "-vv -p n -k 300", "first"));
  ASSERT_TRUE(
      testsupport::WaitForLineContaining(m_dir.File("Pelorin.log"), "Running Watermark Server ...", 60000));
  EXPECT_EQ(first.Pid(), RecordedPid());

  Result second = Run("-v");
  EXPECT_EQ(0, second.code);
  EXPECT_TRUE(Has(second.out, "*** An Other Pelorin instance is running ***")) << second.out;
  // A second start without -v says nothing at all.
  Result quiet = Run("");
  EXPECT_EQ(0, quiet.code);
  EXPECT_EQ("", quiet.out);
  EXPECT_TRUE(first.IsRunning());
  EXPECT_EQ(first.Pid(), RecordedPid());

  // An early return sets the finished flag that stop handlers wait for.
  EXPECT_EQ(0, RunHelper("finished -v").code);

  Result kill = Run("--kill");
  EXPECT_EQ(0, kill.code);
  EXPECT_EQ("*** Kill running Pelorin instance ***\n", kill.out);
  EXPECT_EQ(0, first.Wait(kRunWaitMs));
  EXPECT_EQ(0u, RecordedPid());
}

// What an account that could write the process-id record would leave: the
// instance mutex and a record that names a process of another program.
TEST_F(ProgramRun, KillLeavesAProcessOfAnotherProgramRunning) {
  ChildProcess other;
  ASSERT_TRUE(other.Start("helper_program.exe", "idle"));
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, "Global\\TARVEL_.tarvel.watermark.lock_SINGLEMUTEX");
  HANDLE record = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4,
                                       "Global\\TARVEL_.tarvel.watermark.lock_PID");
  ASSERT_NE(nullptr, mutex);
  ASSERT_NE(nullptr, record);
  void* view = ::MapViewOfFile(record, FILE_MAP_WRITE, 0, 0, 4);
  ASSERT_NE(nullptr, view);
  *static_cast<DWORD*>(view) = other.Pid();
  ::UnmapViewOfFile(view);

  Result kill = Run("--kill");
  EXPECT_EQ(0, kill.code);
  EXPECT_TRUE(Has(kill.out, "*** Failed to kill running Pelorin instance ***\n")) << kill.out;
  EXPECT_FALSE(Has(kill.out, "*** Kill running Pelorin instance ***")) << kill.out;
  EXPECT_TRUE(other.IsRunning());
  ::CloseHandle(record);
  ::CloseHandle(mutex);
}

TEST_F(ProgramRun, EveryEarlyReturnSetsTheFinishedFlag) {
  EXPECT_EQ(0, RunHelper("finished -V").code);
  EXPECT_EQ(1, RunHelper("finished -C").code);
  EXPECT_EQ(0, RunHelper("finished --kill").code);
  EXPECT_EQ(-1, RunHelper("finished --service").code);
}

TEST_F(ProgramRun, AServerThatStopsRespondingLeavesItsReasonInTheLog) {
  Result r = RunHelper("not-responding");
  EXPECT_EQ(1, r.code);
  std::string log = Log(m_dir.File("Pelorin.log"));
  EXPECT_TRUE(Has(log, "line 199 before the end")) << log;
  EXPECT_TRUE(Has(log, "Server is not responding, killing...")) << log;
}

}  // namespace
