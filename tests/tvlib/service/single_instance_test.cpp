// The single-instance and process-id objects across real processes: each test
// uses instance names of its own, never the program's. KillRunning ends only
// a process of this program's file name, so the helper that records its pid
// runs as a copy named like this test program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/acl.h"
#include "support/child_process.h"
#include "support/paths.h"
#include "support/pid_record.h"
#include "support/temp_dir.h"
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
                 const std::string& extra = "", const std::string& exe = "helper_single_instance.exe") {
  return child.Start(exe, mode + " " + name + " " + ready.name + " " + extra) && ready.Wait();
}

// The helper copied into `dir` under this test program's file name; "" when
// that fails.
std::string HelperNamedLikeThisProgram(const TestTempDir& dir) {
  char own[MAX_PATH];
  DWORD n = ::GetModuleFileNameA(nullptr, own, MAX_PATH);
  std::string path(own, n);
  std::string copy = dir.File(path.substr(path.find_last_of("\\/") + 1));
  if (!::CopyFileA((testsupport::ExeDir() + "helper_single_instance.exe").c_str(), copy.c_str(), FALSE))
    return "";
  return copy;
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

// Nobody but SYSTEM and administrators may rewrite the record (which process
// a --kill ends) or take the mutexes' ownership away; every account may read
// the record and wait on the mutexes.
TEST(SingleInstance, OnlySystemAndAdministratorsMayChangeTheRecordAndTheMutex) {
  std::string name = UniqueName(".pelorin_si");
  CSingleInstance first(name.c_str(), "/var/run");
  ASSERT_TRUE(first.LockPID());
  HANDLE record = ::OpenFileMappingA(READ_CONTROL, FALSE, ("Global\\TARVEL_" + name + "_PID").c_str());
  HANDLE mutex = ::OpenMutexA(READ_CONTROL, FALSE, ("Global\\TARVEL_" + name + "_SINGLEMUTEX").c_str());
  ASSERT_NE(nullptr, record);
  ASSERT_NE(nullptr, mutex);
  const BYTE allow = ACCESS_ALLOWED_ACE_TYPE;
  // SECTION_ALL_ACCESS; READ_CONTROL | SECTION_QUERY | SECTION_MAP_READ.
  testsupport::ExpectAces(record, SE_KERNEL_OBJECT,
                          {{allow, 0, 0xF001F, WinLocalSystemSid},
                           {allow, 0, 0xF001F, WinBuiltinAdministratorsSid},
                           {allow, 0, 0x20005, WinAuthenticatedUserSid}});
  // MUTEX_ALL_ACCESS; READ_CONTROL | MUTANT_QUERY_STATE | SYNCHRONIZE. The
  // locker mutex is built with the same attributes.
  testsupport::ExpectAces(mutex, SE_KERNEL_OBJECT,
                          {{allow, 0, 0x1F0001, WinLocalSystemSid},
                           {allow, 0, 0x1F0001, WinBuiltinAdministratorsSid},
                           {allow, 0, 0x120001, WinAuthenticatedUserSid}});
  ::CloseHandle(record);
  ::CloseHandle(mutex);
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
  TestTempDir dir;
  ChildProcess child;
  ASSERT_TRUE(StartHelper(child, "record", name, ready, "", HelperNamedLikeThisProgram(dir)));
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
  TestTempDir dir;
  ChildProcess child;
  ASSERT_TRUE(StartHelper(child, "record", name, ready, stop.name, HelperNamedLikeThisProgram(dir)));
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
  TestTempDir dir;
  ChildProcess recorder;
  ASSERT_TRUE(StartHelper(recorder, "record", name, recorded, "", HelperNamedLikeThisProgram(dir)));
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
