// The single-instance and process-id objects across real processes: each test
// uses instance names of its own, never the program's.
#include <gtest/gtest.h>

#include <string>

#include "support/child_process.h"
#include "support/paths.h"
#include "support/pid_record.h"
#include "tvlib/service/single_instance.h"
#include "tvlib/win.h"

namespace {

using testsupport::ChildProcess;
using testsupport::RecordedPid;
using testsupport::UniqueName;

const DWORD kReadyWaitMs = 30000;

// An auto-reset event the helper sets once it is in place.
struct NamedEvent {
  std::string name = UniqueName("pelorin_si_event");
  HANDLE handle = ::CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ~NamedEvent() { ::CloseHandle(handle); }
  bool Wait() { return ::WaitForSingleObject(handle, kReadyWaitMs) == WAIT_OBJECT_0; }
};

bool StartHelper(ChildProcess& child, const std::string& mode, const std::string& name, NamedEvent& ready,
                 const std::string& extra = "") {
  return child.Start("helper_single_instance.exe", mode + " " + name + " " + ready.name + " " + extra) &&
         ready.Wait();
}

bool RecordExists(const std::string& name) {
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\TARVEL_" + name + "_PID").c_str());
  if (mapping != nullptr) ::CloseHandle(mapping);
  return mapping != nullptr;
}

TEST(SingleInstance, FirstStartRecordsItsPidAndASecondSeesItRunning) {
  std::string name = UniqueName(".pelorin_si");
  {
    CSingleInstance first(name.c_str(), "/var/run");
    ASSERT_NE(nullptr, first.GetMutex());
    EXPECT_FALSE(first.IsAnotherInstanceRunning());
    ASSERT_TRUE(first.LockPID());
    EXPECT_EQ(::GetCurrentProcessId(), RecordedPid(name));

    CSingleInstance second(name.c_str(), "/var/run");
    EXPECT_EQ(183u, second.GetLastErrorCode());
    EXPECT_TRUE(second.IsAnotherInstanceRunning());
    EXPECT_FALSE(second.LockPID());
    EXPECT_EQ(::GetCurrentProcessId(), RecordedPid(name));

    // Another name is another instance.
    CSingleInstance other(UniqueName(".pelorin_si_other").c_str(), "/var/run");
    EXPECT_FALSE(other.IsAnotherInstanceRunning());
    EXPECT_TRUE(other.LockPID());
  }
  // Gone with the objects: a new first start records again.
  CSingleInstance again(name.c_str(), "/var/run");
  EXPECT_FALSE(again.IsAnotherInstanceRunning());
  EXPECT_TRUE(again.LockPID());
}

TEST(SingleInstance, KillWithoutARecordFailsAndLeavesNoRecordBehind) {
  std::string name = UniqueName(".pelorin_si");
  CSingleInstance instance(name.c_str(), "/var/run");
  EXPECT_FALSE(instance.KillRunning(nullptr));
  EXPECT_FALSE(RecordExists(name));
  EXPECT_TRUE(instance.LockPID());
}

TEST(SingleInstance, KillWithoutCallbackTerminatesTheRecordedProcessWithZero) {
  std::string name = UniqueName(".pelorin_si");
  NamedEvent ready;
  ChildProcess child;
  ASSERT_TRUE(StartHelper(child, "record", name, ready));
  CSingleInstance second(name.c_str(), "/var/run");
  ASSERT_TRUE(second.IsAnotherInstanceRunning());
  EXPECT_EQ(child.Pid(), RecordedPid(name));
  EXPECT_TRUE(second.KillRunning(nullptr));
  EXPECT_EQ(0, child.Wait());
}

NamedEvent* g_stopEvent = nullptr;
int g_callbackCalls = 0;
bool AskToStop() {
  ++g_callbackCalls;
  ::SetEvent(g_stopEvent->handle);
  return true;
}

TEST(SingleInstance, KillGivesATargetThatStopsByItselfTimeForItsOrderlyStop) {
  std::string name = UniqueName(".pelorin_si");
  NamedEvent ready;
  NamedEvent stop;
  g_stopEvent = &stop;
  g_callbackCalls = 0;
  ChildProcess child;
  ASSERT_TRUE(StartHelper(child, "record", name, ready, stop.name));
  CSingleInstance second(name.c_str(), "/var/run");
  EXPECT_TRUE(second.KillRunning(AskToStop));
  EXPECT_EQ(1, g_callbackCalls);
  // Its own exit code: it was not terminated.
  EXPECT_EQ(7, child.Wait());
}

TEST(SingleInstance, ALockerHeldElsewhereLocksBothOperationsOut) {
  std::string name = UniqueName(".pelorin_si");
  NamedEvent ready;
  ChildProcess holder;
  ASSERT_TRUE(StartHelper(holder, "hold-locker", name, ready));
  CSingleInstance instance(name.c_str(), "/var/run");
  EXPECT_FALSE(instance.LockPID());
  EXPECT_FALSE(instance.KillRunning(nullptr));
  EXPECT_FALSE(RecordExists(name));
}

TEST(SingleInstance, AnAbandonedLockerIsTakenAndReleased) {
  std::string name = UniqueName(".pelorin_si");
  // Our handle keeps the locker alive across the holder's exit, which leaves
  // it abandoned rather than gone.
  HANDLE keep = ::CreateMutexA(nullptr, FALSE, ("Global\\TARVEL_" + name + "_PIDLOCKER").c_str());
  ASSERT_NE(nullptr, keep);
  NamedEvent abandoned;
  ChildProcess abandoner;
  ASSERT_TRUE(StartHelper(abandoner, "abandon-locker", name, abandoned));
  ASSERT_EQ(0, abandoner.Wait());

  // The recorder's LockPID meets the abandoned locker (it exits with 3 when
  // that fails); then it must have released it, or our kill would time out.
  NamedEvent recorded;
  ChildProcess recorder;
  ASSERT_TRUE(StartHelper(recorder, "record", name, recorded));
  EXPECT_EQ(recorder.Pid(), RecordedPid(name));
  CSingleInstance killer(name.c_str(), "/var/run");
  EXPECT_TRUE(killer.KillRunning(nullptr));
  EXPECT_EQ(0, recorder.Wait());
  ::CloseHandle(keep);
}

TEST(SingleInstance, AMutexThatOnlyGrantsSynchronizeStillCountsAsAnotherInstance) {
  std::string name = UniqueName(".pelorin_si");
  NamedEvent ready;
  ChildProcess owner;
  ASSERT_TRUE(StartHelper(owner, "restricted", name, ready));
  CSingleInstance second(name.c_str(), "/var/run");
  EXPECT_NE(nullptr, second.GetMutex());
  EXPECT_TRUE(second.IsAnotherInstanceRunning());
  EXPECT_EQ(name, second.GetName());
}

}  // namespace
